/* Can a process install a seccomp filter? Exit 0 when an allow-everything filter is accepted, as
 * the tests that make chosen system calls fail rely on; 1 when it is refused. User-mode emulation
 * refuses it (EINVAL): a filter would see the emulator's own system calls, not the program's. */
#include <errno.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stdio.h>
#include <string.h>
#include <sys/prctl.h>

int main(void) {
  struct sock_filter allow[] = {BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW)};
  struct sock_fprog program = {1, allow};
  prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
  int rc = prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program);
  printf("seccomp filter: %s\n", rc == 0 ? "installed" : strerror(errno));
  return rc == 0 ? 0 : 1;
}
