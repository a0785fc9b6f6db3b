// The event loop: timeouts, descriptors, ending from a signal handler, clean-up and fork, and the
// signal handling uloop_init() sets up as the router's loop does.
#include <cerrno>
#include <chrono>
#include <csignal>
#include <vector>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

extern "C" {
#include <libubox/uloop.h>
}

namespace {

using Clock = std::chrono::steady_clock;

long long elapsed_ms(Clock::time_point since) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
}

class Uloop : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(0, uloop_init()); }
  void TearDown() override { uloop_done(); }
};

struct Pipe {
  Pipe() {
    if (pipe2(fd, O_CLOEXEC) != 0) fd[0] = fd[1] = -1;
  }
  ~Pipe() {
    close(fd[0]);
    close(fd[1]);
  }
  void poke() const { EXPECT_EQ(1, write(fd[1], "x", 1)); }
  int fd[2];
};

std::vector<int> g_order;

struct Tagged {
  uloop_timeout t;
  int tag;
};

void record(uloop_timeout *t) {
  g_order.push_back(reinterpret_cast<Tagged *>(t)->tag);
  if (g_order.size() == 3) uloop_end();
}

TEST_F(Uloop, TimeoutsFireInExpiryOrderAndCancelledOnesNever) {
  g_order.clear();
  Tagged a{{}, 1}, b{{}, 2}, c{{}, 3}, d{{}, 4}, cancelled{{}, 99};
  for (Tagged *t : {&a, &b, &c, &d, &cancelled}) t->t.cb = record;
  uloop_timeout_set(&c.t, 30);
  uloop_timeout_set(&a.t, 10);
  uloop_timeout_set(&cancelled.t, 5);
  uloop_timeout_set(&b.t, 20);
  uloop_timeout_set(&d.t, 5000);
  EXPECT_EQ(0, uloop_timeout_cancel(&cancelled.t));
  EXPECT_EQ(-1, uloop_timeout_cancel(&cancelled.t));
  EXPECT_FALSE(cancelled.t.pending);
  const auto start = Clock::now();
  uloop_run_timeout(3000);
  EXPECT_EQ((std::vector<int>{1, 2, 3}), g_order);
  EXPECT_LT(elapsed_ms(start), 2000);
  EXPECT_TRUE(d.t.pending);
  EXPECT_GT(uloop_timeout_remaining64(&d.t), 4000);
  uloop_timeout_cancel(&d.t);
}

TEST_F(Uloop, RunTimeoutReturnsWhenNothingHappens) {
  const auto start = Clock::now();
  EXPECT_EQ(0, uloop_run_timeout(100));
  const auto ms = elapsed_ms(start);
  EXPECT_GE(ms, 90);
  EXPECT_LT(ms, 2000);
}

struct Watch {
  uloop_fd fd;
  int calls;
  Watch *other;  // deleted from the loop by this one's callback
};

void on_readable(uloop_fd *u, unsigned int events) {
  auto *w = reinterpret_cast<Watch *>(u);
  ++w->calls;
  EXPECT_TRUE(events & ULOOP_READ);
  char buf[16];
  EXPECT_GT(read(u->fd, buf, sizeof(buf)), 0);
  if (w->other) uloop_fd_delete(&w->other->fd);
  uloop_end();
}

TEST_F(Uloop, DescriptorDeletedByAnotherCallbackGetsNoStaleEvent) {
  Pipe p1, p2;
  Watch w1{{}, 0, nullptr}, w2{{}, 0, nullptr};
  w1.fd.fd = p1.fd[0];
  w1.fd.cb = on_readable;
  w2.fd.fd = p2.fd[0];
  w2.fd.cb = on_readable;
  w1.other = &w2;
  w2.other = &w1;
  ASSERT_EQ(0, uloop_fd_add(&w1.fd, ULOOP_READ));
  ASSERT_EQ(0, uloop_fd_add(&w2.fd, ULOOP_READ));
  EXPECT_TRUE(fcntl(p1.fd[0], F_GETFL) & O_NONBLOCK);
  // Both ready in the same wake-up: whichever runs first removes the other.
  p1.poke();
  p2.poke();
  uloop_run_timeout(2000);
  EXPECT_EQ(1, w1.calls + w2.calls);
  EXPECT_FALSE(w1.fd.registered && w2.fd.registered);
  uloop_fd_delete(&w1.fd);
  uloop_fd_delete(&w2.fd);
}

void end_from_signal(int) { uloop_end(); }

TEST_F(Uloop, EndFromSignalHandlerStopsTheRun) {
  struct sigaction sa {
  }, old{};
  sa.sa_handler = end_from_signal;
  sigaction(SIGALRM, &sa, &old);
  itimerval tv{};
  tv.it_value.tv_usec = 100 * 1000;
  setitimer(ITIMER_REAL, &tv, nullptr);
  const auto start = Clock::now();
  uloop_run();  // no timeout: only the signal ends it
  EXPECT_LT(elapsed_ms(start), 5000);
  sigaction(SIGALRM, &old, nullptr);
  // The next run is not ended by the earlier request.
  const auto again = Clock::now();
  uloop_run_timeout(50);
  EXPECT_GE(elapsed_ms(again), 40);
}

void done_and_exit(int) {
  uloop_done();
  _exit(7);
}

