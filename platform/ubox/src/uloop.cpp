// Event loop on epoll. All state is static and fixed-size: nothing here allocates, so uloop_end()
// and uloop_done() are safe to call from a signal handler.
extern "C" {
#include <libubox/uloop.h>
}

#include <cerrno>
#include <climits>
#include <csignal>
#include <ctime>

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/wait.h>
#include <unistd.h>

bool uloop_cancelled = false;
bool uloop_handle_sigchld = true;

namespace {

constexpr int kBatchSize = 32;
constexpr int kMaxRunDepth = 16;
// Bound on list walks in uloop_done(): a signal may arrive while the list is being changed.
constexpr int kMaxTimeoutWalk = 1 << 20;

// Events returned by one epoll_wait() and not yet dispatched. uloop_fd_delete() clears entries of
// every batch still being dispatched, also those of outer, nested runs.
struct Batch {
  epoll_event events[kBatchSize];
  int count;
  int index;
};

int g_epoll = -1;
pid_t g_epoll_owner = 0;
volatile sig_atomic_t g_status = 0;        // the signal that ended the run
volatile sig_atomic_t g_child_ended = 0;   // SIGCHLD seen since the last reaping
int g_waker[2] = {-1, -1};                 // a signal writes its number here, waking the wait
uloop_fd g_waker_fd{};
struct sigaction g_old_sigint, g_old_sigterm, g_old_sigchld;
list_head g_timeouts = LIST_HEAD_INIT(g_timeouts);
Batch *g_batches[kMaxRunDepth];
int g_run_depth = 0;

timeval monotonic_now() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return timeval{ts.tv_sec, ts.tv_nsec / 1000};
}

long long to_ms(const timeval &tv) {
  return static_cast<long long>(tv.tv_sec) * 1000 + tv.tv_usec / 1000;
}

long long diff_us(const timeval &a, const timeval &b) {
  return (static_cast<long long>(a.tv_sec) - b.tv_sec) * 1000000 + (a.tv_usec - b.tv_usec);
}

bool later(const timeval &a, const timeval &b) { return diff_us(a, b) > 0; }

uloop_timeout *first_timeout() {
  return list_empty(&g_timeouts) ? nullptr : list_first_entry(&g_timeouts, uloop_timeout, list);
}

void run_due_timeouts() {
  const timeval now = monotonic_now();
  while (!uloop_cancelled) {
    uloop_timeout *t = first_timeout();
    if (!t || later(t->time, now)) return;
    uloop_timeout_cancel(t);
    if (t->cb) t->cb(t);
  }
}

