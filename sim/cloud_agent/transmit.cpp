// "transmit": every report the daemon sends. The message text goes whole to the transmit log, the
// report to the store, and the answer says whether a message is held for the report's sensor.
#include <unistd.h>

#include <cstdio>
#include <ctime>

#include "bus_json.h"
#include "cloud_agent.h"

namespace sim {

namespace {

void append_to_log(const std::string &text) {
  FILE *log = std::fopen(kTransmitLog, "a");
  if (log == nullptr) return;
  std::fprintf(log, "%s\n", text.c_str());
  std::fclose(log);
}

// The envelope's parts; a message that is no envelope is kept with type -1 and no sensor.
StoredReport report_of(const std::string &text, std::int64_t seq_no) {
  StoredReport report;
  report.seq_no = seq_no;
  report.time = static_cast<std::int64_t>(std::time(nullptr));
  report.body = text;
  const Json envelope = parse_json(text);
  json_object *type = member(envelope.get(), "Type");
  json_object *body = member(envelope.get(), "Body");
  if (envelope == nullptr || type == nullptr || !json_object_is_type(type, json_type_int)) return report;
  report.sensor = string_member(envelope.get(), "ID");
  report.type = json_object_get_int(type);
  if (body != nullptr) report.body = json_object_is_type(body, json_type_string) ? json_object_get_string(body) : json_text(body);
  return report;
}

}  // namespace

int method_transmit(ubus_context *context, ubus_object *, ubus_request_data *request, const char *, blob_attr *message) {
  const Json arguments = message_json(message);
  json_object *msg = member(arguments.get(), "msg");
  if (msg == nullptr || !json_object_is_type(msg, json_type_string)) return UBUS_STATUS_INVALID_ARGUMENT;
  const std::string text = json_object_get_string(msg);
  const std::int64_t seq_no = ++g_agent.transmit_calls;
  append_to_log(text);
  const StoredReport report = report_of(text, seq_no);
  if (g_agent.store) store_report(g_agent.store.get(), report);
  if (report.type >= 0) note_sensor_report(report.sensor, report.type, report.body);
  std::printf("cloud_agent: #%lld type %d from %s\n", static_cast<long long>(seq_no), report.type,
              report.sensor.empty() ? "(no sensor)" : report.sensor.c_str());

  const bool held = is_sensor_id(report.sensor) && access(hold_path(report.sensor).c_str(), F_OK) == 0;
  char rc[160];
  std::snprintf(rc, sizeof rc, "{\"SeqNo\":%lld,\"Timestamp\":%lld,\"Result\":1,\"NewMsgArrived\":%d}",
                static_cast<long long>(seq_no), static_cast<long long>(report.time), held ? 1 : 0);
  const Json reply(json_object_new_object());
  json_object_object_add(reply.get(), "rc", json_object_new_string(rc));
  return reply_json(context, request, reply.get());
}

}  // namespace sim
