#include "bus_test_support.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <thread>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern "C" {
#include <libubox/blobmsg_json.h>
}

extern char **environ;

namespace bus_test {

namespace {

using Clock = std::chrono::steady_clock;

// Waits for pid; kills it when timeout passes. Exit status or -1.
int reap(pid_t pid, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    int st = 0;
    const pid_t r = waitpid(pid, &st, WNOHANG);
    if (r == pid) return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    if (r < 0) return -1;
    if (Clock::now() >= deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &st, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

int g_hang_fd = -1;

int on_echo(ubus_context *ctx, ubus_object *, ubus_request_data *req, const char *,
            blob_attr *msg) {
  BlobBuf b;
  blob_attr *field;
  unsigned int rem;
  blob_for_each_attr(field, msg, rem) blobmsg_add_blob(&b.b, field);
  blobmsg_add_u8(&b.b, "seen", 1);
  return ubus_send_reply(ctx, req, b.b.head);
}

int on_multi(ubus_context *ctx, ubus_object *, ubus_request_data *req, const char *, blob_attr *) {
  for (uint32_t i = 0; i < 3; ++i) {
    BlobBuf b;
    blobmsg_add_u32(&b.b, "n", i);
    ubus_send_reply(ctx, req, b.b.head);
  }
  return 0;
}

int on_fail(ubus_context *, ubus_object *, ubus_request_data *, const char *, blob_attr *) {
  return UBUS_STATUS_PERMISSION_DENIED;
}

const blobmsg_policy kSleepPolicy[] = {{"ms", BLOBMSG_TYPE_INT32}};

int on_sleep(ubus_context *ctx, ubus_object *, ubus_request_data *req, const char *,
             blob_attr *msg) {
  blob_attr *tb[1];
  blobmsg_parse(kSleepPolicy, 1, tb, blob_data(msg), blob_len(msg));
  const uint32_t ms = tb[0] ? blobmsg_get_u32(tb[0]) : 0;
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  BlobBuf b;
  blobmsg_add_u32(&b.b, "slept", ms);
  return ubus_send_reply(ctx, req, b.b.head);
}

int on_hang(ubus_context *, ubus_object *, ubus_request_data *, const char *, blob_attr *) {
  const char byte = 'h';
  if (write(g_hang_fd, &byte, 1) != 1) _exit(3);
  for (;;) pause();
}

const ubus_method kMethods[] = {
    UBUS_METHOD_NOARG("echo", on_echo), UBUS_METHOD_NOARG("multi", on_multi),
    UBUS_METHOD_NOARG("fail", on_fail), UBUS_METHOD("sleep", on_sleep, kSleepPolicy),
    UBUS_METHOD_NOARG("hang", on_hang),
};
ubus_object_type kType = UBUS_OBJECT_TYPE("test", kMethods);

int serve(const std::string &name, const char *socket, int ready_fd) {
  uloop_init();
  ubus_context *ctx = ubus_connect(socket);
  if (!ctx) return 2;
  ubus_object obj{};
  obj.name = name.c_str();
  obj.type = &kType;
  obj.methods = kMethods;
  obj.n_methods = static_cast<int>(ARRAY_SIZE(kMethods));
  if (ubus_add_object(ctx, &obj) != UBUS_STATUS_OK) return 2;
  ubus_add_uloop(ctx);
  const char byte = 'r';
  if (write(ready_fd, &byte, 1) != 1) return 2;
  close(ready_fd);
  uloop_run();
  ubus_free(ctx);
  uloop_done();
  return 0;
}

bool read_byte(int fd, std::chrono::milliseconds timeout) {
  pollfd p{fd, POLLIN, 0};
  char byte;
  return poll(&p, 1, static_cast<int>(timeout.count())) == 1 && read(fd, &byte, 1) == 1;
}

}  // namespace

Child::Child(std::function<int()> fn) {
  fflush(nullptr);
  pid_ = fork();
  if (pid_ == 0) {
    const int rc = fn();
    _exit(rc);
  }
}

Child::~Child() { kill_now(); }

void Child::kill_now() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

int Child::wait(std::chrono::milliseconds timeout) {
  if (pid_ <= 0) return -1;
  const int rc = reap(pid_, timeout);
  pid_ = -1;
  return rc;
}

ObjectServer::ObjectServer(std::string name, const char *socket) {
  int ready[2], hang[2];
  if (pipe2(ready, O_CLOEXEC) != 0) return;
  if (pipe2(hang, O_CLOEXEC) != 0) {
    close(ready[0]);
    close(ready[1]);
    return;
  }
  child_ = std::make_unique<Child>([&, name] {
    close(ready[0]);
    close(hang[0]);
    g_hang_fd = hang[1];
    return serve(name, socket, ready[1]);
  });
  close(ready[1]);
  close(hang[1]);
  hang_fd_ = hang[0];
  ready_ = read_byte(ready[0], std::chrono::seconds(10));
  close(ready[0]);
}

bool ObjectServer::wait_hanging(std::chrono::milliseconds timeout) {
  return read_byte(hang_fd_, timeout);
}

Spawned::Spawned(const std::vector<std::string> &argv) {
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0) return;
  if (pipe2(err, O_CLOEXEC) != 0) {
    close(out[0]);
    close(out[1]);
    return;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  std::vector<char *> args;
  for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
  args.push_back(nullptr);
  if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) pid_ = -1;
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  close(err[1]);
  fds_[0] = out[0];
  fds_[1] = err[0];
}

Spawned::~Spawned() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  for (int fd : fds_)
    if (fd >= 0) close(fd);
}

bool Spawned::pump(int wait_ms) {
  pollfd p[2] = {{fds_[0], POLLIN, 0}, {fds_[1], POLLIN, 0}};
  if (fds_[0] < 0 && fds_[1] < 0) return false;
  if (poll(p, 2, wait_ms) <= 0) return true;
  std::string *sinks[2] = {&result_.out, &result_.err};
  for (int i = 0; i < 2; ++i) {
    if (fds_[i] < 0 || !(p[i].revents & (POLLIN | POLLHUP))) continue;
    char buf[4096];
    const ssize_t n = read(fds_[i], buf, sizeof(buf));
    if (n > 0) {
      sinks[i]->append(buf, static_cast<size_t>(n));
    } else {
      close(fds_[i]);
      fds_[i] = -1;
    }
  }
  return true;
}

const std::string &Spawned::poll_output(std::chrono::milliseconds wait) {
  const size_t before = result_.out.size();
  const auto deadline = Clock::now() + wait;
  while (result_.out.size() == before && Clock::now() < deadline && pump(10)) {
  }
  return result_.out;
}

CommandResult Spawned::finish(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (Clock::now() < deadline && pump(50)) {
  }
  if (pid_ > 0) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    result_.status = reap(pid_, left.count() > 0 ? left : std::chrono::milliseconds(0));
    pid_ = -1;
  }
  return result_;
}

