#include "ubus_wire.h"

#include <cstring>

namespace ubus_wire {

namespace {

enum class Kind { kU32, kString, kFields };

Kind kind_of(unsigned id) {
  switch (id) {
    case kAttrStatus:
    case kAttrObjId:
    case kAttrHandler:
      return Kind::kU32;
    case kAttrSignature:
    case kAttrData:
      return Kind::kFields;
    default:
      return Kind::kString;
  }
}

bool valid_attr(const blob_attr *a) {
  if (blob_is_extended(a)) return false;
  const unsigned len = blob_len(a);
  const char *data = static_cast<const char *>(blob_data(a));
  switch (kind_of(blob_id(a))) {
    case Kind::kU32:
      return len == 4;
    case Kind::kString:
      // Non-empty, terminated, no embedded NUL, bounded.
      return len >= 2 && len <= kMaxNameLen + 1 && data[len - 1] == '\0' && strlen(data) == len - 1;
    case Kind::kFields:
      return blobmsg_check_array(a, BLOBMSG_TYPE_UNSPEC) >= 0;
  }
  return false;
}

// The payload is exactly one container attribute; each child fits and known ones are valid.
bool decode(Message &m, size_t len) {
  const auto *top = reinterpret_cast<const blob_attr *>(m.storage.data());
  if (blob_raw_len(top) != len || blob_is_extended(top)) return false;
  const char *pos = static_cast<const char *>(blob_data(top));
  size_t rem = blob_len(top);
  while (rem > 0) {
    if (rem < sizeof(blob_attr)) return false;
    const auto *a = reinterpret_cast<const blob_attr *>(pos);
    if (blob_raw_len(a) < sizeof(blob_attr) || blob_pad_len(a) > rem) return false;
    const unsigned id = blob_id(a);
    if (id > kAttrUnspec && id < kAttrMax) {
      if (!valid_attr(a)) return false;
      if (!m.attr[id]) m.attr[id] = a;
    }
    rem -= blob_pad_len(a);
    pos += blob_pad_len(a);
  }
  return true;
}

}  // namespace

uint32_t Message::u32(Attr a, uint32_t fallback) const {
  return attr[a] ? blob_get_u32(attr[a]) : fallback;
}

const char *Message::str(Attr a) const { return attr[a] ? blob_get_string(attr[a]) : nullptr; }

Builder &Builder::u32(Attr a, uint32_t v) {
  ok_ = ok_ && blob_put_u32(buf_.get(), a, v);
  return *this;
}

Builder &Builder::str(Attr a, const char *s) {
  // The receiver drops a connection that sends a name it cannot accept, so refuse it here.
  const size_t len = s ? strlen(s) : 0;
  ok_ = ok_ && len > 0 && len <= kMaxNameLen && blob_put_string(buf_.get(), a, s);
  return *this;
}

Builder &Builder::list(Attr a, const blob_attr *fields) {
  if (!ok_) return *this;
  if (fields && blobmsg_check_array(fields, BLOBMSG_TYPE_UNSPEC) < 0) {
    ok_ = false;  // malformed fields would get the connection dropped
    return *this;
  }
  void *cookie = blob_nest_start(buf_.get(), a);
  if (!cookie) {
    ok_ = false;
    return *this;
  }
  if (fields && blobmsg_data_len(fields) > 0)
    ok_ = blob_put_raw(buf_.get(), blobmsg_data(fields), blobmsg_data_len(fields)) != nullptr;
  blob_nest_end(buf_.get(), cookie);
  return *this;
}

std::vector<uint8_t> Builder::finish(uint8_t type, uint16_t seq, uint32_t peer,
                                     size_t max_payload) {
  if (!ok_) return {};
  const blob_attr *top = buf_.head();
  const size_t len = blob_pad_len(top);
  if (len > max_payload) return {};
  MsgHeader h{kVersion, type, htobe16(seq), htobe32(peer), htobe32(static_cast<uint32_t>(len))};
  std::vector<uint8_t> out(sizeof(h) + len);
  memcpy(out.data(), &h, sizeof(h));
  memcpy(out.data() + sizeof(h), top, len);
  return out;
}

void Receiver::append(const uint8_t *data, size_t len) {
  if (skip_ > 0) {
    const size_t n = len < skip_ ? len : skip_;
    skip_ -= n;
    data += n;
    len -= n;
  }
  buf_.insert(buf_.end(), data, data + len);
}

void Receiver::compact() {
  if (start_ == buf_.size()) {
    buf_.clear();
    start_ = 0;
  } else if (start_ >= 65536) {
    buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(start_));
    start_ = 0;
  }
}

Receiver::Status Receiver::next(Message &out) {
  if (broken_) return Status::kGarbage;
  if (skip_ > 0) {
    const size_t n = buffered() < skip_ ? buffered() : skip_;
    start_ += n;
    skip_ -= n;
    compact();
    if (skip_ > 0) return Status::kNeedMore;
  }
  if (buffered() < sizeof(MsgHeader)) {
    compact();
    return Status::kNeedMore;
  }
  MsgHeader h;
  memcpy(&h, buf_.data() + start_, sizeof(h));
  const size_t len = be32toh(h.len);
  if (h.version != kVersion || h.type >= __UBUS_MSG_LAST || len % BLOB_ATTR_ALIGN != 0 ||
      len < sizeof(blob_attr) || len > kMaxSkippable) {
    broken_ = true;
    return Status::kGarbage;
  }
  out = Message{};
  out.type = h.type;
  out.seq = be16toh(h.seq);
  out.peer = be32toh(h.peer);
  if (len > max_payload_) {
    // Too big to take, but well-formed so far: skip its bytes and let the caller refuse it.
    start_ += sizeof(h);
    skip_ = len;
    const size_t n = buffered() < skip_ ? buffered() : skip_;
    start_ += n;
    skip_ -= n;
    compact();
    return Status::kTooBig;
  }
  if (buffered() < sizeof(h) + len) return Status::kNeedMore;
  out.storage.resize(len / sizeof(uint32_t));
  memcpy(out.storage.data(), buf_.data() + start_ + sizeof(h), len);
  start_ += sizeof(h) + len;
  compact();
  if (!decode(out, len)) {
    broken_ = true;
    return Status::kGarbage;
  }
  return Status::kMessage;
}

bool pattern_matches(const char *pattern, const char *name) {
  const size_t plen = strlen(pattern);
  if (plen > 0 && pattern[plen - 1] == '*') return strncmp(pattern, name, plen - 1) == 0;
  return strcmp(pattern, name) == 0;
}

}  // namespace ubus_wire
