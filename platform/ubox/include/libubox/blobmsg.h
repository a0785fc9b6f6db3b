/* Named, typed message fields on top of blob attributes (tables, arrays, strings, integers,
 * doubles). A field is an extended attribute whose payload starts with a header holding the
 * name: 16-bit big-endian name length, the name, a NUL, padding to 4 bytes; the value follows. */
#ifndef LIBUBOX_BLOBMSG_H
#define LIBUBOX_BLOBMSG_H

#include <libubox/blob.h>

#define BLOBMSG_ALIGN 2
#define BLOBMSG_PADDING(len) (((len) + (1 << BLOBMSG_ALIGN) - 1) & ~((1 << BLOBMSG_ALIGN) - 1))

enum blobmsg_type {
  BLOBMSG_TYPE_UNSPEC,
  BLOBMSG_TYPE_ARRAY,
  BLOBMSG_TYPE_TABLE,
  BLOBMSG_TYPE_STRING,
  BLOBMSG_TYPE_INT64,
  BLOBMSG_TYPE_INT32,
  BLOBMSG_TYPE_INT16,
  BLOBMSG_TYPE_INT8,
  BLOBMSG_TYPE_DOUBLE,
  __BLOBMSG_TYPE_LAST,
  BLOBMSG_TYPE_LAST = __BLOBMSG_TYPE_LAST - 1,
  BLOBMSG_TYPE_BOOL = BLOBMSG_TYPE_INT8,
};

struct blobmsg_hdr {
  uint16_t namelen;
  uint8_t name[];
};

struct blobmsg_policy {
  const char *name;
  enum blobmsg_type type;
};

static inline unsigned int blobmsg_hdrlen(unsigned int namelen) {
  return BLOBMSG_PADDING((unsigned int)sizeof(struct blobmsg_hdr) + namelen + 1);
}

static inline unsigned int blobmsg_namelen(const struct blobmsg_hdr *hdr) {
  return be16toh(hdr->namelen);
}

static inline const char *blobmsg_name(const struct blob_attr *attr) {
  const struct blobmsg_hdr *hdr = (const struct blobmsg_hdr *)blob_data(attr);
  return (const char *)hdr->name;
}

static inline int blobmsg_type(const struct blob_attr *attr) { return (int)blob_id(attr); }

static inline void *blobmsg_data(const struct blob_attr *attr) {
  char *data = (char *)blob_data(attr);
  if (blob_is_extended(attr))
    data += blobmsg_hdrlen(blobmsg_namelen((const struct blobmsg_hdr *)data));
  return data;
}

static inline unsigned int blobmsg_data_len(const struct blob_attr *attr) {
  char *end = (char *)blob_data(attr) + blob_len(attr);
  char *data = (char *)blobmsg_data(attr);
  return data <= end ? (unsigned int)(end - data) : 0;
}

static inline unsigned int blobmsg_len(const struct blob_attr *attr) {
  return blobmsg_data_len(attr);
}

/* Checks one field against its own length: header, name, terminator, value size, and every
 * nested field. name: the field must carry a non-empty name. */
bool blobmsg_check_attr(const struct blob_attr *attr, bool name);
/* Checks every field inside a table or array (or plain container) attr; type other than
 * BLOBMSG_TYPE_UNSPEC requires that type of each. Returns the number of fields, -1 if invalid. */
int blobmsg_check_array(const struct blob_attr *attr, enum blobmsg_type type);

/* Fills tb[i] with the field named policy[i].name of type policy[i].type (UNSPEC: any type)
 * found in data. Every field is checked first; on malformed data all of tb is NULL and -1 is
 * returned. */
int blobmsg_parse(const struct blobmsg_policy *policy, int policy_len, struct blob_attr **tb,
                  void *data, unsigned int len);
/* Like blobmsg_parse, by position instead of by name. */
int blobmsg_parse_array(const struct blobmsg_policy *policy, int policy_len, struct blob_attr **tb,
                        void *data, unsigned int len);

int blobmsg_add_field(struct blob_buf *buf, int type, const char *name, const void *data,
                      unsigned int len);
void *blobmsg_open_nested(struct blob_buf *buf, const char *name, bool array);
void blobmsg_close_nested(struct blob_buf *buf, void *cookie);

static inline void *blobmsg_open_table(struct blob_buf *buf, const char *name) {
  return blobmsg_open_nested(buf, name, false);
}