// Milliseconds until the next timeout (rounded up), -1 when none is pending.
int next_timeout_ms() {
  uloop_timeout *t = first_timeout();
  if (!t) return -1;
  const long long us = diff_us(t->time, monotonic_now());
  if (us <= 0) return 0;
  const long long ms = (us + 999) / 1000;
  return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

unsigned int loop_events(uint32_t epoll_events) {
  unsigned int ev = 0;
  if (epoll_events & (EPOLLIN | EPOLLHUP | EPOLLRDHUP | EPOLLERR)) ev |= ULOOP_READ;
  if (epoll_events & EPOLLOUT) ev |= ULOOP_WRITE;
  return ev;
}

void dispatch(Batch &batch) {
  while (batch.index < batch.count && !uloop_cancelled) {
    epoll_event &e = batch.events[batch.index++];
    auto *u = static_cast<uloop_fd *>(e.data.ptr);
    if (!u) continue;
    if (e.events & EPOLLERR) u->error = true;
    if (e.events & (EPOLLHUP | EPOLLRDHUP)) u->eof = true;
    if (u->cb) u->cb(u, loop_events(e.events));
  }
}

void wake(int signal_number) {
  const int saved = errno;
  const char byte = static_cast<char>(signal_number);
  while (g_waker[1] >= 0 && write(g_waker[1], &byte, 1) < 0 && errno == EINTR) {
  }
  errno = saved;
}

void on_child_ended(int signal_number) {
  g_child_ended = 1;
  wake(signal_number);
}

void on_end_signal(int signal_number) {
  g_status = signal_number;
  uloop_cancelled = true;
  wake(signal_number);
}

void drain_waker(uloop_fd *fd, unsigned int) {
  char bytes[32];
  while (read(fd->fd, bytes, sizeof bytes) > 0) {
  }
}

// Installs HANDLER where the disposition is the default, keeping the old one in OLD; on removal,
// puts OLD back where the handler is still ours.
void install_handler(int signal_number, void (*handler)(int), struct sigaction *old, bool add) {
  struct sigaction current {};
  sigaction(signal_number, nullptr, &current);
  if (add && current.sa_handler == SIG_DFL) {
    *old = current;
    current.sa_handler = handler;
    current.sa_flags = 0;  // no SA_RESTART, as the router's loop
    sigaction(signal_number, &current, nullptr);
  } else if (!add && current.sa_handler == handler) {
    sigaction(signal_number, old, nullptr);
  }
}

// Ignores SIGNAL_NUMBER where it is at the default; on removal, makes it the default wherever it
// is ignored, whoever ignored it.
void ignore_signal(int signal_number, bool ignore) {
  struct sigaction current {};
  sigaction(signal_number, nullptr, &current);
  if (current.sa_handler != (ignore ? SIG_DFL : SIG_IGN)) return;
  current.sa_handler = ignore ? SIG_IGN : SIG_DFL;
  current.sa_flags = 0;
  sigaction(signal_number, &current, nullptr);
}

void setup_signals(bool add) {
  install_handler(SIGINT, on_end_signal, &g_old_sigint, add);
  install_handler(SIGTERM, on_end_signal, &g_old_sigterm, add);
  if (uloop_handle_sigchld) install_handler(SIGCHLD, on_child_ended, &g_old_sigchld, add);
  ignore_signal(SIGPIPE, add);
}

void close_waker() {
  for (int &fd : g_waker) {
    if (fd >= 0) close(fd);
    fd = -1;
  }
  g_waker_fd.fd = -1;
  g_waker_fd.registered = false;
}

// Every ended child is reaped, whoever started it, as the router's loop does.
void reap_children() {
  g_child_ended = 0;
  for (;;) {
    const pid_t pid = waitpid(-1, nullptr, WNOHANG);
    if (pid < 0 && errno == EINTR) continue;
    if (pid <= 0) return;
  }
}

}  // namespace

int uloop_init(void) {
  const pid_t self = getpid();
  if (g_epoll >= 0 && g_epoll_owner == self) return 0;
  if (g_epoll >= 0) {
    // Inherited across fork(): sharing it with the parent would steal its events.
    close(g_epoll);
    g_epoll = -1;
  }
  close_waker();  // an inherited one would wake the parent's loop
  g_epoll = epoll_create1(EPOLL_CLOEXEC);
  if (g_epoll < 0) return -1;
  g_epoll_owner = self;
  uloop_cancelled = false;
  if (pipe2(g_waker, O_CLOEXEC | O_NONBLOCK) != 0) {
    g_waker[0] = g_waker[1] = -1;
    uloop_done();
    return -1;
  }
  g_waker_fd.fd = g_waker[0];
  g_waker_fd.cb = drain_waker;
  uloop_fd_add(&g_waker_fd, ULOOP_READ);
  setup_signals(true);
  return 0;
}

int uloop_fd_add(struct uloop_fd *sock, unsigned int flags) {
  if (!(flags & ULOOP_EVENT_MASK)) return uloop_fd_delete(sock);
  if (g_epoll < 0 || sock->fd < 0) {
    errno = EBADF;
    return -1;
  }
  if (!(flags & ULOOP_BLOCKING)) {
    const int fl = fcntl(sock->fd, F_GETFL);
    if (fl >= 0 && !(fl & O_NONBLOCK)) fcntl(sock->fd, F_SETFL, fl | O_NONBLOCK);
  }
  epoll_event ev{};
  if (flags & ULOOP_READ) ev.events |= EPOLLIN | EPOLLRDHUP;
  if (flags & ULOOP_WRITE) ev.events |= EPOLLOUT;
  if (flags & ULOOP_EDGE_TRIGGER) ev.events |= EPOLLET;
  ev.data.ptr = sock;

  int op = sock->registered ? EPOLL_CTL_MOD : EPOLL_CTL_ADD;
  int rc = epoll_ctl(g_epoll, op, sock->fd, &ev);
  if (rc < 0 && op == EPOLL_CTL_MOD && errno == ENOENT)
    rc = epoll_ctl(g_epoll, EPOLL_CTL_ADD, sock->fd, &ev);  // registered with an earlier loop
  else if (rc < 0 && op == EPOLL_CTL_ADD && errno == EEXIST)
    rc = epoll_ctl(g_epoll, EPOLL_CTL_MOD, sock->fd, &ev);
  if (rc < 0) return -1;
  sock->flags = static_cast<uint8_t>(flags);
  sock->registered = true;
  sock->eof = false;
  sock->error = false;
  return 0;
}

