/* Does a process-shared robust mutex pass to the next locker when its holder dies?
 * Exit 0 when the next locker is told EOWNERDEAD, as the daemon's DeviceList entry guard relies on;
 * 1 when it is left waiting. On Linux the kernel walks a dying thread's robust-futex list, which
 * the C library registers with set_robust_list(). User-mode emulation cannot hand the kernel a
 * list in the emulated process's memory, so it refuses that call and a dead holder's lock stays
 * held: this program fails there and passes natively. */
#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

int main(void) {
  pthread_mutex_t *lock =
      mmap(NULL, sizeof *lock, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (lock == MAP_FAILED) return 2;
  pthread_mutexattr_t attributes;
  pthread_mutexattr_init(&attributes);
  pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
  pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
  pthread_mutex_init(lock, &attributes);

  pid_t holder = fork();
  if (holder < 0) return 2;
  if (holder == 0) {
    pthread_mutex_lock(lock);
    _exit(0); /* dies holding it */
  }
  waitpid(holder, NULL, 0);

  struct timespec until;
  clock_gettime(CLOCK_REALTIME, &until);
  until.tv_sec += 2;
  int rc = pthread_mutex_timedlock(lock, &until);
  printf("lock of a dead holder: %s\n", rc == EOWNERDEAD ? "EOWNERDEAD (handed on)"
                                        : rc == ETIMEDOUT ? "ETIMEDOUT (still held)" : "other error");
  return rc == EOWNERDEAD ? 0 : 1;
}
