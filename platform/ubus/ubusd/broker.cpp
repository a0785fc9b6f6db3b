#include "broker.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <set>

#include <sys/socket.h>

using ubus_wire::Builder;
using ubus_wire::Message;
using ubus_wire::Receiver;

namespace {

// Bounds per client, so one client cannot grow the daemon without limit.
constexpr size_t kMaxPendingCalls = 256;
constexpr size_t kMaxListeners = 256;
constexpr size_t kMaxObjects = 1024;
// After running out of descriptors, accepting pauses this long instead of spinning.
constexpr int kAcceptRetryMs = 100;

std::vector<uint32_t> copy_attr(const blob_attr *a) {
  std::vector<uint32_t> out;
  if (!a) return out;
  out.resize((blob_pad_len(a) + 3) / 4);
  memcpy(out.data(), a, blob_raw_len(a));
  return out;
}

}  // namespace

Broker::Broker(ubus_wire::UniqueFd listener, size_t max_clients)
    : listener_fd_(std::move(listener)), max_clients_(max_clients) {
  listener_watch_.fd.fd = listener_fd_.get();
  listener_watch_.fd.cb = on_listener_ready;
  listener_watch_.broker = this;
  accept_retry_.timeout.cb = on_accept_retry;
  accept_retry_.broker = this;
  // Ids differ from one daemon start to the next, so an id kept by a client of an earlier daemon
  // does not name some new object.
  const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
  next_id_ = static_cast<uint32_t>(now ^ (now >> 32));
}

Broker::~Broker() {
  uloop_timeout_cancel(&accept_retry_.timeout);
  uloop_fd_delete(&listener_watch_.fd);
  clients_.clear();
}

bool Broker::start() { return uloop_fd_add(&listener_watch_.fd, ULOOP_READ) == 0; }

void Broker::on_listener_ready(uloop_fd *u, unsigned int) {
  reinterpret_cast<LinkWatch *>(u)->broker->accept_clients();
}

void Broker::on_accept_retry(uloop_timeout *t) {
  Broker *self = reinterpret_cast<BrokerTimer *>(t)->broker;
  self->start();
  self->accept_clients();
}

void Broker::on_client_ready(uloop_fd *u, unsigned int events) {
  auto *watch = reinterpret_cast<LinkWatch *>(u);
  Broker *self = watch->broker;
  if (ClientLink *c = self->find_client(watch->client)) self->serve(*c, events);
  self->reap();
}

void Broker::accept_clients() {
  for (;;) {
    const int fd = accept4(listener_fd_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        fprintf(stderr, "ubusd: cannot accept clients (%s), pausing\n", strerror(errno));
        uloop_fd_delete(&listener_watch_.fd);
        uloop_timeout_set(&accept_retry_.timeout, kAcceptRetryMs);
      }
      return;
    }
    ubus_wire::UniqueFd client_fd(fd);
    if (clients_.size() >= max_clients_) {
      fprintf(stderr, "ubusd: %zu clients connected, refusing another\n", clients_.size());
      continue;
    }
    const uint32_t id = new_id();
    auto link = std::make_unique<ClientLink>(std::move(client_fd), id, this, on_client_ready);
    if (!link->start()) continue;
    ClientLink &c = *link;
    clients_.emplace(id, std::move(link));
    deliver(c, Builder().finish(UBUS_MSG_HELLO, 0, id));
  }
  reap();
}

void Broker::serve(ClientLink &c, unsigned int events) {
  if ((events & ULOOP_WRITE) && !c.flush()) {
    doom(c, nullptr);
    return;
  }
  if (!(events & ULOOP_READ)) return;
  const bool open = c.receive();
  Message m;
  while (!c.doomed) {
    const Receiver::Status st = c.next(m);
    if (st == Receiver::Status::kNeedMore) break;
    if (st == Receiver::Status::kGarbage) {
      doom(c, "sent a malformed message");
      return;
    }
    if (st == Receiver::Status::kTooBig) {
      doom(c, "sent a message over the size limit");  // as the router's daemon does
      return;
    }
    handle(c, m);
  }
  if (!open) doom(c, nullptr);  // closed: what it sent completely has been handled above
}

