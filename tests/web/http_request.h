// Raw HTTP requests to vorn_web for the tests: the exact bytes are sent (no client cleans the
// path up), and the answer is read until the server closes or `timeout_ms` passes.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>

namespace web::test {

// A connected TCP socket to 127.0.0.1:port, closed with the object.
class Connection {
 public:
  explicit Connection(int port) : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd_ >= 0 && connect(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
      close(fd_);
      fd_ = -1;
    }
  }
  ~Connection() {
    if (fd_ >= 0) close(fd_);
  }
  Connection(const Connection &) = delete;
  Connection &operator=(const Connection &) = delete;
  bool ok() const { return fd_ >= 0; }

  bool send_text(const std::string &text) {
    for (std::size_t done = 0; done < text.size();) {
      const ssize_t sent = ::send(fd_, text.data() + done, text.size() - done, MSG_NOSIGNAL);
      if (sent <= 0) return false;
      done += static_cast<std::size_t>(sent);
    }
    return true;
  }
  // What arrives until the server closes, `limit` bytes have come, or timeout_ms pass.
  std::string receive(int timeout_ms, std::size_t limit = 1 << 20) {
    std::string answer;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (answer.size() < limit && std::chrono::steady_clock::now() < deadline) {
      pollfd ready{fd_, POLLIN, 0};
      if (poll(&ready, 1, 100) <= 0) continue;
      char chunk[8192];
      const ssize_t got = recv(fd_, chunk, sizeof chunk, 0);
      if (got <= 0) break;
      answer.append(chunk, static_cast<std::size_t>(got));
    }
    return answer;
  }
  // True when the server has closed the connection (reads end), within timeout_ms.
  bool closed_by_server(int timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < deadline) {
      pollfd ready{fd_, POLLIN, 0};
      if (poll(&ready, 1, 100) <= 0) continue;
      char chunk[4096];
      if (recv(fd_, chunk, sizeof chunk, 0) <= 0) return true;
    }
    return false;
  }

 private:
  int fd_;
};

// "GET <target>" with the given extra header lines, answered and closed.
inline std::string http_get(int port, const std::string &target, const std::string &headers = "", int timeout_ms = 10000) {
  Connection connection(port);
  if (!connection.ok()) return "";
  connection.send_text("GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" + headers + "\r\n");
  return connection.receive(timeout_ms);
}

inline int status_of(const std::string &answer) {
  return answer.size() > 12 && answer.compare(0, 5, "HTTP/") == 0 ? std::atoi(answer.c_str() + 9) : 0;
}

inline std::string body_of(const std::string &answer) {
  const std::size_t end = answer.find("\r\n\r\n");
  return end == std::string::npos ? "" : answer.substr(end + 4);
}

}  // namespace web::test
