/* Single-threaded event loop: descriptor readiness and one-shot timeouts.
 *
 * uloop_end() and uloop_done() take no locks and allocate nothing, so a signal handler may call
 * them. A process that forks and calls uloop_init() in the child gets a loop of its own.
 *
 * Signals, as the router's loop handles them: where a disposition is still the default,
 * uloop_init() makes SIGINT and SIGTERM end the loop (uloop_run() then returns the signal's
 * number), ignores SIGPIPE and, with uloop_handle_sigchld (the default), catches SIGCHLD and reaps
 * every ended child at the loop's next turn. None of these handlers restarts an interrupted call
 * (no SA_RESTART): a blocking read interrupted by them fails with EINTR. uloop_done() puts back
 * the handlers it installed where they are still its own, and SIGPIPE to the default where it is
 * ignored. Each run starts with the loop not ended: uloop_end() before a run does not end it. */
#ifndef LIBUBOX_ULOOP_H
#define LIBUBOX_ULOOP_H

#include <stdbool.h>
#include <stdint.h>
#include <sys/time.h>

#include <libubox/list.h>

#define ULOOP_READ (1 << 0)
#define ULOOP_WRITE (1 << 1)
#define ULOOP_EDGE_TRIGGER (1 << 2)
#define ULOOP_BLOCKING (1 << 3) /* leave the descriptor's blocking mode alone */

#define ULOOP_EVENT_MASK (ULOOP_READ | ULOOP_WRITE)

struct uloop_fd;
typedef void (*uloop_fd_handler)(struct uloop_fd *u, unsigned int events);

struct uloop_fd {
  uloop_fd_handler cb;
  int fd;
  bool eof;
  bool error;
  bool registered;
  uint8_t flags;
};

struct uloop_timeout;
typedef void (*uloop_timeout_handler)(struct uloop_timeout *t);

struct uloop_timeout {
  struct list_head list; /* position in the loop's list, ordered by expiry */
  bool pending;
  uloop_timeout_handler cb;
  struct timeval time; /* expiry on the monotonic clock */
};

extern bool uloop_cancelled;
extern bool uloop_handle_sigchld;

int uloop_init(void);
int uloop_run(void);
int uloop_run_timeout(int timeout_ms);
void uloop_end(void);
void uloop_done(void);

int uloop_fd_add(struct uloop_fd *sock, unsigned int flags);
int uloop_fd_delete(struct uloop_fd *sock);

int uloop_timeout_set(struct uloop_timeout *timeout, int msecs);
int uloop_timeout_cancel(struct uloop_timeout *timeout);
/* Milliseconds until the timeout fires (0 when due), or -1 when it is not pending. */
int uloop_timeout_remaining(struct uloop_timeout *timeout) __attribute__((deprecated("use uloop_timeout_remaining64")));
/* Milliseconds until the timeout fires, rounded up; -1 when it is not pending. */
int64_t uloop_timeout_remaining64(struct uloop_timeout *timeout);


#endif
