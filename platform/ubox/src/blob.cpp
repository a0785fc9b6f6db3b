// Growable attribute buffer. The open container (buf->head) is always the last attribute in the
// buffer, so new attributes go at its end; positions are kept as offsets because growing moves the
// memory.
extern "C" {
#include <libubox/blob.h>
}

#include <cstdlib>
#include <cstring>

#include "blob_internal.h"

namespace {

constexpr int kInitialSize = 256;

bool default_grow(blob_buf *buf, int minlen) {
  if (minlen <= 0) return true;
  const long long want = static_cast<long long>(buf->buflen) + minlen;
  if (want > static_cast<long long>(BLOB_ATTR_LEN_MASK) + 1) return false;
  long long size = buf->buflen > 0 ? static_cast<long long>(buf->buflen) * 2 : kInitialSize;
  while (size < want) size *= 2;
  if (size > static_cast<long long>(BLOB_ATTR_LEN_MASK) + 1)
    size = static_cast<long long>(BLOB_ATTR_LEN_MASK) + 1;
  void *grown = realloc(buf->buf, static_cast<size_t>(size));
  if (!grown) return false;
  buf->buf = grown;
  buf->buflen = static_cast<int>(size);
  return true;
}

char *base(const blob_buf *buf) { return static_cast<char *>(buf->buf); }

unsigned int head_offset(const blob_buf *buf) {
  return static_cast<unsigned int>(reinterpret_cast<char *>(buf->head) - base(buf));
}

// Offset just past the open container: where the next attribute goes.
unsigned int end_offset(const blob_buf *buf) { return head_offset(buf) + blob_pad_len(buf->head); }

// Makes room for `bytes` more at the end; keeps head valid across a move.
bool reserve(blob_buf *buf, unsigned int bytes) {
  const unsigned long long needed = static_cast<unsigned long long>(end_offset(buf)) + bytes;
  if (needed > BLOB_ATTR_LEN_MASK) return false;
  if (needed <= static_cast<unsigned long long>(buf->buflen)) return true;
  const unsigned int head = head_offset(buf);
  const int missing = static_cast<int>(needed - static_cast<unsigned long long>(buf->buflen));
  if (!buf->grow(buf, missing) || static_cast<unsigned long long>(buf->buflen) < needed)
    return false;
  buf->head = reinterpret_cast<blob_attr *>(base(buf) + head);
  return true;
}

}  // namespace

namespace ubox_detail {

void set_raw_len(blob_attr *attr, unsigned int len) {
  const uint32_t keep = be32toh(attr->id_len) & ~BLOB_ATTR_LEN_MASK;
  attr->id_len = htobe32(keep | (len & BLOB_ATTR_LEN_MASK));
}

void init_attr(blob_attr *attr, unsigned int id, unsigned int raw_len, bool extended) {
  uint32_t v = ((id << BLOB_ATTR_ID_SHIFT) & BLOB_ATTR_ID_MASK) | (raw_len & BLOB_ATTR_LEN_MASK);
  if (extended) v |= BLOB_ATTR_EXTENDED;
  attr->id_len = htobe32(v);
}

blob_attr *append(blob_buf *buf, unsigned int id, unsigned int payload, bool extended) {
  if (!buf->head || payload > BLOB_ATTR_LEN_MASK) return nullptr;
  const unsigned int raw = static_cast<unsigned int>(sizeof(blob_attr)) + payload;
  const unsigned int padded =
      (raw + BLOB_ATTR_ALIGN - 1) & ~static_cast<unsigned int>(BLOB_ATTR_ALIGN - 1);
  if (!reserve(buf, padded)) return nullptr;
  auto *attr = reinterpret_cast<blob_attr *>(base(buf) + end_offset(buf));
  memset(attr, 0, padded);
  init_attr(attr, id, raw, extended);
  set_raw_len(buf->head, blob_raw_len(buf->head) + padded);
  return attr;
}

void drop_last(blob_buf *buf, blob_attr *attr) {
  set_raw_len(buf->head, blob_raw_len(buf->head) - blob_pad_len(attr));
}

void *nest_start(blob_buf *buf, unsigned int id, bool extended, unsigned int payload) {
  if (!buf->head) return nullptr;
  const unsigned int parent = head_offset(buf);
  blob_attr *attr = append(buf, id, payload, extended);
  if (!attr) return nullptr;
  buf->head = attr;
  // Offset + 1 so that the root (offset 0) still gives a non-NULL cookie.
  return reinterpret_cast<void *>(static_cast<uintptr_t>(parent) + 1);
}

void nest_end(blob_buf *buf, void *cookie) {
  if (!cookie || !buf->head) return;
  const uintptr_t parent = reinterpret_cast<uintptr_t>(cookie) - 1;
  if (parent >= head_offset(buf)) return;  // not an enclosing container of the open one
  auto *outer = reinterpret_cast<blob_attr *>(base(buf) + parent);
  set_raw_len(outer, end_offset(buf) - static_cast<unsigned int>(parent));
  buf->head = outer;
}

}  // namespace ubox_detail

