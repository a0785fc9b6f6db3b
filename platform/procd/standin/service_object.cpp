#include "service_object.h"

extern "C" {
#include <libubox/blobmsg_json.h>
}

#include <signal.h>

#include <cstdlib>

#include "supervisor.h"
#include "triggers.h"

namespace procd {

namespace {

// The call's fields as one JSON object.
Json fields(blob_attr *message) {
  if (message == nullptr) return Json(json_object_new_object());
  char *text = blobmsg_format_json(message, true);
  Json parsed(text != nullptr ? json_tokener_parse(text) : nullptr);
  std::free(text);
  return parsed ? std::move(parsed) : Json(json_object_new_object());
}

const char *string_field(json_object *message, const char *key) {
  json_object *value = typed_member(message, key, json_type_string);
  return value != nullptr ? json_object_get_string(value) : nullptr;
}

int reply(ubus_context *context, ubus_request_data *request, json_object *object) {
  blob_buf buffer{};
  blob_buf_init(&buffer, 0);
  blobmsg_add_object(&buffer, object);
  const int status = ubus_send_reply(context, request, buffer.head);
  blob_buf_free(&buffer);
  return status;
}

Service *find(const char *name) {
  if (name == nullptr) return nullptr;
  auto found = services().find(name);
  return found != services().end() ? found->second.get() : nullptr;
}

int set(ubus_context *, ubus_object *, ubus_request_data *, const char *method, blob_attr *message) {
  Json call = fields(message);
  const char *name = string_field(call.get(), "name");
  if (name == nullptr) return UBUS_STATUS_INVALID_ARGUMENT;
  Service *service = find(name);
  if (service == nullptr) service = (services()[name] = std::make_unique<Service>(name)).get();
  service->set(call.get(), std::string(method) == "set");
  // As the router's manager does on every set: the script's "running" action, output to the log.
  run_init_script(name, "running");
  forget_finished_services();
  return UBUS_STATUS_OK;
}

int list(ubus_context *context, ubus_object *, ubus_request_data *request, const char *, blob_attr *message) {
  Json call = fields(message);
  const char *name = string_field(call.get(), "name");
  json_object *verbose = typed_member(call.get(), "verbose", json_type_boolean);
  Json out(json_object_new_object());
  for (const auto &[key, service] : services())
    if (name == nullptr || key == name) service->describe(out.get(), verbose != nullptr && json_object_get_boolean(verbose));
  return reply(context, request, out.get());
}

int remove(ubus_context *, ubus_object *, ubus_request_data *, const char *, blob_attr *message) {
  Json call = fields(message);
  Service *service = find(string_field(call.get(), "name"));
  if (service == nullptr) return UBUS_STATUS_NOT_FOUND;
  const int status = service->remove(string_field(call.get(), "instance"));
  forget_finished_services();
  return status;
}

int signal(ubus_context *, ubus_object *, ubus_request_data *, const char *, blob_attr *message) {
  Json call = fields(message);
  Service *service = find(string_field(call.get(), "name"));
  if (service == nullptr) return UBUS_STATUS_NOT_FOUND;
  json_object *number = typed_member(call.get(), "signal", json_type_int);
  return service->signal(string_field(call.get(), "instance"), number != nullptr ? json_object_get_int(number) : SIGHUP);
}

int event(ubus_context *, ubus_object *, ubus_request_data *, const char *, blob_attr *message) {
  Json call = fields(message);
  const char *type = string_field(call.get(), "type");
  json_object *data = typed_member(call.get(), "data", json_type_object);
  if (type == nullptr || data == nullptr) return UBUS_STATUS_INVALID_ARGUMENT;
  trigger_event(type, data);
  return UBUS_STATUS_OK;
}

// Accepted for the router's callers; nothing to do here (no validation data is kept).
int accept(ubus_context *, ubus_object *, ubus_request_data *, const char *, blob_attr *) { return UBUS_STATUS_OK; }

const blobmsg_policy kSetPolicy[] = {
    {"name", BLOBMSG_TYPE_STRING}, {"script", BLOBMSG_TYPE_STRING}, {"instances", BLOBMSG_TYPE_TABLE},
    {"triggers", BLOBMSG_TYPE_ARRAY}, {"validate", BLOBMSG_TYPE_ARRAY}, {"autostart", BLOBMSG_TYPE_BOOL},
    {"data", BLOBMSG_TYPE_TABLE}};
const blobmsg_policy kListPolicy[] = {{"name", BLOBMSG_TYPE_STRING}, {"verbose", BLOBMSG_TYPE_BOOL}};
const blobmsg_policy kDeletePolicy[] = {{"name", BLOBMSG_TYPE_STRING}, {"instance", BLOBMSG_TYPE_STRING}};
const blobmsg_policy kSignalPolicy[] = {
    {"name", BLOBMSG_TYPE_STRING}, {"instance", BLOBMSG_TYPE_STRING}, {"signal", BLOBMSG_TYPE_INT32}};
const blobmsg_policy kEventPolicy[] = {{"type", BLOBMSG_TYPE_STRING}, {"data", BLOBMSG_TYPE_TABLE}};
const blobmsg_policy kValidatePolicy[] = {
    {"package", BLOBMSG_TYPE_STRING}, {"type", BLOBMSG_TYPE_STRING}, {"service", BLOBMSG_TYPE_STRING}};

const ubus_method kMethods[] = {
    UBUS_METHOD("set", set, kSetPolicy),         UBUS_METHOD("add", set, kSetPolicy),
    UBUS_METHOD("list", list, kListPolicy),      UBUS_METHOD("delete", remove, kDeletePolicy),
    UBUS_METHOD("signal", signal, kSignalPolicy), UBUS_METHOD("event", event, kEventPolicy),
    UBUS_METHOD("validate", accept, kValidatePolicy),
};
ubus_object_type g_type = UBUS_OBJECT_TYPE("service", kMethods);
ubus_object g_object{.name = "service", .id = 0, .path = nullptr, .type = &g_type, .methods = kMethods,
                     .n_methods = static_cast<int>(ARRAY_SIZE(kMethods))};

}  // namespace

int add_service_object(ubus_context *context) {
  g_object.id = 0, g_type.id = 0;
  return ubus_add_object(context, &g_object);
}

}  // namespace procd