static inline void *blobmsg_open_array(struct blob_buf *buf, const char *name) {
  return blobmsg_open_nested(buf, name, true);
}

static inline void blobmsg_close_table(struct blob_buf *buf, void *cookie) {
  blobmsg_close_nested(buf, cookie);
}

static inline void blobmsg_close_array(struct blob_buf *buf, void *cookie) {
  blobmsg_close_nested(buf, cookie);
}

static inline int blobmsg_add_string(struct blob_buf *buf, const char *name, const char *string) {
  if (!string) return -1;
  return blobmsg_add_field(buf, BLOBMSG_TYPE_STRING, name, string,
                           (unsigned int)strlen(string) + 1);
}

static inline int blobmsg_add_u8(struct blob_buf *buf, const char *name, uint8_t val) {
  return blobmsg_add_field(buf, BLOBMSG_TYPE_INT8, name, &val, 1);
}

static inline int blobmsg_add_u16(struct blob_buf *buf, const char *name, uint16_t val) {
  val = htobe16(val);
  return blobmsg_add_field(buf, BLOBMSG_TYPE_INT16, name, &val, 2);
}

static inline int blobmsg_add_u32(struct blob_buf *buf, const char *name, uint32_t val) {
  val = htobe32(val);
  return blobmsg_add_field(buf, BLOBMSG_TYPE_INT32, name, &val, 4);
}

static inline int blobmsg_add_u64(struct blob_buf *buf, const char *name, uint64_t val) {
  val = htobe64(val);
  return blobmsg_add_field(buf, BLOBMSG_TYPE_INT64, name, &val, 8);
}

static inline int blobmsg_add_double(struct blob_buf *buf, const char *name, double val) {
  uint64_t bits;
  memcpy(&bits, &val, sizeof(bits));
  bits = htobe64(bits);
  return blobmsg_add_field(buf, BLOBMSG_TYPE_DOUBLE, name, &bits, 8);
}

static inline int blobmsg_add_blob(struct blob_buf *buf, const struct blob_attr *attr) {
  return blob_put_raw(buf, attr, blob_raw_len(attr)) ? 0 : -1;
}

/* Value getters. A field too short for the requested type reads as 0 (NULL for strings). */
static inline char *blobmsg_get_string(struct blob_attr *attr) {
  return attr ? (char *)blobmsg_data(attr) : NULL;
}

static inline uint8_t blobmsg_get_u8(struct blob_attr *attr) {
  if (!attr || blobmsg_data_len(attr) < 1) return 0;
  return *(const uint8_t *)blobmsg_data(attr);
}

static inline bool blobmsg_get_bool(struct blob_attr *attr) { return blobmsg_get_u8(attr) != 0; }

static inline uint16_t blobmsg_get_u16(struct blob_attr *attr) {
  uint16_t v;
  if (!attr || blobmsg_data_len(attr) < sizeof(v)) return 0;
  memcpy(&v, blobmsg_data(attr), sizeof(v));
  return be16toh(v);
}

static inline uint32_t blobmsg_get_u32(struct blob_attr *attr) {
  uint32_t v;
  if (!attr || blobmsg_data_len(attr) < sizeof(v)) return 0;
  memcpy(&v, blobmsg_data(attr), sizeof(v));
  return be32toh(v);
}

static inline uint64_t blobmsg_get_u64(struct blob_attr *attr) {
  uint64_t v;
  if (!attr || blobmsg_data_len(attr) < sizeof(v)) return 0;
  memcpy(&v, blobmsg_data(attr), sizeof(v));
  return be64toh(v);
}

static inline double blobmsg_get_double(struct blob_attr *attr) {
  uint64_t bits = blobmsg_get_u64(attr);
  double v;
  memcpy(&v, &bits, sizeof(v));
  return v;
}

/* Walks the fields inside a table or array attr. */
#define blobmsg_for_each_attr(pos, attr, rem)                                               \
  for (rem = (attr) ? blobmsg_data_len(attr) : 0,                                           \
      pos = (struct blob_attr *)((attr) ? blobmsg_data(attr) : NULL);                       \
       (rem) > 0 && (size_t)(rem) >= sizeof(struct blob_attr) &&                            \
       blob_pad_len(pos) >= sizeof(struct blob_attr) && blob_pad_len(pos) <= (size_t)(rem); \
       rem -= blob_pad_len(pos), pos = blob_next(pos))


#endif