void Broker::handle(ClientLink &c, const Message &m) {
  switch (m.type) {
    case UBUS_MSG_LOOKUP:
      return lookup(c, m);
    case UBUS_MSG_ADD_OBJECT:
      return add_object(c, m);
    case UBUS_MSG_REMOVE_OBJECT:
      return remove_object(c, m);
    case UBUS_MSG_INVOKE:
      return invoke(c, m);
    case UBUS_MSG_DATA:
    case UBUS_MSG_STATUS:
      return forward_reply(c, m);
    case UBUS_MSG_ADD_LISTENER:
      return add_listener(c, m);
    case UBUS_MSG_REMOVE_LISTENER:
      return remove_listener(c, m);
    case UBUS_MSG_SEND_EVENT:
      return send_event(c, m);
    default:
      return doom(c, "sent a message only the daemon sends");
  }
}

void Broker::lookup(ClientLink &c, const Message &m) {
  const char *path = m.str(ubus_wire::kAttrObjPath);
  const char *pattern = m.str(ubus_wire::kAttrPattern);
  int found = 0;
  auto report = [&](const ObjectEntry &o) {
    Builder b;
    b.u32(ubus_wire::kAttrObjId, o.id).str(ubus_wire::kAttrObjPath, o.path.c_str());
    if (!o.signature.empty())
      b.list(ubus_wire::kAttrSignature, reinterpret_cast<const blob_attr *>(o.signature.data()));
    deliver(c, b.finish(UBUS_MSG_DATA, m.seq, 0, ubus_wire::kMaxForwarded));
    ++found;
  };
  if (path) {
    const auto it = objects_by_path_.find(path);
    if (it != objects_by_path_.end()) report(objects_.at(it->second));
  } else {
    for (const auto &[name, id] : objects_by_path_)
      if (!pattern || ubus_wire::pattern_matches(pattern, name.c_str())) report(objects_.at(id));
  }
  reply_status(c, m.seq, (path || pattern) && found == 0 ? UBUS_STATUS_NOT_FOUND : UBUS_STATUS_OK);
}

void Broker::add_object(ClientLink &c, const Message &m) {
  const char *path = m.str(ubus_wire::kAttrObjPath);
  if (!path) return reply_status(c, m.seq, UBUS_STATUS_INVALID_ARGUMENT);
  if (objects_by_path_.count(path))
    return reply_status(c, m.seq, UBUS_STATUS_INVALID_ARGUMENT);  // names are unique
  if (c.object_count >= kMaxObjects) return reply_status(c, m.seq, UBUS_STATUS_NO_MEMORY);
  const uint32_t id = new_id();
  objects_.emplace(id, ObjectEntry{id, c.id(), path, copy_attr(m.attr[ubus_wire::kAttrSignature])});
  objects_by_path_.emplace(path, id);
  ++c.object_count;
  Builder data;
  data.u32(ubus_wire::kAttrObjId, id);
  deliver(c, data.finish(UBUS_MSG_DATA, m.seq, 0));
  reply_status(c, m.seq, UBUS_STATUS_OK);
  publish_object("ubus.object.add", id, path);
}

void Broker::remove_object(ClientLink &c, const Message &m) {
  const auto it = objects_.find(m.u32(ubus_wire::kAttrObjId));
  if (it == objects_.end()) return reply_status(c, m.seq, UBUS_STATUS_NOT_FOUND);
  if (it->second.owner != c.id()) return reply_status(c, m.seq, UBUS_STATUS_PERMISSION_DENIED);
  const uint32_t id = it->first;
  const std::string path = it->second.path;
  objects_by_path_.erase(path);
  objects_.erase(it);
  --c.object_count;
  reply_status(c, m.seq, UBUS_STATUS_OK);
  publish_object("ubus.object.remove", id, path);
}

