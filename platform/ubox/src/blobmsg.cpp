// blobmsg fields: writing, checking and parsing. Every check works only from the bytes it was
// given (a field's own length, a list's length), so malformed input can never lead a reader past
// its buffer.
extern "C" {
#include <libubox/blobmsg.h>
}

#include <cstdint>
#include <cstring>

#include "blob_internal.h"

namespace {

// Deeper nesting is refused; it also bounds the recursion of the checks.
constexpr int kMaxDepth = 64;

bool aligned(const void *p) {
  return (reinterpret_cast<uintptr_t>(p) & (BLOB_ATTR_ALIGN - 1)) == 0;
}

bool check_field(const blob_attr *attr, bool name_required, int depth);

// The fields in [data, data + len) are all valid, padded, and fill the range exactly.
bool check_list(const char *data, unsigned int len, int depth, int *count) {
  unsigned int rem = len;
  const char *pos = data;
  int n = 0;
  while (rem > 0) {
    if (rem < sizeof(blob_attr)) return false;
    const auto *attr = reinterpret_cast<const blob_attr *>(pos);
    const unsigned int raw = blob_raw_len(attr);
    if (raw < sizeof(blob_attr) || raw > rem || blob_pad_len(attr) > rem) return false;
    if (!check_field(attr, false, depth)) return false;
    rem -= blob_pad_len(attr);
    pos += blob_pad_len(attr);
    ++n;
  }
  if (count) *count = n;
  return true;
}

bool check_value(int type, const char *data, unsigned int len, int depth) {
  switch (type) {
    case BLOBMSG_TYPE_UNSPEC:
      return true;
    case BLOBMSG_TYPE_STRING:
      return len >= 1 && data[len - 1] == '\0';
    case BLOBMSG_TYPE_INT8:
      return len == 1;
    case BLOBMSG_TYPE_INT16:
      return len == 2;
    case BLOBMSG_TYPE_INT32:
      return len == 4;
    case BLOBMSG_TYPE_INT64:
    case BLOBMSG_TYPE_DOUBLE:
      return len == 8;
    case BLOBMSG_TYPE_TABLE:
    case BLOBMSG_TYPE_ARRAY:
      return check_list(data, len, depth + 1, nullptr);
    default:
      return false;
  }
}

bool check_field(const blob_attr *attr, bool name_required, int depth) {
  if (depth > kMaxDepth || blob_raw_len(attr) < sizeof(blob_attr) || !blob_is_extended(attr))
    return false;
  const unsigned int len = blob_len(attr);
  if (len < sizeof(blobmsg_hdr)) return false;
  const auto *hdr = static_cast<const blobmsg_hdr *>(blob_data(attr));
  const unsigned int namelen = blobmsg_namelen(hdr);
  const unsigned int hdrlen = blobmsg_hdrlen(namelen);
  if (hdrlen > len || hdr->name[namelen] != '\0') return false;
  if (name_required && namelen == 0) return false;
  const char *value = static_cast<const char *>(blob_data(attr)) + hdrlen;
  return check_value(blobmsg_type(attr), value, len - hdrlen, depth);
}

bool type_matches(const blobmsg_policy &p, const blob_attr *attr) {
  return p.type == BLOBMSG_TYPE_UNSPEC || blobmsg_type(attr) == p.type;
}

// Checks the whole list first, then calls take(attr) for each field in order.
template <typename Take>
int parse_list(void *data, unsigned int len, Take take) {
  if (len == 0) return 0;
  if (!data || !aligned(data) || !check_list(static_cast<const char *>(data), len, 0, nullptr))
    return -1;
  auto *pos = static_cast<blob_attr *>(data);
  unsigned int rem = len;
  __blob_for_each_attr(pos, data, rem) {
    if (!take(pos)) break;
  }
  return 0;
}

}  // namespace

bool blobmsg_check_attr(const struct blob_attr *attr, bool name) {
  return attr && aligned(attr) && check_field(attr, name, 0);
}

