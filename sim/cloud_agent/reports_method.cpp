// "reports": what the cloud received.
//   {}                                   counts: {"Total":n,"Types":{"0":n,...},"Sensors":{id:{"0":n,...}}}
//   {"ID":id[,"Type":t][,"Limit":n]}     that sensor's last n reports (20 unless given, at most 50),
//                                        oldest first: {"ID":id,"Reports":[{"SeqNo","Type","Time","Body"}]}
#include <string>

#include "bus_json.h"
#include "cloud_agent.h"

namespace sim {

namespace {

constexpr int kDefaultLimit = 20;
constexpr int kMaxLimit = 50;  // a bus message holds 64 KiB

json_object *counts_reply() {
  json_object *reply = json_object_new_object();
  json_object *sensors = json_object_new_object();
  std::map<int, std::int64_t> by_type;
  std::int64_t total = 0;
  for (const auto &[sensor, types] : report_counts(g_agent.store.get())) {
    json_object *counts = json_object_new_object();
    for (const auto &[type, count] : types) {
      json_object_object_add(counts, std::to_string(type).c_str(), json_object_new_int64(count));
      by_type[type] += count;
      total += count;
    }
    json_object_object_add(sensors, sensor.empty() ? "(none)" : sensor.c_str(), counts);
  }
  json_object *types = json_object_new_object();
  for (const auto &[type, count] : by_type) json_object_object_add(types, std::to_string(type).c_str(), json_object_new_int64(count));
  json_object_object_add(reply, "Total", json_object_new_int64(total));
  json_object_object_add(reply, "Types", types);
  json_object_object_add(reply, "Sensors", sensors);
  return reply;
}

json_object *sensor_reply(const std::string &id, int type, int limit) {
  json_object *reply = json_object_new_object();
  json_object *list = json_object_new_array();
  for (const StoredReport &report : sensor_reports(g_agent.store.get(), id, type, limit)) {
    json_object *entry = json_object_new_object();
    json_object_object_add(entry, "SeqNo", json_object_new_int64(report.seq_no));
    json_object_object_add(entry, "Type", json_object_new_int(report.type));
    json_object_object_add(entry, "Time", json_object_new_int64(report.time));
    json_object_object_add(entry, "Body", json_object_new_string(report.body.c_str()));
    json_object_array_add(list, entry);
  }
  json_object_object_add(reply, "ID", json_object_new_string(id.c_str()));
  json_object_object_add(reply, "Reports", list);
  return reply;
}

}  // namespace

int method_reports(ubus_context *context, ubus_object *, ubus_request_data *request, const char *, blob_attr *message) {
  if (!g_agent.store) return UBUS_STATUS_UNKNOWN_ERROR;
  const Json arguments = message_json(message);
  const std::string id = string_member(arguments.get(), "ID");
  long long limit = int_member(arguments.get(), "Limit", kDefaultLimit);
  if (limit < 1) limit = 1;
  if (limit > kMaxLimit) limit = kMaxLimit;
  const Json reply(id.empty() ? counts_reply()
                              : sensor_reply(id, static_cast<int>(int_member(arguments.get(), "Type", -1)), static_cast<int>(limit)));
  return reply_json(context, request, reply.get());
}

}  // namespace sim
