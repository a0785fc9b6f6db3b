// Connection to the bus daemon: connecting, sending, receiving, and serving from the event loop.
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <new>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include "client_state.h"
#include "unique_fd.h"

using ubus_wire::Message;
using ubus_wire::Receiver;

namespace ubus_client {

namespace {

using Clock = std::chrono::steady_clock;

int ms_left(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

void schedule_deferred(ubus_context *ctx) {
  if (ctx->state->in_loop) uloop_timeout_set(&ctx->state->deferred.timeout, 0);
}

void mark_lost(ubus_context *ctx) {
  ctx->state->lost = true;
  // An unread end-of-file would wake the loop for ever.
  uloop_fd_delete(&ctx->sock);
}

// Reads what the socket holds now (bounded, so one busy connection cannot starve the loop).
void read_available(ubus_context *ctx) {
  uint8_t chunk[16384];
  for (int i = 0; i < 16 && !ctx->state->lost; ++i) {
    const ssize_t n = recv(ctx->sock.fd, chunk, sizeof(chunk), 0);
    if (n > 0) {
      ctx->state->rx.append(chunk, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    mark_lost(ctx);  // end of stream or a socket error
  }
}

void handle_reply(PendingRequest &req, const Message &m) {
  if (m.type == UBUS_MSG_DATA) {
    if (req.on_data) req.on_data(m);
    return;
  }
  req.status = static_cast<int32_t>(m.u32(ubus_wire::kAttrStatus, UBUS_STATUS_UNKNOWN_ERROR));
  req.done = true;
}

void route(ubus_context *ctx, Message &&m) {
  auto &active = ctx->state->active;
  switch (m.type) {
    case UBUS_MSG_DATA:
    case UBUS_MSG_STATUS:
      for (size_t i = active.size(); i-- > 0;) {
        PendingRequest *req = active[i];
        if (req->seq != m.seq || req->done) continue;
        if (i + 1 == active.size())
          handle_reply(*req, m);
        else
          req->inbox.push_back(std::move(m));
        return;
      }
      return;  // a reply to a request that has already timed out
    case UBUS_MSG_INVOKE:
    case UBUS_MSG_EVENT:
      if (ctx->state->depth > 0) {
        ctx->state->queued.push_back(std::move(m));
        return;
      }
      ++ctx->state->depth;
      if (m.type == UBUS_MSG_INVOKE)
        dispatch_invoke(ctx, m);
      else
        dispatch_event(ctx, m);
      --ctx->state->depth;
      return;
    default:
      return;
  }
}

// Serves the calls and events that arrived while a handler or a synchronous request ran.
void serve_queued(ubus_context *ctx) {
  ubus_context_state *st = ctx->state;
  while (st->depth == 0 && !st->queued.empty()) {
    Message m = std::move(st->queued.front());
    st->queued.pop_front();
    route(ctx, std::move(m));
  }
}

// Takes the next buffered message; false when none is complete.
bool next_message(ubus_context *ctx, Message &m) {
  for (;;) {
    switch (ctx->state->rx.next(m)) {
      case Receiver::Status::kMessage:
        return true;
      case Receiver::Status::kTooBig:
        continue;  // the daemon never sends these
      case Receiver::Status::kGarbage:
        mark_lost(ctx);
        return false;
      case Receiver::Status::kNeedMore:
        return false;
    }
  }
}

int wait_for(ubus_context *ctx, PendingRequest &req, int timeout_ms) {
  ubus_context_state *st = ctx->state;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms > 0 ? timeout_ms : 0);
  st->active.push_back(&req);
  ++st->depth;
  for (;;) {
    if (timeout_ms < 0) {
      req.status = UBUS_STATUS_TIMEOUT;  // as the router's library: sent, and not waited for
      break;
    }
    while (!req.done && !req.inbox.empty()) {
      Message m = std::move(req.inbox.front());
      req.inbox.pop_front();
      handle_reply(req, m);
    }
    if (req.done) break;
    Message m;
    if (next_message(ctx, m)) {
      route(ctx, std::move(m));
      continue;
    }
    if (st->lost) {
      req.status = UBUS_STATUS_CONNECTION_FAILED;
      break;
    }
    int wait = -1;
    if (timeout_ms > 0) {
      wait = ms_left(deadline);
      if (wait == 0) {
        req.status = UBUS_STATUS_TIMEOUT;
        break;
      }
    }
    pollfd p{ctx->sock.fd, POLLIN, 0};
    const int rc = poll(&p, 1, wait);
    if (rc > 0)
      read_available(ctx);
    else if (rc < 0 && errno != EINTR)
      mark_lost(ctx);
  }
  for (size_t i = st->active.size(); i-- > 0;) {
    if (st->active[i] == &req) {
      st->active.erase(st->active.begin() + static_cast<std::ptrdiff_t>(i));
      break;
    }
  }
  --st->depth;
  // Messages read past the reply, calls and events queued meanwhile, or a lost connection are
  // handled from the loop; outside a loop the queued ones are served now, before returning.
  if (st->depth == 0 && !st->queued.empty() && !st->in_loop) serve_queued(ctx);
  if (st->rx.buffered() > 0 || st->lost || !st->queued.empty()) schedule_deferred(ctx);
  return req.status;
}

void report_lost(ubus_context *ctx) {
  ubus_context_state *st = ctx->state;
  if (!st->lost || st->lost_reported || !st->active.empty()) return;
  st->lost_reported = true;
  if (ctx->connection_lost)
    ctx->connection_lost(ctx);  // may free ctx: nothing may follow
  else
    uloop_end();
}

void on_socket(uloop_fd *u, unsigned int) {
  auto *ctx = container_of(u, ubus_context, sock);
  read_available(ctx);
  process_buffered(ctx);
  report_lost(ctx);
}

void on_deferred(uloop_timeout *t) {
  auto *work = container_of(t, DeferredWork, timeout);
  process_buffered(work->ctx);
  report_lost(work->ctx);
}

bool wait_hello(ubus_context *ctx) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(kControlTimeoutMs);
  for (;;) {
    Message m;
    if (next_message(ctx, m)) {
      if (m.type != UBUS_MSG_HELLO) return false;
      ctx->local_id = m.peer;
      return true;
    }
    const int wait = ms_left(deadline);
    if (ctx->state->lost || wait == 0) return false;
    pollfd p{ctx->sock.fd, POLLIN, 0};
    if (poll(&p, 1, wait) > 0) read_available(ctx);
  }
}

void destroy(ubus_context *ctx) {
  if (ctx->state) uloop_timeout_cancel(&ctx->state->deferred.timeout);
  uloop_fd_delete(&ctx->sock);
  if (ctx->sock.fd >= 0) close(ctx->sock.fd);
  delete ctx->state;
  delete ctx;
}

}  // namespace

int send_message(ubus_context *ctx, const std::vector<uint8_t> &bytes) {
  if (bytes.empty()) return UBUS_STATUS_INVALID_ARGUMENT;
  if (ctx->state->lost) return UBUS_STATUS_CONNECTION_FAILED;
  const auto deadline = Clock::now() + std::chrono::milliseconds(kSendTimeoutMs);
  size_t off = 0;
  while (off < bytes.size()) {
    const ssize_t n = send(ctx->sock.fd, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
    if (n > 0) {
      off += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      const int wait = ms_left(deadline);
      pollfd p{ctx->sock.fd, POLLOUT, 0};
      if (wait > 0 && (poll(&p, 1, wait) >= 0 || errno == EINTR)) continue;
    }
    // A message cut short leaves the stream unusable.
    mark_lost(ctx);
    schedule_deferred(ctx);
    return UBUS_STATUS_CONNECTION_FAILED;
  }
  return UBUS_STATUS_OK;
}

int request(ubus_context *ctx, uint8_t type, ubus_wire::Builder &msg,
            std::function<void(const Message &)> on_data, int timeout_ms) {
  if (ctx->state->lost) return UBUS_STATUS_CONNECTION_FAILED;
  PendingRequest req;
  req.seq = ++ctx->request_seq;
  req.on_data = std::move(on_data);
  const int rc = send_message(ctx, msg.finish(type, req.seq, 0));
  if (rc != UBUS_STATUS_OK) return rc;
  return wait_for(ctx, req, timeout_ms);
}

void process_buffered(ubus_context *ctx) {
  Message m;
  while (next_message(ctx, m)) route(ctx, std::move(m));
  serve_queued(ctx);
}

blob_attr *fields_or_empty(const Message &m) {
  if (blob_attr *fields = m.list(ubus_wire::kAttrData)) return fields;
  alignas(blob_attr) static uint32_t empty = htobe32(sizeof(blob_attr));
  return reinterpret_cast<blob_attr *>(&empty);
}

}  // namespace ubus_client

using namespace ubus_client;

struct ubus_context *ubus_connect(const char *path) {
  if (!path) path = UBUS_UNIX_SOCKET;
  sockaddr_un sa{};
  sa.sun_family = AF_UNIX;
  if (strlen(path) >= sizeof(sa.sun_path)) return nullptr;
  memcpy(sa.sun_path, path, strlen(path) + 1);

