/* Conversion between blobmsg fields and JSON (json-c objects in, JSON text out). */
#ifndef LIBUBOX_BLOBMSG_JSON_H
#define LIBUBOX_BLOBMSG_JSON_H

#include <stdbool.h>

#include <libubox/blobmsg.h>

struct json_object;

/* Adds every member of a JSON object as a field of b. JSON null becomes a field of type
 * BLOBMSG_TYPE_UNSPEC without data, booleans BLOBMSG_TYPE_BOOL, integers INT32 when they fit,
 * otherwise INT64. */
bool blobmsg_add_object(struct blob_buf *b, struct json_object *obj);
bool blobmsg_add_json_element(struct blob_buf *b, const char *name, struct json_object *obj);
/* Parses str (json-c syntax, single quotes accepted); it must be a JSON object. */
bool blobmsg_add_json_from_string(struct blob_buf *b, const char *str);

/* Returns substitute text for attr, or NULL to format it normally. */
typedef const char *(*blobmsg_json_format_t)(void *priv, struct blob_attr *attr);

/* Formats attr as JSON text (malloc'd; the caller frees it). list: format the fields inside attr
 * as one JSON object (an array attr as a JSON array); otherwise the value of attr itself.
 * indent < 0: compact; otherwise one field per line, indented by tabs starting at that depth.
 * NULL when attr is NULL or malformed. */
char *blobmsg_format_json_with_cb(struct blob_attr *attr, bool list, blobmsg_json_format_t cb,
                                  void *priv, int indent);

static inline char *blobmsg_format_json(struct blob_attr *attr, bool list) {
  return blobmsg_format_json_with_cb(attr, list, NULL, NULL, -1);
}

static inline char *blobmsg_format_json_indent(struct blob_attr *attr, bool list, int indent) {
  return blobmsg_format_json_with_cb(attr, list, NULL, NULL, indent);
}


#endif