int blobmsg_check_array(const struct blob_attr *attr, enum blobmsg_type type) {
  if (!attr || !aligned(attr)) return -1;
  if (blob_is_extended(attr) && !check_field(attr, false, 0)) return -1;
  int count = 0;
  if (!check_list(static_cast<const char *>(blobmsg_data(attr)), blobmsg_data_len(attr), 0, &count))
    return -1;
  if (type != BLOBMSG_TYPE_UNSPEC) {
    blob_attr *pos;
    unsigned int rem;
    blobmsg_for_each_attr(pos, attr, rem) {
      if (blobmsg_type(pos) != type) return -1;
    }
  }
  return count;
}

int blobmsg_parse(const struct blobmsg_policy *policy, int policy_len, struct blob_attr **tb,
                  void *data, unsigned int len) {
  if (policy_len <= 0) return 0;
  memset(tb, 0, static_cast<size_t>(policy_len) * sizeof(*tb));
  const int rc = parse_list(data, len, [&](blob_attr *attr) {
    const char *name = blobmsg_name(attr);
    for (int i = 0; i < policy_len; ++i) {
      if (tb[i] || !policy[i].name || strcmp(policy[i].name, name) != 0) continue;
      if (type_matches(policy[i], attr)) tb[i] = attr;
    }
    return true;
  });
  if (rc < 0) memset(tb, 0, static_cast<size_t>(policy_len) * sizeof(*tb));
  return rc;
}

int blobmsg_parse_array(const struct blobmsg_policy *policy, int policy_len, struct blob_attr **tb,
                        void *data, unsigned int len) {
  if (policy_len <= 0) return 0;
  memset(tb, 0, static_cast<size_t>(policy_len) * sizeof(*tb));
  int i = 0;
  const int rc = parse_list(data, len, [&](blob_attr *attr) {
    if (type_matches(policy[i], attr)) tb[i] = attr;
    return ++i < policy_len;
  });
  if (rc < 0) memset(tb, 0, static_cast<size_t>(policy_len) * sizeof(*tb));
  return rc;
}

int blobmsg_add_field(struct blob_buf *buf, int type, const char *name, const void *data,
                      unsigned int len) {
  if (type < BLOBMSG_TYPE_UNSPEC || type > BLOBMSG_TYPE_LAST || (len && !data)) return -1;
  if (!name) name = "";
  const size_t namelen = strlen(name);
  if (namelen > UINT16_MAX) return -1;
  const unsigned int hdrlen = blobmsg_hdrlen(static_cast<unsigned int>(namelen));
  if (len > BLOB_ATTR_LEN_MASK - hdrlen) return -1;
  blob_attr *attr = ubox_detail::append(buf, static_cast<unsigned int>(type), hdrlen + len, true);
  if (!attr) return -1;
  auto *hdr = static_cast<blobmsg_hdr *>(blob_data(attr));
  hdr->namelen = htobe16(static_cast<uint16_t>(namelen));
  memcpy(hdr->name, name, namelen);
  if (len) memcpy(static_cast<char *>(blob_data(attr)) + hdrlen, data, len);
  // A value that does not fit its type (a string without terminator, an integer of the wrong
  // size, a broken nested list) would make the whole message unreadable: refuse it here.
  if (!check_field(attr, false, 0)) {
    ubox_detail::drop_last(buf, attr);
    return -1;
  }
  return 0;
}

void *blobmsg_open_nested(struct blob_buf *buf, const char *name, bool array) {
  if (!name) name = "";
  const size_t namelen = strlen(name);
  if (namelen > UINT16_MAX) return nullptr;
  const unsigned int hdrlen = blobmsg_hdrlen(static_cast<unsigned int>(namelen));
  void *cookie =
      ubox_detail::nest_start(buf, array ? BLOBMSG_TYPE_ARRAY : BLOBMSG_TYPE_TABLE, true, hdrlen);
  if (!cookie) return nullptr;
  auto *hdr = static_cast<blobmsg_hdr *>(blob_data(buf->head));
  hdr->namelen = htobe16(static_cast<uint16_t>(namelen));
  memcpy(hdr->name, name, namelen);
  return cookie;
}

void blobmsg_close_nested(struct blob_buf *buf, void *cookie) {
  ubox_detail::nest_end(buf, cookie);
}
