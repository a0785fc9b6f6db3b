#include "link_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "frames_from_daemon.h"
#include "request_handlers.h"

namespace sim {

namespace {

constexpr std::uint16_t kLinkPort = 5000;
constexpr std::size_t kHeaderSize = 4;

LinkServer &server_of(uloop_fd *fd) { return *reinterpret_cast<ServerFd *>(fd)->server; }

void close_link(LinkServer &server) {
  if (server.link.fd.fd < 0) return;
  if (!server.stalled) uloop_fd_delete(&server.link.fd);
  link_closed(*server.network);  // closes the descriptor
  server.link.fd.fd = -1;
  server.pending.clear();
}

void on_link(uloop_fd *fd, unsigned int) {
  LinkServer &server = server_of(fd);
  std::uint8_t buffer[4096];
  const ssize_t n = read(fd->fd, buffer, sizeof buffer);
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
  if (n <= 0) {
    std::printf("collector: the daemon closed the link\n");
    close_link(server);
    return;
  }
  server.pending.insert(server.pending.end(), buffer, buffer + n);
  split_frames(*server.network, server.pending);
}

void on_accept(uloop_fd *fd, unsigned int) {
  LinkServer &server = server_of(fd);
  const int client = accept4(fd->fd, nullptr, nullptr, SOCK_CLOEXEC);
  if (client < 0) return;
  // One daemon at a time: a new connection replaces the old one.
  close_link(server);
  server.link.fd.fd = client;
  server.link.fd.cb = on_link;
  if (!server.stalled) uloop_fd_add(&server.link.fd, ULOOP_READ | ULOOP_BLOCKING);
  std::printf("collector: the daemon connected\n");
  link_connected(*server.network, client);
}

void end_stall(uloop_timeout *timeout) {
  LinkServer &server = *reinterpret_cast<StallTimer *>(timeout)->server;
  if (!server.stalled) return;
  server.stalled = false;
  std::printf("collector: reading the link again\n");
  if (server.link.fd.fd >= 0) uloop_fd_add(&server.link.fd, ULOOP_READ | ULOOP_BLOCKING);
}

}  // namespace

void stall_link_reading(LinkServer &server, double seconds) {
  server.stall_end.server = &server;
  server.stall_end.timeout.cb = end_stall;
  uloop_timeout_cancel(&server.stall_end.timeout);
  if (!(seconds > 0)) return end_stall(&server.stall_end.timeout);
  if (!server.stalled && server.link.fd.fd >= 0) uloop_fd_delete(&server.link.fd);
  server.stalled = true;
  std::printf("collector: leaving the link unread for %.1f s\n", seconds);
  uloop_timeout_set(&server.stall_end.timeout, static_cast<int>(seconds * 1000));
}

void split_frames(Network &network, Bytes &pending) {
  std::size_t at = 0;
  while (pending.size() - at >= kHeaderSize) {
    const std::uint8_t *frame = pending.data() + at;
    if (frame[2] != kFromDaemonType) {
      ++network.counts.rejected;
      std::printf("collector: %zu bytes that do not begin a frame dropped\n", pending.size() - at);
      at = pending.size();
      break;
    }
    const std::size_t length = le16(frame);
    if (pending.size() - at < kHeaderSize + length) break;
    handle_request(network, frame[3], frame + kHeaderSize, length);
    at += kHeaderSize + length;
  }
  pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(at));
}

bool start_link_server(LinkServer &server, Network &network) {
  server.network = &network;
  network.link_server = &server;
  server.listener.server = &server;
  server.link.server = &server;
  server.link.fd.fd = -1;
  server.listener.fd.fd = -1;
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(kLinkPort);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 || listen(fd, 4) != 0) {
    std::fprintf(stderr, "collector: cannot listen on 127.0.0.1:%u: %s\n", kLinkPort, std::strerror(errno));
    close(fd);
    return false;
  }
  server.listener.fd.fd = fd;
  server.listener.fd.cb = on_accept;
  uloop_fd_add(&server.listener.fd, ULOOP_READ);
  return true;
}

void stop_link_server(LinkServer &server) {
  close_link(server);
  if (server.listener.fd.fd >= 0) {
    uloop_fd_delete(&server.listener.fd);
    close(server.listener.fd.fd);
    server.listener.fd.fd = -1;
  }
}

}  // namespace sim