TEST(UloopLifecycle, DoneIsSafeTwiceWithoutInitAndFromASignalHandler) {
  uloop_done();
  uloop_done();
  uloop_timeout t{};
  ASSERT_EQ(0, uloop_init());
  uloop_timeout_set(&t, 1000);
  uloop_done();
  EXPECT_FALSE(t.pending);
  EXPECT_EQ(-1, uloop_timeout_cancel(&t));
  EXPECT_EQ(-1, uloop_run_timeout(10));  // no loop

  // A process blocked in the loop, ended by a handler that calls uloop_done() and exits.
  const pid_t pid = fork();
  if (pid == 0) {
    signal(SIGTERM, done_and_exit);
    uloop_init();
    uloop_timeout keep{};
    uloop_timeout_set(&keep, 60000);
    uloop_run();
    _exit(1);
  }
  usleep(100 * 1000);
  kill(pid, SIGTERM);
  int status = 0;
  ASSERT_EQ(pid, waitpid(pid, &status, 0));
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(7, WEXITSTATUS(status));
}

TEST(UloopLifecycle, ChildAfterForkGetsItsOwnLoop) {
  ASSERT_EQ(0, uloop_init());
  Pipe p;
  uloop_fd parent_watch{};
  parent_watch.fd = p.fd[0];
  parent_watch.cb = [](uloop_fd *u, unsigned int) {
    char c;
    EXPECT_EQ(1, read(u->fd, &c, 1));
    uloop_end();
  };
  ASSERT_EQ(0, uloop_fd_add(&parent_watch, ULOOP_READ));
  const pid_t pid = fork();
  if (pid == 0) {
    // Its loop must not share the parent's registrations: waiting here must not see the pipe.
    uloop_init();
    const auto start = Clock::now();
    uloop_run_timeout(300);
    _exit(elapsed_ms(start) >= 250 ? 0 : 1);
  }
  p.poke();
  uloop_run_timeout(3000);
  int status = 0;
  ASSERT_EQ(pid, waitpid(pid, &status, 0));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  char c;
  EXPECT_EQ(-1, read(p.fd[0], &c, 1));  // the parent consumed the byte
  uloop_fd_delete(&parent_watch);
  uloop_done();
}

struct sigaction disposition(int signal_number) {
  struct sigaction current {};
  sigaction(signal_number, nullptr, &current);
  return current;
}

void custom_handler(int) {}

TEST(UloopSignals, InitTakesTheDefaultDispositionsAndDoneGivesThemBack) {
  signal(SIGINT, custom_handler);  // not the default: left alone
  signal(SIGTERM, SIG_DFL);
  signal(SIGCHLD, SIG_DFL);
  signal(SIGPIPE, SIG_DFL);
  ASSERT_EQ(0, uloop_init());
  EXPECT_EQ(disposition(SIGINT).sa_handler, custom_handler);
  EXPECT_EQ(disposition(SIGPIPE).sa_handler, SIG_IGN);
  for (int taken : {SIGTERM, SIGCHLD}) {
    const struct sigaction now = disposition(taken);
    EXPECT_NE(now.sa_handler, SIG_DFL) << taken;
    EXPECT_EQ(now.sa_flags & SA_RESTART, 0) << taken;
  }

  // A child ending interrupts a blocking read, which fails with EINTR rather than restarting.
  Pipe p;
  pid_t child = fork();
  if (child == 0) {
    usleep(50 * 1000);
    _exit(0);
  }
  char c;
  errno = 0;
  EXPECT_EQ(-1, read(p.fd[0], &c, 1));
  EXPECT_EQ(EINTR, errno);
  // The loop reaps every ended child, whoever started it.
  uloop_run_timeout(50);
  EXPECT_EQ(-1, waitpid(child, nullptr, WNOHANG));
  EXPECT_EQ(ECHILD, errno);

  // SIGTERM ends the run, which returns its number; an end asked before a run does not end it.
  uloop_timeout terminate{};
  terminate.cb = [](uloop_timeout *) { raise(SIGTERM); };
  uloop_timeout_set(&terminate, 10);
  const auto start = Clock::now();
  EXPECT_EQ(SIGTERM, uloop_run());
  EXPECT_LT(elapsed_ms(start), 5000);
  uloop_end();
  const auto again = Clock::now();
  EXPECT_EQ(0, uloop_run_timeout(50));
  EXPECT_GE(elapsed_ms(again), 40);

  uloop_done();
  for (int restored : {SIGTERM, SIGCHLD, SIGPIPE}) EXPECT_EQ(disposition(restored).sa_handler, SIG_DFL) << restored;
  EXPECT_EQ(disposition(SIGINT).sa_handler, custom_handler);

  // Without the SIGCHLD handling, and with SIGPIPE ignored beforehand: uloop_done() still makes
  // SIGPIPE the default, as the router's loop does.
  uloop_handle_sigchld = false;
  signal(SIGPIPE, SIG_IGN);
  ASSERT_EQ(0, uloop_init());
  EXPECT_EQ(disposition(SIGCHLD).sa_handler, SIG_DFL);
  uloop_done();
  uloop_handle_sigchld = true;
  EXPECT_EQ(disposition(SIGPIPE).sa_handler, SIG_DFL);
  signal(SIGINT, SIG_DFL);
}

}  // namespace
