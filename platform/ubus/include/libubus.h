/* Client of the router's message bus: objects with methods, synchronous calls, events.
 *
 * A context is one connection to the bus daemon. Calls made through it are synchronous; while a
 * call waits, calls to this connection's own objects and its events are still served. A context
 * is used from one thread at a time. */
#ifndef LIBUBUS_H
#define LIBUBUS_H

#include <stdbool.h>
#include <stdint.h>

/* Like the router's own header, this one gives the message buffer and event loop headers it
 * includes C linkage itself. */
#ifdef __cplusplus
extern "C" {
#endif

#include <libubox/blobmsg.h>
#include <libubox/list.h>
#include <libubox/uloop.h>
#include <libubox/utils.h>

#define UBUS_UNIX_SOCKET "/var/run/ubus/ubus.sock"

enum ubus_msg_status {
  UBUS_STATUS_OK,
  UBUS_STATUS_INVALID_COMMAND,
  UBUS_STATUS_INVALID_ARGUMENT,
  UBUS_STATUS_METHOD_NOT_FOUND,
  UBUS_STATUS_NOT_FOUND,
  UBUS_STATUS_NO_DATA,
  UBUS_STATUS_PERMISSION_DENIED,
  UBUS_STATUS_TIMEOUT,
  UBUS_STATUS_NOT_SUPPORTED,
  UBUS_STATUS_UNKNOWN_ERROR,
  UBUS_STATUS_CONNECTION_FAILED,
  UBUS_STATUS_NO_MEMORY,
  UBUS_STATUS_PARSE_ERROR,
  UBUS_STATUS_SYSTEM_ERROR,
  __UBUS_STATUS_LAST
};

/* Kinds of bus message; a reply handler sees UBUS_MSG_DATA. */
enum ubus_msg_type {
  UBUS_MSG_HELLO,
  UBUS_MSG_STATUS,
  UBUS_MSG_DATA,
  UBUS_MSG_LOOKUP,
  UBUS_MSG_INVOKE,
  UBUS_MSG_ADD_OBJECT,
  UBUS_MSG_REMOVE_OBJECT,
  UBUS_MSG_ADD_LISTENER,
  UBUS_MSG_REMOVE_LISTENER,
  UBUS_MSG_SEND_EVENT,
  UBUS_MSG_EVENT,
  __UBUS_MSG_LAST
};

/* Largest message the bus carries (header excluded), the router build's setting. The library
 * refuses to send a larger one (UBUS_STATUS_INVALID_ARGUMENT); the daemon drops a client that
 * sends one. */
#define UBUS_MAX_MSGLEN 1048576

struct ubus_context_state;

struct ubus_context {
  struct uloop_fd sock;
  uint32_t local_id;
  uint16_t request_seq;
  /* Called from the event loop when the daemon goes away; NULL: the loop is ended. */
  void (*connection_lost)(struct ubus_context *ctx);
  struct ubus_context_state *state;
};

struct ubus_request;
typedef void (*ubus_data_handler_t)(struct ubus_request *req, int type, struct blob_attr *msg);

struct ubus_request {
  struct ubus_context *ctx;
  ubus_data_handler_t data_cb;
  void *priv;
  uint32_t peer;
  uint16_t seq;
  int status_code;
};

struct ubus_request_data {
  uint32_t object;
  uint32_t peer;
  uint16_t seq;
};

struct ubus_object;
typedef int (*ubus_handler_t)(struct ubus_context *ctx, struct ubus_object *obj,
                              struct ubus_request_data *req, const char *method,
                              struct blob_attr *msg);

struct ubus_method {
  const char *name;
  ubus_handler_t handler;
  unsigned long mask;
  unsigned long tags;
  const struct blobmsg_policy *policy;
  int n_policy;
};

struct ubus_object_type {
  const char *name;
  uint32_t id;
  const struct ubus_method *methods;
  int n_methods;
};

struct ubus_object {
  const char *name;
  uint32_t id;
  const char *path;
  struct ubus_object_type *type;
  const struct ubus_method *methods; /* NULL: those of type */
  int n_methods;
};

struct ubus_event_handler;
typedef void (*ubus_event_handler_t)(struct ubus_context *ctx, struct ubus_event_handler *ev,
                                     const char *type, struct blob_attr *msg);

struct ubus_event_handler {
  struct ubus_object obj;
  ubus_event_handler_t cb;
};

/* One object as a lookup reports it; signature: table of methods, each a table of argument
 * name -> blobmsg type (int32). */
struct ubus_object_data {
  uint32_t id;
  uint32_t type_id;
  const char *path;
  struct blob_attr *signature;
};
typedef void (*ubus_lookup_handler_t)(struct ubus_context *ctx, struct ubus_object_data *obj,
                                      void *priv);

#define UBUS_METHOD(_name, _handler, _policy)                                    \
  {                                                                              \
    .name = _name, .handler = _handler, .mask = 0, .tags = 0, .policy = _policy, \
    .n_policy = (int)ARRAY_SIZE(_policy)                                         \
  }

#define UBUS_METHOD_NOARG(_name, _handler) \
  { .name = _name, .handler = _handler, .mask = 0, .tags = 0, .policy = NULL, .n_policy = 0 }

#define UBUS_OBJECT_TYPE(_name, _methods) \
  { .name = _name, .id = 0, .methods = _methods, .n_methods = (int)ARRAY_SIZE(_methods) }

/* NULL path: UBUS_UNIX_SOCKET. NULL when the daemon cannot be reached. */
struct ubus_context *ubus_connect(const char *path);
void ubus_free(struct ubus_context *ctx);
/* Serves incoming calls and events from uloop_run(); needs uloop_init() first. */
void ubus_add_uloop(struct ubus_context *ctx);

int ubus_lookup_id(struct ubus_context *ctx, const char *path, uint32_t *id);
/* Reports every object (path NULL), the one named path, or those whose name starts with the text
 * before a trailing '*'. */
int ubus_lookup(struct ubus_context *ctx, const char *path, ubus_lookup_handler_t cb, void *priv);

/* Synchronous call: cb runs for each reply before this returns. The result is the status the
 * method's handler returned, UBUS_STATUS_TIMEOUT after timeout_ms (<= 0: no limit),
 * UBUS_STATUS_NOT_FOUND, UBUS_STATUS_METHOD_NOT_FOUND, or UBUS_STATUS_CONNECTION_FAILED when the
 * object's owner or the daemon goes away. fd must be -1: passing descriptors is not supported. */
int ubus_invoke_fd(struct ubus_context *ctx, uint32_t obj, const char *method,
                   struct blob_attr *msg, ubus_data_handler_t cb, void *priv, int timeout_ms,
                   int fd);
int ubus_invoke(struct ubus_context *ctx, uint32_t obj, const char *method, struct blob_attr *msg,
                ubus_data_handler_t cb, void *priv, int timeout_ms);

int ubus_add_object(struct ubus_context *ctx, struct ubus_object *obj);
int ubus_remove_object(struct ubus_context *ctx, struct ubus_object *obj);
/* From inside a method handler, before it returns: sends one reply message to the caller. */
int ubus_send_reply(struct ubus_context *ctx, struct ubus_request_data *req, struct blob_attr *msg);

/* pattern: an event name, or a prefix followed by '*'. One handler may take several patterns. */
int ubus_register_event_handler(struct ubus_context *ctx, struct ubus_event_handler *ev,
                                const char *pattern);
int ubus_unregister_event_handler(struct ubus_context *ctx, struct ubus_event_handler *ev);
int ubus_send_event(struct ubus_context *ctx, const char *id, struct blob_attr *data);

const char *ubus_strerror(int error);

#ifdef __cplusplus
}
#endif

#endif
