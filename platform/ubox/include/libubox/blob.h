/* Typed, length-prefixed attributes in a growable buffer.
 *
 * Every attribute starts with a 32-bit big-endian word: bit 31 marks an extended (named, blobmsg)
 * attribute, bits 24..30 hold the id, bits 0..23 the length including this word. Attributes are
 * padded to 4 bytes; a container's length covers its padded children. Values are stored
 * big-endian so a buffer means the same on every host. */
#ifndef LIBUBOX_BLOB_H
#define LIBUBOX_BLOB_H

#include <endian.h>
#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <libubox/utils.h>

#define BLOB_ATTR_ID_MASK 0x7f000000u
#define BLOB_ATTR_ID_SHIFT 24
#define BLOB_ATTR_LEN_MASK 0x00ffffffu
#define BLOB_ATTR_ALIGN 4
#define BLOB_ATTR_EXTENDED 0x80000000u

struct blob_attr {
  uint32_t id_len;
  char data[];
};

struct blob_buf {
  struct blob_attr *head; /* innermost open container */
  bool (*grow)(struct blob_buf *buf, int minlen);
  int buflen; /* bytes allocated at buf */
  void *buf;
};

static inline void *blob_data(const struct blob_attr *attr) { return (void *)attr->data; }

static inline unsigned int blob_id(const struct blob_attr *attr) {
  return (be32toh(attr->id_len) & BLOB_ATTR_ID_MASK) >> BLOB_ATTR_ID_SHIFT;
}

static inline bool blob_is_extended(const struct blob_attr *attr) {
  return (be32toh(attr->id_len) & BLOB_ATTR_EXTENDED) != 0;
}

/* Length including the attribute's own header word. */
static inline unsigned int blob_raw_len(const struct blob_attr *attr) {
  return be32toh(attr->id_len) & BLOB_ATTR_LEN_MASK;
}

/* Length of the payload. */
static inline unsigned int blob_len(const struct blob_attr *attr) {
  unsigned int raw = blob_raw_len(attr);
  return raw >= sizeof(struct blob_attr) ? raw - (unsigned int)sizeof(struct blob_attr) : 0;
}

static inline unsigned int blob_pad_len(const struct blob_attr *attr) {
  return (blob_raw_len(attr) + BLOB_ATTR_ALIGN - 1) & ~(unsigned int)(BLOB_ATTR_ALIGN - 1);
}

static inline struct blob_attr *blob_next(const struct blob_attr *attr) {
  return (struct blob_attr *)((char *)attr + blob_pad_len(attr));
}

/* Reads of fixed-size values copy the bytes, so they are safe at any alignment. */
static inline uint8_t blob_get_u8(const struct blob_attr *attr) {
  return *(const uint8_t *)attr->data;
}

static inline uint16_t blob_get_u16(const struct blob_attr *attr) {
  uint16_t v;
  memcpy(&v, attr->data, sizeof(v));
  return be16toh(v);
}

static inline uint32_t blob_get_u32(const struct blob_attr *attr) {
  uint32_t v;
  memcpy(&v, attr->data, sizeof(v));
  return be32toh(v);
}

static inline uint64_t blob_get_u64(const struct blob_attr *attr) {
  uint64_t v;
  memcpy(&v, attr->data, sizeof(v));
  return be64toh(v);
}

static inline const char *blob_get_string(const struct blob_attr *attr) { return attr->data; }

int blob_buf_init(struct blob_buf *buf, int id);
void blob_buf_free(struct blob_buf *buf);
bool blob_buf_grow(struct blob_buf *buf, int required);

/* Appends an attribute with room for payload bytes (zeroed) to the open container. */
struct blob_attr *blob_new(struct blob_buf *buf, int id, int payload);
struct blob_attr *blob_put(struct blob_buf *buf, int id, const void *ptr, unsigned int len);
/* Appends bytes that already form whole attributes. */
struct blob_attr *blob_put_raw(struct blob_buf *buf, const void *ptr, unsigned int len);
/* Opens a container attribute; attributes added until blob_nest_end() go inside it. */
void *blob_nest_start(struct blob_buf *buf, int id);
void blob_nest_end(struct blob_buf *buf, void *cookie);
/* A malloc'd copy of one attribute (header and payload); NULL on failure. */
struct blob_attr *blob_memdup(const struct blob_attr *attr);

static inline struct blob_attr *blob_put_string(struct blob_buf *buf, int id, const char *str) {
  return str ? blob_put(buf, id, str, (unsigned int)strlen(str) + 1) : NULL;
}

static inline struct blob_attr *blob_put_u8(struct blob_buf *buf, int id, uint8_t val) {
  return blob_put(buf, id, &val, sizeof(val));
}

static inline struct blob_attr *blob_put_u16(struct blob_buf *buf, int id, uint16_t val) {
  val = htobe16(val);
  return blob_put(buf, id, &val, sizeof(val));
}

static inline struct blob_attr *blob_put_u32(struct blob_buf *buf, int id, uint32_t val) {
  val = htobe32(val);
  return blob_put(buf, id, &val, sizeof(val));
}

static inline struct blob_attr *blob_put_u64(struct blob_buf *buf, int id, uint64_t val) {
  val = htobe64(val);
  return blob_put(buf, id, &val, sizeof(val));
}

/* Walks the attributes in [attr, attr + rem); stops at the first one that does not fit. */
#define __blob_for_each_attr(pos, attr, rem)                                                \
  for (pos = (struct blob_attr *)(attr);                                                    \
       (rem) > 0 && (size_t)(rem) >= sizeof(struct blob_attr) &&                            \
       blob_pad_len(pos) >= sizeof(struct blob_attr) && blob_pad_len(pos) <= (size_t)(rem); \
       rem -= blob_pad_len(pos), pos = blob_next(pos))

/* Walks the children of container attr; rem holds the bytes left. */
#define blob_for_each_attr(pos, attr, rem)                                                  \
  for (rem = (attr) ? blob_len(attr) : 0,                                                   \
      pos = (struct blob_attr *)((attr) ? blob_data(attr) : NULL);                          \
       (rem) > 0 && (size_t)(rem) >= sizeof(struct blob_attr) &&                            \
       blob_pad_len(pos) >= sizeof(struct blob_attr) && blob_pad_len(pos) <= (size_t)(rem); \
       rem -= blob_pad_len(pos), pos = blob_next(pos))


#endif