void Broker::invoke(ClientLink &c, const Message &m) {
  const char *method = m.str(ubus_wire::kAttrMethod);
  if (!m.attr[ubus_wire::kAttrObjId] || !method)
    return reply_status(c, m.seq, UBUS_STATUS_INVALID_ARGUMENT);
  const auto it = objects_.find(m.u32(ubus_wire::kAttrObjId));
  ClientLink *owner = it == objects_.end() ? nullptr : find_client(it->second.owner);
  if (!owner || owner->doomed) return reply_status(c, m.seq, UBUS_STATUS_NOT_FOUND);

  Builder call;
  call.u32(ubus_wire::kAttrObjId, it->first)
      .str(ubus_wire::kAttrMethod, method)
      .list(ubus_wire::kAttrData, m.list(ubus_wire::kAttrData));
  track_call(c, m.seq, owner->id());
  // If the owner cannot take it, it is dropped and the caller gets its status from reap().
  deliver(*owner, call.finish(UBUS_MSG_INVOKE, m.seq, c.id(), ubus_wire::kMaxForwarded));
}

void Broker::track_call(ClientLink &caller, uint16_t seq, uint32_t owner) {
  const CallKey key{caller.id(), seq};
  if (!calls_.count(key) && caller.pending_calls >= kMaxPendingCalls) {
    // The oldest call has long timed out at the caller: forget it.
    auto oldest = calls_.end();
    for (auto it = calls_.lower_bound({caller.id(), 0});
         it != calls_.end() && it->first.first == caller.id(); ++it)
      if (oldest == calls_.end() || it->second.serial < oldest->second.serial) oldest = it;
    if (oldest != calls_.end()) {
      calls_.erase(oldest);
      --caller.pending_calls;
    }
  }
  const auto [it, added] = calls_.insert_or_assign(key, PendingCall{owner, ++call_serial_});
  (void)it;
  if (added) ++caller.pending_calls;
}

// DATA and STATUS from an object's owner, for the caller named by peer and seq.
void Broker::forward_reply(ClientLink &c, const Message &m) {
  const auto it = calls_.find({m.peer, m.seq});
  if (it == calls_.end() || it->second.owner != c.id())
    return;  // late, or not this client's call to answer
  ClientLink *caller = find_client(m.peer);
  Builder reply;
  if (m.type == UBUS_MSG_DATA) {
    reply.u32(ubus_wire::kAttrObjId, m.u32(ubus_wire::kAttrObjId))
        .list(ubus_wire::kAttrData, m.list(ubus_wire::kAttrData));
  } else {
    reply.u32(ubus_wire::kAttrStatus, m.u32(ubus_wire::kAttrStatus, UBUS_STATUS_UNKNOWN_ERROR));
    calls_.erase(it);
    if (caller) --caller->pending_calls;
  }
  if (caller && !caller->doomed)
    deliver(*caller, reply.finish(m.type, m.seq, c.id(), ubus_wire::kMaxForwarded));
}

void Broker::add_listener(ClientLink &c, const Message &m) {
  const char *pattern = m.str(ubus_wire::kAttrPattern);
  if (!m.attr[ubus_wire::kAttrHandler] || !pattern)
    return reply_status(c, m.seq, UBUS_STATUS_INVALID_ARGUMENT);
  const uint32_t handler = m.u32(ubus_wire::kAttrHandler);
  const bool known = std::any_of(listeners_.begin(), listeners_.end(), [&](const Listener &l) {
    return l.client == c.id() && l.handler == handler && l.pattern == pattern;
  });
  if (!known) {
    if (c.listener_count >= kMaxListeners) return reply_status(c, m.seq, UBUS_STATUS_NO_MEMORY);
    listeners_.push_back({c.id(), handler, pattern});
    ++c.listener_count;
  }
  reply_status(c, m.seq, UBUS_STATUS_OK);
}

void Broker::remove_listener(ClientLink &c, const Message &m) {
  const uint32_t handler = m.u32(ubus_wire::kAttrHandler);
  const size_t before = listeners_.size();
  std::erase_if(listeners_,
                [&](const Listener &l) { return l.client == c.id() && l.handler == handler; });
  const size_t removed = before - listeners_.size();
  c.listener_count -= removed;
  reply_status(c, m.seq, removed ? UBUS_STATUS_OK : UBUS_STATUS_NOT_FOUND);
}

