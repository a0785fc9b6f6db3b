// The agent: keeps every sensor's state from the daemon's reports and live values, and sends what
// changes to the broker through the queue, at most `kWindow` messages in flight; answers the
// requests that come from the broker.
#pragma once

#include <libubus.h>

#include <cstdint>
#include <ctime>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "agent_config.h"
#include "cloud_commands.h"
#include "mqtt_link.h"
#include "outbox.h"
#include "rate_limit.h"
#include "sensor_list.h"
#include "sensor_state.h"
#include "topics.h"

namespace mqtt_agent {

struct AgentCounters {
  std::int64_t reports = 0;      // "transmit" calls
  std::int64_t queued = 0;       // messages put in the queue
  std::int64_t delivered = 0;    // acknowledged by the broker
  std::int64_t resent = 0;       // handed to the library again after a lost connection
  std::int64_t connections = 0;  // successful connections
  std::int64_t refused = 0;      // requests refused
  std::int64_t commands = 0;     // cloud commands sent on the bus
  std::int64_t rate_limited = 0; // requests refused for coming too fast
  std::int64_t oversized = 0;    // requests refused for a payload over the bound
  std::int64_t retained_cleared = 0;  // retained messages on command topics, ignored and cleared
};

class Agent {
 public:
  Agent(AgentConfig config, std::string gateway_id, std::unique_ptr<Outbox> outbox, std::string sensor_list_path = "/etc/config/sensorlist");

  // Connects to the bus and the broker and registers everything with the event loop.
  bool start(ubus_context *bus, std::string &error);

  // A report from the daemon: the envelope text of a "transmit" call.
  void on_report(const std::string &envelope, std::time_t now);
  // The periodic look at the live-value channels, the DeviceList and the sensors' availability.
  void tick(std::time_t now);
  // Link events: (re)connection, acknowledgements, requests; a bounded number per call, so the bus
  // is served in between.
  void handle_link_events();

  std::string stats_document();
  // Readable when link events wait.
  int wake_fd() const;
  const AgentConfig &config() const { return config_; }

 private:
  void pump();
  void queue(const std::string &topic, const std::string &payload, bool retain);
  void publish_sensor(SensorState &sensor, ReportEffect effect);
  void publish_availability(SensorState &sensor, bool online);
  void publish_devices();
  void send_devices();
  void publish_info();
  void publish_event(const char *type, const SensorState &sensor);
  void save(SensorState &sensor, const std::string &document);
  void announce(SensorState &sensor);
  void on_connected();
  void on_problem(const std::string &reason);
  void read_daemon_view(std::time_t now);
  void sensor_gone(SensorState &sensor);
  SensorState &sensor(const std::string &id);

  // Requests from the broker (agent_requests.cpp).
  void on_message(const LinkEvent &event);
  void respond(const std::string &topic, bool ok, const std::string &data, const std::string &error,
               const std::string &transaction);
  void on_bridge_request(const std::string &command, const std::string &payload, const std::string &transaction);
  void on_sensor_request(const std::string &id, bool set, const std::string &payload, const std::string &transaction);
  std::string answer_data(const CommandCheck &check);
  bool send_command(const std::string &event);
  std::string sensor_named(const std::string &name);

  struct BusRelease {
    void operator()(ubus_context *context) const { ubus_free(context); }
  };

  AgentConfig config_;
  TopicLayout topics_;
  std::unique_ptr<Outbox> outbox_;
  std::unique_ptr<MqttLink> link_;
  ubus_context *bus_ = nullptr;
  SensorList sensor_list_;
  RateLimit requests_;
  std::map<std::string, SensorState> sensors_;
  std::map<std::string, bool> availability_;       // last published, by sensor
  struct Announced {
    std::size_t digest = 0;
    std::vector<std::string> topics;
  };
  std::map<std::string, Announced> announced_;     // discovery configs last sent, by sensor
  std::map<std::string, std::size_t> saved_;       // digest of what describes each sensor, as saved
  std::int64_t file_generation_ = 0;               // the queue file they were saved in
  // The daemon's own view from its status object (when it has one): sensors it calls offline (not
  // active, or silent too long). Asked over a connection of its own, never the one serving calls.
  std::unique_ptr<ubus_context, BusRelease> status_bus_;
  std::map<std::string, bool> daemon_offline_;
  std::time_t daemon_view_at_ = 0;
  bool daemon_running_ = false;                    // the DeviceList segment exists
  std::set<std::string> removal_asked_;            // sensors whose removal went to the daemon
  std::time_t permit_join_until_ = 0;              // as last asked through the agent
  bool devices_due_ = false;
  std::optional<std::size_t> devices_sent_;        // digest of bridge/devices as last sent
  std::string info_sent_;
  std::string last_problem_;                       // the connection's last failure
  std::set<std::string> problems_told_;            // failures logged since the last connection
  std::set<std::string> clearing_;                 // command topics whose retained message was just cleared
  std::int64_t inbound_dropped_logged_ = 0;
  std::int64_t dropped_published_ = -1;
  std::map<int, std::int64_t> in_flight_;          // library message id -> queue row
  std::int64_t handed_ = 0;                        // highest queue row handed to the library
  bool connected_ = false;
  bool draining_resends_ = false;                  // after a reconnection, until the old flight is acknowledged
  std::time_t resend_deadline_ = 0;
  std::time_t started_ = 0;
  AgentCounters counters_;
};

}  // namespace mqtt_agent