CommandResult run_command(const std::vector<std::string> &argv, std::chrono::milliseconds timeout) {
  return Spawned(argv).finish(timeout);
}

PrivateDaemon::PrivateDaemon(const std::string &socket)
    : socket_(socket), child_([socket] {
        execl(kUbusd, kUbusd, "-s", socket.c_str(), static_cast<char *>(nullptr));
        return 127;
      }) {
  for (int i = 0; i < 500 && !serving(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

bool PrivateDaemon::serving() const {
  ubus_context *ctx = ubus_connect(socket_.c_str());
  ubus_free(ctx);
  return ctx != nullptr;
}

int PrivateDaemon::stop() {
  kill(child_.pid(), SIGTERM);
  return child_.wait(std::chrono::seconds(10));
}

int settled_fd_count(pid_t pid) {
  int last = count_fds(pid);
  for (int stable = 0, i = 0; stable < 3 && i < 100; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const int now = count_fds(pid);
    stable = now == last ? stable + 1 : 0;
    last = now;
  }
  return last;
}

int count_fds(pid_t pid) {
  DIR *dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
  if (!dir) return -1;
  int n = 0;
  while (dirent *e = readdir(dir))
    if (e->d_name[0] != '.') ++n;
  closedir(dir);
  return n;
}

Json parse_json(const std::string &text) { return Json(json_tokener_parse(text.c_str())); }

bool json_same(const std::string &a, const std::string &b) {
  Json ja = parse_json(a), jb = parse_json(b);
  return ja && jb && json_object_equal(ja.get(), jb.get());
}

std::string to_json(blob_attr *msg) {
  char *text = blobmsg_format_json_with_cb(msg, true, nullptr, nullptr, -1);
  if (!text) return "";
  std::string s(text);
  free(text);
  return s;
}

}  // namespace bus_test