  ubus_wire::UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) return nullptr;
  int rc;
  do rc = connect(fd.get(), reinterpret_cast<sockaddr *>(&sa), sizeof(sa));
  while (rc < 0 && errno == EINTR);
  if (rc < 0) return nullptr;
  const int fl = fcntl(fd.get(), F_GETFL);
  if (fl < 0 || fcntl(fd.get(), F_SETFL, fl | O_NONBLOCK) < 0) return nullptr;

  auto *ctx = new (std::nothrow) ubus_context{};
  if (!ctx) return nullptr;
  ctx->sock.fd = fd.release();
  ctx->sock.cb = on_socket;
  ctx->state = new (std::nothrow) ubus_context_state;
  if (!ctx->state) {
    destroy(ctx);
    return nullptr;
  }
  ctx->state->deferred.timeout.cb = on_deferred;
  ctx->state->deferred.ctx = ctx;
  if (!wait_hello(ctx)) {
    destroy(ctx);
    return nullptr;
  }
  return ctx;
}

void ubus_free(struct ubus_context *ctx) {
  if (ctx) destroy(ctx);
}

void ubus_add_uloop(struct ubus_context *ctx) {
  if (!ctx || ctx->state->lost) return;
  ctx->sock.cb = on_socket;
  if (uloop_fd_add(&ctx->sock, ULOOP_READ | ULOOP_BLOCKING) != 0) return;
  ctx->state->in_loop = true;
  if (ctx->state->rx.buffered() > 0) schedule_deferred(ctx);
}
