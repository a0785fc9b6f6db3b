#include "commands.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>

extern "C" {
#include <libubox/blobmsg_json.h>
}

namespace {

// Owns a blob_buf.
struct Message {
  Message() { blob_buf_init(&buf, 0); }
  ~Message() { blob_buf_free(&buf); }
  Message(const Message &) = delete;
  Message &operator=(const Message &) = delete;
  blob_buf buf{};
};

struct FreeText {
  void operator()(char *p) const { free(p); }
};
using Text = std::unique_ptr<char, FreeText>;

int failed(int status) {
  fprintf(stderr, "Command failed: %s\n", ubus_strerror(status));
  return status;
}

int usage(const char *what) {
  fprintf(stderr, "Usage: ubus %s\n", what);
  return 1;
}

// The optional JSON argument of call and send: an object (json-c syntax, single quotes too).
bool parse_message(Message &msg, int argc, char **argv, int index) {
  if (argc <= index) return true;
  if (blobmsg_add_json_from_string(&msg.buf, argv[index])) return true;
  fprintf(stderr, "Failed to parse message data\n");
  return false;
}

const char *type_name(uint32_t type) {
  switch (type) {
    case BLOBMSG_TYPE_ARRAY:
      return "Array";
    case BLOBMSG_TYPE_TABLE:
      return "Table";
    case BLOBMSG_TYPE_STRING:
      return "String";
    case BLOBMSG_TYPE_INT64:
    case BLOBMSG_TYPE_INT32:
    case BLOBMSG_TYPE_INT16:
      return "Integer";
    case BLOBMSG_TYPE_BOOL:
      return "Boolean";
    case BLOBMSG_TYPE_DOUBLE:
      return "Double";
    default:
      return "(unknown)";
  }
}

void print_object(ubus_context *, ubus_object_data *obj, void *priv) {
  if (!*static_cast<bool *>(priv)) {
    printf("%s\n", obj->path);
    return;
  }
  printf("'%s' @%08x\n", obj->path, obj->id);
  blob_attr *method;
  unsigned int rem;
  blob_for_each_attr(method, obj->signature, rem) {
    printf("\t\"%s\":{", blobmsg_name(method));
    blob_attr *arg;
    unsigned int arg_rem;
    bool first = true;
    blobmsg_for_each_attr(arg, method, arg_rem) {
      printf("%s\"%s\":\"%s\"", first ? "" : ",", blobmsg_name(arg),
             type_name(blobmsg_get_u32(arg)));
      first = false;
    }
    printf("}\n");
  }
}

void print_reply(ubus_request *, int, blob_attr *msg) {
  Text text(blobmsg_format_json_indent(msg, true, 0));
  if (text) printf("%s\n", text.get());
}

void print_event(ubus_context *, ubus_event_handler *, const char *type, blob_attr *msg) {
  Text text(blobmsg_format_json(msg, true));
  printf("{ \"%s\": %s }\n", type, text ? text.get() : "null");
  fflush(stdout);
}

bool g_connection_lost = false;

void on_connection_lost(ubus_context *) {
  g_connection_lost = true;
  uloop_end();
}

// Objects wait_for still waits for; the loop ends when it is empty.
std::set<std::string> g_missing;

void on_object_added(ubus_context *, ubus_event_handler *, const char *, blob_attr *msg) {
  static const blobmsg_policy policy[] = {{"path", BLOBMSG_TYPE_STRING}};
  blob_attr *tb[1];
  blobmsg_parse(policy, 1, tb, blob_data(msg), blob_len(msg));
  if (tb[0]) g_missing.erase(blobmsg_get_string(tb[0]));
  if (g_missing.empty()) uloop_end();
}

}  // namespace

int cmd_list(ubus_context *ctx, const CliOptions &, int argc, char **argv) {
  bool verbose = false;
  const char *path = nullptr;
  for (int i = 0; i < argc; ++i) {
    if (strcmp(argv[i], "-v") == 0)
      verbose = true;
    else if (!path)
      path = argv[i];
    else
      return usage("list [-v] [<path>]");
  }
  const int rc = ubus_lookup(ctx, path, print_object, &verbose);
  return rc == UBUS_STATUS_OK ? 0 : failed(rc);
}

int cmd_call(ubus_context *ctx, const CliOptions &opt, int argc, char **argv) {
  if (argc < 2 || argc > 3) return usage("call <path> <method> [<message>]");
  Message msg;
  if (!parse_message(msg, argc, argv, 2)) return UBUS_STATUS_PARSE_ERROR;
  uint32_t id = 0;
  int rc = ubus_lookup_id(ctx, argv[0], &id);
  if (rc == UBUS_STATUS_OK)
    rc = ubus_invoke(ctx, id, argv[1], msg.buf.head, print_reply, nullptr, opt.timeout_s * 1000);
  return rc == UBUS_STATUS_OK ? 0 : failed(rc);
}

int cmd_send(ubus_context *ctx, const CliOptions &, int argc, char **argv) {
  if (argc < 1 || argc > 2) return usage("send <type> [<message>]");
  Message msg;
  if (!parse_message(msg, argc, argv, 1)) return UBUS_STATUS_PARSE_ERROR;
  const int rc = ubus_send_event(ctx, argv[0], msg.buf.head);
  return rc == UBUS_STATUS_OK ? 0 : failed(rc);
}

int cmd_listen(ubus_context *ctx, const CliOptions &opt, int argc, char **argv) {
  ubus_event_handler listener{};
  listener.cb = print_event;
  if (uloop_init() != 0) return failed(UBUS_STATUS_SYSTEM_ERROR);
  const int count = argc > 0 ? argc : 1;
  for (int i = 0; i < count; ++i) {
    const int rc = ubus_register_event_handler(ctx, &listener, argc > 0 ? argv[i] : "*");
    if (rc != UBUS_STATUS_OK) return failed(rc);
  }
  ctx->connection_lost = on_connection_lost;
  ubus_add_uloop(ctx);
  uloop_run_timeout(opt.timeout_given ? opt.timeout_s * 1000 : -1);
  return g_connection_lost ? failed(UBUS_STATUS_CONNECTION_FAILED) : 0;
}

int cmd_wait_for(ubus_context *ctx, const CliOptions &opt, int argc, char **argv) {
  if (argc < 1) return usage("wait_for <object> [<object>...]");
  if (uloop_init() != 0) return failed(UBUS_STATUS_SYSTEM_ERROR);
  ubus_event_handler listener{};
  listener.cb = on_object_added;
  // Listen first, then look: an object added in between is not missed.
  int rc = ubus_register_event_handler(ctx, &listener, "ubus.object.add");
  if (rc != UBUS_STATUS_OK) return failed(rc);
  for (int i = 0; i < argc; ++i) {
    uint32_t id;
    if (ubus_lookup_id(ctx, argv[i], &id) != UBUS_STATUS_OK) g_missing.insert(argv[i]);
  }
  if (g_missing.empty()) return 0;
  ctx->connection_lost = on_connection_lost;
  ubus_add_uloop(ctx);
  uloop_run_timeout(opt.timeout_s > 0 ? opt.timeout_s * 1000 : -1);
  if (g_missing.empty()) return 0;
  return failed(g_connection_lost ? UBUS_STATUS_CONNECTION_FAILED : UBUS_STATUS_TIMEOUT);
}
