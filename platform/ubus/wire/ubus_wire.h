// Bus wire format shared by the client library and the daemon.
//
// A message is a fixed header followed by a payload of `len` bytes: one blob container
// attribute whose children are the message's attributes (Attr). Attribute values are validated
// when the message is received, so handlers can read them without further checks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include <libubus.h>

namespace ubus_wire {

inline constexpr uint8_t kVersion = 1;

// Multi-byte fields are big-endian.
struct MsgHeader {
  uint8_t version;
  uint8_t type;   // enum ubus_msg_type
  uint16_t seq;   // chosen by whoever sends a request; its replies carry it back
  uint32_t peer;  // a client id: the caller of a forwarded call, the owner in its replies,
                  // the new client itself in HELLO
  uint32_t len;   // payload bytes after the header
};
static_assert(sizeof(MsgHeader) == 12);
static_assert(offsetof(MsgHeader, version) == 0);
static_assert(offsetof(MsgHeader, type) == 1);
static_assert(offsetof(MsgHeader, seq) == 2);
static_assert(offsetof(MsgHeader, peer) == 4);
static_assert(offsetof(MsgHeader, len) == 8);

enum Attr : unsigned {
  kAttrUnspec,
  kAttrStatus,     // u32
  kAttrObjPath,    // string: object name
  kAttrObjId,      // u32
  kAttrMethod,     // string
  kAttrSignature,  // blobmsg fields: method name -> table of argument name -> type
  kAttrData,       // blobmsg fields: the message of a call, reply or event
  kAttrEvent,      // string: event name
  kAttrPattern,    // string: event pattern or object name pattern
  kAttrHandler,    // u32: event handler id, chosen by the client
  kAttrMax
};

inline constexpr size_t kMaxPayload = UBUS_MAX_MSGLEN;
// What clients accept: the daemon adds a few attributes to what it forwards.
inline constexpr size_t kMaxForwarded = kMaxPayload + 1024;
// A claimed length beyond this is garbage, not a message to skip and refuse.
inline constexpr size_t kMaxSkippable = 16u << 20;
// Names of objects, methods and events.
inline constexpr size_t kMaxNameLen = 1024;

struct Message {
  uint8_t type = 0;
  uint16_t seq = 0;
  uint32_t peer = 0;
  std::vector<uint32_t> storage;  // the payload, 4-byte aligned
  const blob_attr *attr[kAttrMax] = {};

  uint32_t u32(Attr a, uint32_t fallback = 0) const;
  const char *str(Attr a) const;  // NULL when absent
  // The attribute as a container of blobmsg fields (for kAttrData, kAttrSignature); NULL when
  // absent.
  blob_attr *list(Attr a) const { return const_cast<blob_attr *>(attr[a]); }
};

// Owns a blob_buf.
class BlobBuf {
 public:
  BlobBuf() { blob_buf_init(&buf_, 0); }
  ~BlobBuf() { blob_buf_free(&buf_); }
  BlobBuf(const BlobBuf &) = delete;
  BlobBuf &operator=(const BlobBuf &) = delete;
  blob_buf *get() { return &buf_; }
  blob_attr *head() const { return buf_.head; }

 private:
  blob_buf buf_{};
};

// Builds one message.
class Builder {
 public:
  Builder &u32(Attr a, uint32_t v);
  Builder &str(Attr a, const char *s);
  // A container attribute holding the fields inside `fields` (a container or blobmsg table);
  // an empty one for NULL.
  Builder &list(Attr a, const blob_attr *fields);
  // Header and payload; empty when building failed or the payload is larger than max_payload.
  std::vector<uint8_t> finish(uint8_t type, uint16_t seq, uint32_t peer,
                              size_t max_payload = kMaxPayload);

 private:
  BlobBuf buf_;
  bool ok_ = buf_.head() != nullptr;
};

// Splits a byte stream into messages.
class Receiver {
 public:
  enum class Status {
    kNeedMore,  // no complete message buffered
    kMessage,   // `out` holds the next message
    kTooBig,    // a message over the limit is being skipped; `out` has its header fields only
    kGarbage,   // the stream is not bus messages; drop the connection
  };

  explicit Receiver(size_t max_payload) : max_payload_(max_payload) {}
  void append(const uint8_t *data, size_t len);
  Status next(Message &out);
  // Bytes held for a message not yet complete.
  size_t buffered() const { return buf_.size() - start_; }

 private:
  void compact();

  std::vector<uint8_t> buf_;
  size_t start_ = 0;
  size_t skip_ = 0;
  size_t max_payload_;
  bool broken_ = false;
};

// Event name patterns: exact, or a prefix followed by '*'.
bool pattern_matches(const char *pattern, const char *name);

}  // namespace ubus_wire