bool blob_buf_grow(struct blob_buf *buf, int required) {
  if (!buf->grow) buf->grow = default_grow;
  const unsigned int head = buf->head ? head_offset(buf) : 0;
  if (!buf->grow(buf, required)) return false;
  if (buf->head) buf->head = reinterpret_cast<blob_attr *>(base(buf) + head);
  return true;
}

int blob_buf_init(struct blob_buf *buf, int id) {
  if (!buf->grow) buf->grow = default_grow;
  buf->head = nullptr;
  if ((!buf->buf || buf->buflen < static_cast<int>(sizeof(blob_attr))) &&
      !buf->grow(buf, kInitialSize - buf->buflen))
    return -1;
  buf->head = static_cast<blob_attr *>(buf->buf);
  ubox_detail::init_attr(buf->head, static_cast<unsigned int>(id), sizeof(blob_attr), false);
  return 0;
}

void blob_buf_free(struct blob_buf *buf) {
  free(buf->buf);
  buf->buf = nullptr;
  buf->head = nullptr;
  buf->buflen = 0;
}

struct blob_attr *blob_new(struct blob_buf *buf, int id, int payload) {
  if (payload < 0) return nullptr;
  return ubox_detail::append(buf, static_cast<unsigned int>(id), static_cast<unsigned int>(payload),
                             false);
}

struct blob_attr *blob_put(struct blob_buf *buf, int id, const void *ptr, unsigned int len) {
  blob_attr *attr = ubox_detail::append(buf, static_cast<unsigned int>(id), len, false);
  if (attr && len) memcpy(blob_data(attr), ptr, len);
  return attr;
}

struct blob_attr *blob_put_raw(struct blob_buf *buf, const void *ptr, unsigned int len) {
  if (!buf->head || !ptr || len == 0 || len > BLOB_ATTR_LEN_MASK) return nullptr;
  const unsigned int padded =
      (len + BLOB_ATTR_ALIGN - 1) & ~static_cast<unsigned int>(BLOB_ATTR_ALIGN - 1);
  if (!reserve(buf, padded)) return nullptr;
  auto *dst = base(buf) + end_offset(buf);
  memset(dst, 0, padded);
  memcpy(dst, ptr, len);
  ubox_detail::set_raw_len(buf->head, blob_raw_len(buf->head) + padded);
  return reinterpret_cast<blob_attr *>(dst);
}

void *blob_nest_start(struct blob_buf *buf, int id) {
  return ubox_detail::nest_start(buf, static_cast<unsigned int>(id), false, 0);
}

void blob_nest_end(struct blob_buf *buf, void *cookie) { ubox_detail::nest_end(buf, cookie); }

struct blob_attr *blob_memdup(const struct blob_attr *attr) {
  const unsigned int len = blob_raw_len(attr);
  if (len < sizeof(blob_attr)) return nullptr;
  auto *copy = static_cast<blob_attr *>(malloc(len));
  if (copy) memcpy(copy, attr, len);
  return copy;
}
