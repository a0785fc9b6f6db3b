#include "client_link.h"

#include <cerrno>

#include <sys/socket.h>

ClientLink::ClientLink(ubus_wire::UniqueFd fd, uint32_t id, Broker *broker, uloop_fd_handler cb)
    : fd_(std::move(fd)) {
  watch_.fd.fd = fd_.get();
  watch_.fd.cb = cb;
  watch_.broker = broker;
  watch_.client = id;
}

ClientLink::~ClientLink() { uloop_fd_delete(&watch_.fd); }

bool ClientLink::start() { return uloop_fd_add(&watch_.fd, ULOOP_READ) == 0; }

bool ClientLink::receive() {
  uint8_t chunk[16384];
  for (int i = 0; i < 4; ++i) {
    const ssize_t n = recv(fd_.get(), chunk, sizeof(chunk), 0);
    if (n > 0) {
      rx_.append(chunk, static_cast<size_t>(n));
      if (static_cast<size_t>(n) < sizeof(chunk)) return true;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
  }
  return true;
}

bool ClientLink::send(const std::vector<uint8_t> &bytes) {
  if (bytes.empty()) return true;
  size_t written = 0;
  if (txq_.empty()) {
    const ssize_t n = ::send(fd_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
    written = n > 0 ? static_cast<size_t>(n) : 0;
    if (written == bytes.size()) return true;
    tx_offset_ = written;
  }
  txq_.push_back(bytes);
  tx_bytes_ += bytes.size() - written;
  if (tx_bytes_ > kMaxQueuedBytes) return false;
  watch_writes(true);
  return true;
}

bool ClientLink::flush() {
  while (!txq_.empty()) {
    const std::vector<uint8_t> &front = txq_.front();
    const ssize_t n = ::send(fd_.get(), front.data() + tx_offset_, front.size() - tx_offset_,
                             MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
      return false;
    }
    tx_offset_ += static_cast<size_t>(n);
    tx_bytes_ -= static_cast<size_t>(n);
    if (tx_offset_ == front.size()) {
      txq_.pop_front();
      tx_offset_ = 0;
    }
  }
  watch_writes(false);
  return true;
}

void ClientLink::watch_writes(bool on) {
  if (on == watching_writes_) return;
  watching_writes_ = on;
  uloop_fd_add(&watch_.fd, on ? ULOOP_READ | ULOOP_WRITE : ULOOP_READ);
}
