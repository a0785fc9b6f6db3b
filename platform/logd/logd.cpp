// logd (stand-in): the router's log daemon. Takes syslog messages on /dev/log and kernel lines
// from /proc/kmsg, keeps the newest of them within the log's size (-S KiB, default 16) for
// logread, with their time, source and priority, as the router's keeps them in its ring.
//   logd [-S SIZE_KIB]
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <string>

#include "log_store.h"

namespace {

volatile sig_atomic_t g_stop = 0;
void on_signal(int) { g_stop = 1; }

class Log {
 public:
  explicit Log(std::size_t limit) : limit_(limit) { rewrite(); }

  // One message as it arrived: "<N>" priority prefix, for syslog messages a time stamp.
  void add(std::string text, logd::Source source) {
    for (char &c : text)
      if (c == '\n') c = ' ';
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
    logd::Record record;
    record.source = source;
    if (text.size() > 2 && text[0] == '<') {
      std::size_t digits = 1;
      while (digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits]))) ++digits;
      if (digits < text.size() && text[digits] == '>') {
        record.priority = std::atoi(text.c_str() + 1);
        text.erase(0, digits + 1);
      }
    }
    // "Mmm dd hh:mm:ss " of a syslog message
    if (source == logd::kSyslog && text.size() > 16 && text[15] == ' ') text.erase(0, 16);
    record.message = text;
    record.id = ++last_id_;
    record.time = static_cast<long long>(std::time(nullptr));
    const std::string line = logd::format_record(record);
    records_.push_back(line);
    size_ += line.size();
    if (size_ > limit_) {
      // Over the size: the oldest go, down to three quarters, and the file is replaced.
      while (!records_.empty() && size_ > limit_ / 4 * 3) {
        size_ -= records_.front().size();
        records_.pop_front();
      }
      rewrite();
    } else if (file_ != nullptr) {
      std::fputs(line.c_str(), file_);
      std::fflush(file_);
    }
  }

 private:
  void rewrite() {
    if (file_ != nullptr) std::fclose(file_);
    const std::string next = std::string(logd::kLogFile) + ".new";
    file_ = std::fopen(next.c_str(), "w");
    if (file_ == nullptr) return;
    for (const std::string &line : records_) std::fputs(line.c_str(), file_);
    std::fflush(file_);
    std::rename(next.c_str(), logd::kLogFile);
  }

  std::size_t limit_, size_ = 0;
  std::uint64_t last_id_ = 0;
  std::deque<std::string> records_;
  std::FILE *file_ = nullptr;
};

}  // namespace

int main(int argc, char **argv) {
  long size_kib = 16;
  for (int option; (option = getopt(argc, argv, "S:")) != -1;)
    if (option == 'S') size_kib = std::atol(optarg) < 1 ? 16 : std::atol(optarg);
  struct sigaction action {};
  action.sa_handler = on_signal;
  for (int signal_number : {SIGTERM, SIGINT, SIGHUP}) sigaction(signal_number, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);

  mkdir("/var/run/logd", 0755);
  Log log(static_cast<std::size_t>(size_kib) * 1024);
  const int syslog_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, "/dev/log");
  unlink(address.sun_path);
  if (syslog_fd < 0 || bind(syslog_fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
    std::fprintf(stderr, "Failed to open %s\n", address.sun_path);
    return 1;
  }
  chmod(address.sun_path, 0666);
  // A pipe standing in for the kernel's log is opened for writing too: it never reads as ended.
  struct stat kernel_log {};
  const bool pipe_log = stat("/proc/kmsg", &kernel_log) == 0 && S_ISFIFO(kernel_log.st_mode);
  const int kmsg_fd = open("/proc/kmsg", (pipe_log ? O_RDWR : O_RDONLY) | O_NONBLOCK | O_CLOEXEC);
  if (kmsg_fd < 0) std::fprintf(stderr, "Failed to open /proc/kmsg\n");

  std::string kernel_lines;
  char buffer[8192];
  while (!g_stop) {
    pollfd fds[2] = {{syslog_fd, POLLIN, 0}, {kmsg_fd, POLLIN, 0}};
    if (poll(fds, kmsg_fd >= 0 ? 2 : 1, -1) < 0) continue;
    if (fds[0].revents & POLLIN) {
      const ssize_t got = recv(syslog_fd, buffer, sizeof buffer - 1, MSG_DONTWAIT);
      if (got > 0) log.add(std::string(buffer, strnlen(buffer, static_cast<std::size_t>(got))), logd::kSyslog);
    }
    if (kmsg_fd >= 0 && (fds[1].revents & POLLIN)) {
      const ssize_t got = read(kmsg_fd, buffer, sizeof buffer);
      if (got > 0) kernel_lines.append(buffer, static_cast<std::size_t>(got));
      for (std::size_t newline; (newline = kernel_lines.find('\n')) != std::string::npos;) {
        log.add(kernel_lines.substr(0, newline), logd::kKernel);
        kernel_lines.erase(0, newline + 1);
      }
    }
  }
  unlink(address.sun_path);
  return 0;
}
