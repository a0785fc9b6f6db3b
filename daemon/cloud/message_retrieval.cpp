#include "cloud/message_retrieval.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

#include "cloud/bus_call.h"
#include "cloud/json_document.h"
#include "core/daemon_state.h"
#include "core/ext_address.h"

namespace vorn::cloud {

namespace {

RetrievedMessageHandler retrieved_message_handler = nullptr;

// Used only by "obtain", which runs while the "transmit" buffer still holds its call.
blob_buf obtain_buffer;

constexpr std::size_t kRetrievedIdLength = core::kExtAddressTextSize - 1;

// The answer's "rc" parsed; null (after the log line) when there is none, or when it is not JSON.
JsonPtr parse_return_code(blob_attr *message, bool echo) {
  const char *text = answer_return_code(message);
  if (text == nullptr) {
    std::fputs("No return code received from server\r\n", stdout);
    return nullptr;
  }
  if (echo) std::printf("Retrieve Msg:\n%s\r\n", text);
  return parse_json(text, std::strlen(text));
}

bool integer_member(json_object *object, const char *key, std::int64_t *value) {
  json_object *member = nullptr;
  if (!json_object_object_get_ex(object, key, &member) || !json_object_is_type(member, json_type_int)) return false;
  *value = json_object_get_int64(member);
  return true;
}

// The body of a retrieved message: an array given as JSON text in a string, or as the array itself.
JsonPtr body_array(json_object *body) {
  JsonPtr parsed = json_object_is_type(body, json_type_string)
                       ? parse_json(json_object_get_string(body), static_cast<std::size_t>(json_object_get_string_len(body)))
                       : JsonPtr(json_object_get(body));
  if (!parsed || !json_object_is_type(parsed.get(), json_type_array)) return nullptr;
  return parsed;
}

}  // namespace

void set_retrieved_message_handler(RetrievedMessageHandler handler) { retrieved_message_handler = handler; }

void on_transmit_reply(ubus_request *request, int, blob_attr *message) {
  JsonPtr answer = parse_return_code(message, false);
  if (!answer) return;
  std::int64_t sequence = 0, timestamp = 0, result = 0, new_message = 0;
  bool complete = integer_member(answer.get(), "SeqNo", &sequence) && integer_member(answer.get(), "Timestamp", &timestamp) &&
                  integer_member(answer.get(), "Result", &result) &&
                  integer_member(answer.get(), "NewMsgArrived", &new_message);
  answer.reset();
  if (complete && result == 1 && new_message == 1 && request->priv != nullptr)
    cloud_obtain(static_cast<const char *>(request->priv));
}

void cloud_obtain(const char *sensor_id) {
  if (core::daemon_state.cloud_agent_name == nullptr) return;
  BusConnection bus;
  std::uint32_t id = 0;
  if (bus.get() == nullptr || ubus_lookup_id(bus.get(), core::daemon_state.cloud_agent_name, &id) != 0) return;
  std::size_t size = std::strlen(sensor_id) + 12;
  std::unique_ptr<char[]> request(new (std::nothrow) char[size]());
  if (!request) return;
  std::snprintf(request.get(), size, "{\"ID\":\"%s\"}", sensor_id);
  invoke_with_message(bus.get(), id, "obtain", &obtain_buffer, kSenderName, request.get(), on_obtain_reply, nullptr);
}

void on_obtain_reply(ubus_request *, int, blob_attr *message) {
  JsonPtr retrieved = parse_return_code(message, true);
  if (!retrieved) return;

  char id[kRetrievedIdLength + 1] = {};
  json_object *member = nullptr;
  if (json_object_object_get_ex(retrieved.get(), "ID", &member) && json_object_is_type(member, json_type_string)) {
    if (static_cast<std::size_t>(json_object_get_string_len(member)) > kRetrievedIdLength) {
      std::printf("Retrieve ID(%.40s) is not a sensor id, dropped\n", json_object_get_string(member));
      return;
    }
    std::snprintf(id, sizeof id, "%s", json_object_get_string(member));
  }
  if (json_object_object_get_ex(retrieved.get(), "GatewayID", &member)) {
    const char *gateway = member != nullptr ? json_object_get_string(member) : "null";
    if (std::strcmp(gateway, core::daemon_state.gateway_id) != 0)
      std::printf("Retrieve GatewayID(%s) is not for Me!!!\n", gateway);
  }
  int type = json_object_object_get_ex(retrieved.get(), "Type", &member) ? json_object_get_int(member) : 0;
  if (!json_object_object_get_ex(retrieved.get(), "Body", &member)) return;
  JsonPtr body = body_array(member);
  if (body && retrieved_message_handler != nullptr) retrieved_message_handler(id, type, body.get());
}

}  // namespace vorn::cloud