int uloop_fd_delete(struct uloop_fd *sock) {
  for (int d = 0; d < g_run_depth; ++d) {
    Batch *b = g_batches[d];
    for (int i = b->index; i < b->count; ++i)
      if (b->events[i].data.ptr == sock) b->events[i].data.ptr = nullptr;
  }
  if (!sock->registered) return 0;
  sock->registered = false;
  sock->flags = 0;
  if (g_epoll >= 0 && sock->fd >= 0)
    epoll_ctl(g_epoll, EPOLL_CTL_DEL, sock->fd, nullptr);  // fails harmlessly if already closed
  return 0;
}

int uloop_timeout_set(struct uloop_timeout *timeout, int msecs) {
  if (timeout->pending) uloop_timeout_cancel(timeout);
  if (msecs < 0) msecs = 0;
  timeval when = monotonic_now();
  when.tv_sec += msecs / 1000;
  when.tv_usec += (msecs % 1000) * 1000;
  if (when.tv_usec >= 1000000) {
    when.tv_sec += 1;
    when.tv_usec -= 1000000;
  }
  timeout->time = when;

  // Keep the list ordered by expiry; equal expiries fire in the order they were set.
  list_head *pos = g_timeouts.next;
  while (pos != &g_timeouts && !later(list_entry(pos, uloop_timeout, list)->time, when))
    pos = pos->next;
  list_add_tail(&timeout->list, pos);
  timeout->pending = true;
  return 0;
}

int uloop_timeout_cancel(struct uloop_timeout *timeout) {
  if (!timeout->pending) return -1;
  list_del(&timeout->list);
  timeout->pending = false;
  return 0;
}

int64_t uloop_timeout_remaining64(struct uloop_timeout *timeout) {
  if (!timeout->pending) return -1;
  const long long us = diff_us(timeout->time, monotonic_now());
  if (us <= 0) return 0;
  return (us + 999) / 1000;
}

int uloop_timeout_remaining(struct uloop_timeout *timeout) {
  const int64_t ms = uloop_timeout_remaining64(timeout);
  return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

int uloop_run_timeout(int timeout_ms) {
  if (g_epoll < 0 || g_run_depth >= kMaxRunDepth) return -1;
  const long long deadline = timeout_ms >= 0 ? to_ms(monotonic_now()) + timeout_ms : -1;
  Batch batch{};
  g_batches[g_run_depth++] = &batch;
  g_status = 0;
  uloop_cancelled = false;

  while (!uloop_cancelled) {
    run_due_timeouts();
    if (g_child_ended) reap_children();
    if (uloop_cancelled || g_epoll < 0) break;
    int wait = next_timeout_ms();
    if (deadline >= 0) {
      const long long left = deadline - to_ms(monotonic_now());
      if (left <= 0) break;
      if (wait < 0 || left < wait) wait = static_cast<int>(left);
    }
    batch.index = 0;
    batch.count = 0;
    const int n = epoll_wait(g_epoll, batch.events, kBatchSize, wait);
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    batch.count = n;
    dispatch(batch);
    batch.count = 0;
  }

  --g_run_depth;
  return g_status;
}

int uloop_run(void) { return uloop_run_timeout(-1); }

void uloop_end(void) { uloop_cancelled = true; }

void uloop_done(void) {
  setup_signals(false);
  close_waker();
  if (g_epoll >= 0) {
    close(g_epoll);
    g_epoll = -1;
  }
  g_epoll_owner = 0;
  for (int d = 0; d < g_run_depth; ++d) g_batches[d]->count = 0;
  int walked = 0;
  while (!list_empty(&g_timeouts) && walked++ < kMaxTimeoutWalk) {
    uloop_timeout *t = list_first_entry(&g_timeouts, uloop_timeout, list);
    list_del(&t->list);
    t->pending = false;
  }
  INIT_LIST_HEAD(&g_timeouts);
}
