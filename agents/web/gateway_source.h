// One look at the gateway: the daemon's bus object "vorn_mgr" (methods status and sensors) when
// it answers, and in any case the DeviceList (read-only), sensorlist and each sensor's
// shared-memory channels. Without the bus object the view is built from those alone.
#pragma once

#include <libubus.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/json_doc.h"
#include "live_values.h"
#include "units_map_state.h"

namespace web {

// The JSON helpers shared by the programs beside the daemon.
using agents::for_each_member;
using agents::int_member;
using agents::Json;
using agents::json_text;
using agents::member;
using agents::number_member;
using agents::parse_json;
using agents::string_member;

struct ChannelView {
  std::string name, unit;
  std::optional<double> value;  // nothing: unknown or in error
  bool alarm = false;
};

struct SensorView {
  std::string id, short_address, model, firmware, report_state;
  std::string name;  // the name the sensor gave itself and the gateway stores (DeviceName)
  std::string availability;  // "online" | "offline" from the daemon; "" when vorn_web decides
  int interval = 0, rssi = 0;
  double battery = 0;
  std::int64_t last_seen = 0;  // Unix seconds from the daemon; 0: never or unknown
  bool in_device_list = false;
  std::string reading;            // the live body as published ("" none): a new text is a new reading
  double reading_time_ms = 0;     // its BaseTime
  std::vector<ChannelView> channels;
  std::string logged;                 // the last buffered records as published ("" none)
  std::optional<LiveReading> logged_reading;
};

struct GatewayReading {
  Json status;             // the daemon's status object, or one built from what was found
  bool from_bus = false;   // the daemon's bus object answered
  std::string bus = "ok";  // "ok", "no daemon" (its object is not on the bus), "gone" (no bus daemon)
  std::string units_map = "ok";  // UnitsMapWatch::state
  std::vector<SensorView> sensors;
};

// Section type -> option -> value of `uci -q show <package>` lines
// "<package>.@<type>[<n>].<option>='<value>'".
std::map<std::string, std::map<std::string, std::string>> parse_uci_show(const std::string &text);

class GatewaySource {
 public:
  GatewaySource();
  ~GatewaySource();
  GatewaySource(const GatewaySource &) = delete;
  GatewaySource &operator=(const GatewaySource &) = delete;

  GatewayReading read();

  // Sends the daemon's command event; the bus status.
  int send_command(const std::string &event);
  // One option of a sensor's sensorlist section ("" when unset); the id is 16 checked hex digits.
  std::string sensorlist_option(const std::string &id, const std::string &option);

 private:
  Json call(const char *method);
  bool connect();
  ubus_context *bus_ = nullptr;
  int last_status_ = 0;
  UnitsMapWatch units_map_;
};

}  // namespace web
