// The simulated cloud agent: the bus object the daemon reports to ("transmit"), fetches held
// messages from ("obtain"), and that people and tests read the received reports from ("reports").
#pragma once

#include <libubus.h>

#include <cstdint>
#include <string>

#include "report_store.h"

namespace sim {

constexpr const char *kAgentDirectory = "/tmp/cloud_agent";
constexpr const char *kHoldDirectory = "/tmp/cloud_agent/hold";
constexpr const char *kTransmitLog = "/tmp/cloud_agent/transmit.log";
constexpr const char *kReportDatabase = "/tmp/cloud_agent/reports.sqlite";
constexpr const char *kMiddlewareStore = "/etc/config/cloud.sqlite";

struct CloudAgent {
  ReportStore store;
  std::int64_t transmit_calls = 0;
};
extern CloudAgent g_agent;

// A sensor id fit to name a file: exactly 16 hexadecimal digits.
bool is_sensor_id(const std::string &id);
// The held message file of a sensor.
std::string hold_path(const std::string &sensor_id);

// What the cloud keeps of a report beyond the report itself: a sensor that joined is registered
// with the platform's sensor registry (and forgotten when it left); a channel list becomes the
// cloud's channel table of the sensor in the middleware store.
void note_sensor_report(const std::string &sensor_id, int type, const std::string &body);

int method_transmit(ubus_context *, ubus_object *, ubus_request_data *, const char *, blob_attr *);
int method_obtain(ubus_context *, ubus_object *, ubus_request_data *, const char *, blob_attr *);
int method_reports(ubus_context *, ubus_object *, ubus_request_data *, const char *, blob_attr *);

}  // namespace sim