void Broker::send_event(ClientLink &c, const Message &m) {
  const char *event = m.str(ubus_wire::kAttrEvent);
  if (!event) return reply_status(c, m.seq, UBUS_STATUS_INVALID_ARGUMENT);
  publish(event, m.list(ubus_wire::kAttrData));
  if (!c.doomed) reply_status(c, m.seq, UBUS_STATUS_OK);
}

void Broker::publish(const char *event, const blob_attr *fields) {
  // One delivery per handler, however many of its patterns match.
  std::set<std::pair<uint32_t, uint32_t>> delivered;
  for (size_t i = 0; i < listeners_.size(); ++i) {
    const Listener l = listeners_[i];
    if (!ubus_wire::pattern_matches(l.pattern.c_str(), event) ||
        !delivered.insert({l.client, l.handler}).second)
      continue;
    ClientLink *target = find_client(l.client);
    if (!target || target->doomed) continue;
    Builder msg;
    msg.u32(ubus_wire::kAttrHandler, l.handler)
        .str(ubus_wire::kAttrEvent, event)
        .list(ubus_wire::kAttrData, fields);
    deliver(*target, msg.finish(UBUS_MSG_EVENT, 0, 0, ubus_wire::kMaxForwarded));
  }
}

void Broker::publish_object(const char *event, uint32_t id, const std::string &path) {
  ubus_wire::BlobBuf fields;
  blobmsg_add_u32(fields.get(), "id", id);
  blobmsg_add_string(fields.get(), "path", path.c_str());
  publish(event, fields.head());
}

void Broker::reply_status(ClientLink &c, uint16_t seq, int status, uint32_t peer) {
  Builder msg;
  msg.u32(ubus_wire::kAttrStatus, static_cast<uint32_t>(status));
  deliver(c, msg.finish(UBUS_MSG_STATUS, seq, peer));
}

void Broker::deliver(ClientLink &c, const std::vector<uint8_t> &bytes) {
  if (c.doomed) return;
  if (!c.send(bytes)) doom(c, "does not read its messages or its socket failed");
}

ClientLink *Broker::find_client(uint32_t id) {
  const auto it = clients_.find(id);
  return it == clients_.end() ? nullptr : it->second.get();
}

uint32_t Broker::new_id() {
  do ++next_id_;
  while (next_id_ == 0 || clients_.count(next_id_) || objects_.count(next_id_));
  return next_id_;
}

void Broker::doom(ClientLink &c, const char *why) {
  if (c.doomed) return;
  if (why) fprintf(stderr, "ubusd: dropping client %08x: %s\n", c.id(), why);
  c.doomed = true;
  doomed_.push_back(c.id());
}

// Removes dropped clients with everything they had. Callers waiting on them are told nothing, as
// by the router's daemon: they wait out their own timeout. Announcing removed objects may drop
// more clients.
void Broker::reap() {
  while (!doomed_.empty()) {
    const uint32_t id = doomed_.back();
    doomed_.pop_back();
    const auto link = clients_.find(id);
    if (link == clients_.end()) continue;
    const std::unique_ptr<ClientLink> gone = std::move(link->second);
    clients_.erase(link);

    std::erase_if(listeners_, [&](const Listener &l) { return l.client == id; });

    for (auto it = calls_.begin(); it != calls_.end();) {
      const uint32_t caller_id = it->first.first;
      if (caller_id != id && it->second.owner != id) {
        ++it;
        continue;
      }
      if (caller_id != id) {
        if (ClientLink *caller = find_client(caller_id)) --caller->pending_calls;
      }
      it = calls_.erase(it);
    }

    std::vector<std::pair<uint32_t, std::string>> removed;
    for (auto it = objects_.begin(); it != objects_.end();) {
      if (it->second.owner != id) {
        ++it;
        continue;
      }
      removed.emplace_back(it->first, it->second.path);
      objects_by_path_.erase(it->second.path);
      it = objects_.erase(it);
    }
    for (const auto &[obj, path] : removed) publish_object("ubus.object.remove", obj, path);
  }
}
