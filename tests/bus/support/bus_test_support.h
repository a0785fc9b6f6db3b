// Helpers for the bus tests: child processes, an object server, running commands, descriptors.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <sys/types.h>

#include <json-c/json.h>
#include <libubus.h>

namespace bus_test {

// A forked child running fn(); its return value is the exit status. Killed and reaped on
// destruction if still running.
class Child {
 public:
  explicit Child(std::function<int()> fn);
  ~Child();
  Child(const Child &) = delete;
  Child &operator=(const Child &) = delete;

  pid_t pid() const { return pid_; }
  void kill_now();
  // Exit status, or -1 when it did not end within timeout (or died by a signal).
  int wait(std::chrono::milliseconds timeout = std::chrono::seconds(20));

 private:
  pid_t pid_ = -1;
};

// A child process serving one object on the bus until it is destroyed. Methods:
//   echo   replies with the fields it got plus "seen": true
//   multi  replies three times, {"n": 0}, {"n": 1}, {"n": 2}
//   fail   replies nothing and returns UBUS_STATUS_PERMISSION_DENIED
//   sleep  {"ms": N}: waits N ms, then replies {"slept": N}
//   hang   writes one byte to the server's hang pipe, then sleeps until killed
class ObjectServer {
 public:
  explicit ObjectServer(std::string name, const char *socket = nullptr);
  bool ready() const { return ready_; }
  pid_t pid() const { return child_->pid(); }
  // Blocks until a call of "hang" has reached the handler; false after timeout.
  bool wait_hanging(std::chrono::milliseconds timeout);
  void kill_now() { child_->kill_now(); }

 private:
  int hang_fd_ = -1;
  std::unique_ptr<Child> child_;
  bool ready_ = false;
};

struct CommandResult {
  int status = -1;  // exit status, -1 if killed or timed out
  std::string out;
  std::string err;
};

// A command (no shell) whose standard output and error are collected while it runs.
class Spawned {
 public:
  explicit Spawned(const std::vector<std::string> &argv);
  ~Spawned();
  Spawned(const Spawned &) = delete;
  Spawned &operator=(const Spawned &) = delete;
  // Standard output read so far, after waiting up to `wait` for more.
  const std::string &poll_output(std::chrono::milliseconds wait);
  // Reads both streams to their end and reaps the command; killed after timeout.
  CommandResult finish(std::chrono::milliseconds timeout);
  int wait(std::chrono::milliseconds timeout) { return finish(timeout).status; }

 private:
  // Reads what is available within wait_ms; false once both streams are closed.
  bool pump(int wait_ms);

  pid_t pid_ = -1;
  int fds_[2] = {-1, -1};
  CommandResult result_;
};

CommandResult run_command(const std::vector<std::string> &argv,
                          std::chrono::milliseconds timeout = std::chrono::seconds(20));

inline const char *const kUbusd = "/usr/sbin/ubusd";

// A ubusd of its own on `socket`, started and waited for.
class PrivateDaemon {
 public:
  explicit PrivateDaemon(const std::string &socket);
  bool serving() const;
  pid_t pid() const { return child_.pid(); }
  // Exit status after SIGTERM.
  int stop();

 private:
  std::string socket_;
  Child child_;
};

int count_fds(pid_t pid);
// The descriptor count once it has stopped changing (closes are handled asynchronously).
int settled_fd_count(pid_t pid);

struct JsonDeleter {
  void operator()(json_object *o) const { json_object_put(o); }
};
using Json = std::unique_ptr<json_object, JsonDeleter>;
Json parse_json(const std::string &text);
bool json_same(const std::string &a, const std::string &b);

// Owns a blob_buf.
struct BlobBuf {
  BlobBuf() { blob_buf_init(&b, 0); }
  ~BlobBuf() { blob_buf_free(&b); }
  BlobBuf(const BlobBuf &) = delete;
  BlobBuf &operator=(const BlobBuf &) = delete;
  blob_buf b{};
};

struct ContextDeleter {
  void operator()(ubus_context *c) const { ubus_free(c); }
};
using Context = std::unique_ptr<ubus_context, ContextDeleter>;

// Formats msg as a compact JSON object text ("" when it cannot).
std::string to_json(blob_attr *msg);

}  // namespace bus_test
