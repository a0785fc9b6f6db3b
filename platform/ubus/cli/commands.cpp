#include "commands.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>

#include <unistd.h>

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

// A failed call, reported with the command line it came from, as the router's tool does when its
// standard error is not a terminal; otherwise left to the caller's shorter report.
int call_failed(const CliOptions &opt, int argc, char **argv, int status) {
  if (opt.simple || isatty(STDERR_FILENO)) return status;
  fprintf(stderr, "Command failed: ubus call ");
  for (int i = 0; i < argc; ++i) fprintf(stderr, "%s ", argv[i]);
  fprintf(stderr, "(%s)\n", ubus_strerror(status));
  return -status;
}

// The optional JSON argument of call and send: an object (json-c syntax, single quotes too).
bool parse_message(Message &msg, int argc, char **argv, int index) {
  return argc <= index || blobmsg_add_json_from_string(&msg.buf, argv[index]);
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

int cmd_list(ubus_context *ctx, const CliOptions &opt, int argc, char **argv) {
  bool verbose = opt.verbose;
  const char *path = nullptr;
  for (int i = 0; i < argc; ++i) {
    if (strcmp(argv[i], "-v") == 0)
      verbose = true;
    else if (!path)
      path = argv[i];
    else
      return kUsageError;
  }
  return ubus_lookup(ctx, path, print_object, &verbose);
}

int cmd_call(ubus_context *ctx, const CliOptions &opt, int argc, char **argv) {
  if (argc < 2 || argc > 3) return kUsageError;
  Message msg;
  if (!parse_message(msg, argc, argv, 2)) return call_failed(opt, argc, argv, UBUS_STATUS_PARSE_ERROR);
  uint32_t id = 0;
  if (const int rc = ubus_lookup_id(ctx, argv[0], &id); rc != UBUS_STATUS_OK) return rc;
  const int rc = ubus_invoke(ctx, id, argv[1], msg.buf.head, print_reply, nullptr, opt.timeout_s * 1000);
  return rc == UBUS_STATUS_OK ? 0 : call_failed(opt, argc, argv, rc);
}

int cmd_send(ubus_context *ctx, const CliOptions &, int argc, char **argv) {
  if (argc < 1 || argc > 2) return kUsageError;
  Message msg;
  if (!parse_message(msg, argc, argv, 1)) return UBUS_STATUS_PARSE_ERROR;
  return ubus_send_event(ctx, argv[0], msg.buf.head);
}

int cmd_listen(ubus_context *ctx, const CliOptions &opt, int argc, char **argv) {
  ubus_event_handler listener{};
  listener.cb = print_event;
  if (uloop_init() != 0) return UBUS_STATUS_SYSTEM_ERROR;
  const int count = argc > 0 ? argc : 1;
  for (int i = 0; i < count; ++i) {
    const char *pattern = argc > 0 ? argv[i] : "*";
    const int rc = ubus_register_event_handler(ctx, &listener, pattern);
    if (rc != UBUS_STATUS_OK) {
      if (!opt.simple)
        fprintf(stderr, "Error while registering for event '%s': %s\n", pattern, ubus_strerror(rc));
      return -1;
    }
  }
  ctx->connection_lost = on_connection_lost;
  ubus_add_uloop(ctx);
  uloop_run_timeout(opt.timeout_given ? opt.timeout_s * 1000 : -1);
  return g_connection_lost ? UBUS_STATUS_CONNECTION_FAILED : 0;
}

int cmd_wait_for(ubus_context *ctx, const CliOptions &opt, int argc, char **argv) {
  if (argc < 1) return kUsageError;
  if (uloop_init() != 0) return UBUS_STATUS_SYSTEM_ERROR;
  ubus_event_handler listener{};
  listener.cb = on_object_added;
  // Listen first, then look: an object added in between is not missed.
  int rc = ubus_register_event_handler(ctx, &listener, "ubus.object.add");
  if (rc != UBUS_STATUS_OK) return rc;
  for (int i = 0; i < argc; ++i) {
    uint32_t id;
    if (ubus_lookup_id(ctx, argv[i], &id) != UBUS_STATUS_OK) g_missing.insert(argv[i]);
  }
  if (g_missing.empty()) return 0;
  ctx->connection_lost = on_connection_lost;
  ubus_add_uloop(ctx);
  uloop_run_timeout(opt.timeout_s > 0 ? opt.timeout_s * 1000 : -1);
  if (g_missing.empty()) return 0;
  return g_connection_lost ? UBUS_STATUS_CONNECTION_FAILED : UBUS_STATUS_TIMEOUT;
}
