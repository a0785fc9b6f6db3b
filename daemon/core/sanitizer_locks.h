// The address-sanitizer runtime's own locks, reachable in sanitized builds that link the runtime
// statically (the build defines VORN_SANITIZER_FORK_LOCKS when they link): process_fork.cpp holds
// them across forks.
#pragma once

#if defined(VORN_SANITIZER_FORK_LOCKS)
namespace __lsan {
void LockAllocator();
void UnlockAllocator();
void LockThreadRegistry();
void UnlockThreadRegistry();
}  // namespace __lsan
#endif
