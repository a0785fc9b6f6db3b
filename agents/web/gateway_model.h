// What vorn_web knows of the gateway, shared by the thread that reads the gateway and the HTTP
// threads: the last status and sensors as JSON texts ready to send, each channel's history, and
// the events (a sensor's new state, availability changes, alarms, cloud reports) for the live
// stream. All under one mutex; readers take copies of ready texts.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "gateway_source.h"
#include "history_ring.h"

namespace web {

struct Event {
  std::uint64_t seq = 0;
  std::string type;  // sensor, status, availability, alarm, report, joined, left
  std::string data;  // JSON text
  bool logged = false;  // kept in the list of recent events (sensor and status updates are not)
};

struct HttpAnswer {
  int code;
  std::string body;  // JSON
};

class GatewayModel {
 public:
  static constexpr std::size_t kLoggedEvents = 100;
  static constexpr std::size_t kStreamEvents = 2000;
  // A sensor without word from the daemon is offline after this many intervals without a reading.
  static constexpr int kMissedIntervals = 3;

  // Takes in one look at the gateway made at now_ms (Unix milliseconds).
  void update(GatewayReading reading, double now_ms);

  std::shared_ptr<const std::string> status_text() const;
  std::shared_ptr<const std::string> sensors_text() const;
  HttpAnswer history(const std::string &id, int channel) const;

  // The logged events still kept, oldest first, and the sequence number of the newest event.
  std::vector<Event> recent_events(std::uint64_t &newest) const;
  // Events after `cursor` (which moves on), waiting up to `timeout` for one; empty on time-out
  // or once stopped.
  std::vector<Event> wait_events(std::uint64_t &cursor, std::chrono::milliseconds timeout) const;
  // The sequence number of the newest event; and the same after waiting up to `timeout` for one
  // newer than `seen` (or for the model to stop).
  std::uint64_t newest_event() const;
  std::uint64_t wait_newer(std::uint64_t seen, std::chrono::milliseconds timeout) const;
  void stop();
  bool stopped() const;

 private:
  struct Tracked {
    std::string reading, availability, report_state;
    double first_seen_ms = 0, reading_seen_ms = 0;
    std::vector<bool> alarms;
    std::vector<HistoryRing> history;
    std::vector<std::string> names, units;
    std::string row;  // the sensor's JSON as last sent
  };
  void emit(const std::string &type, std::string data, bool logged);
  void track_sensor(SensorView &sensor, Tracked &tracked, double now_ms, bool first_update);
  void track_reports(json_object *status);

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  bool stopped_ = false;
  bool updated_once_ = false;
  double now_ms_ = 0;
  std::map<std::string, Tracked> sensors_;
  std::shared_ptr<const std::string> status_text_ = std::make_shared<const std::string>("{}");
  std::shared_ptr<const std::string> sensors_text_ = std::make_shared<const std::string>("{\"sensors\":[]}");
  long long reports_made_ = -1, reports_failed_ = -1;
  std::uint64_t next_seq_ = 1;
  std::deque<Event> stream_, logged_;
};

}  // namespace web
