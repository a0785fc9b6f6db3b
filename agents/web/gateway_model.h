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
#include "page_commands.h"

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
  // Events kept for the streams: a stream that falls further behind ends, and its page loads the
  // whole state again when it reconnects.
  static constexpr std::size_t kStreamEvents = 400;
  // A sensor without word from the daemon is offline after this many intervals without a reading.
  static constexpr int kMissedIntervals = 3;
  // Marks on a sensor's row: battery below this (volts, as sensors report it), signal below this.
  static constexpr double kLowBatteryVolts = 2.5;
  static constexpr int kWeakSignalDbm = -90;
  // How long a stream waits before it tries again, told to the page with the status.
  static constexpr int kRetryMs = 2000;

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
  // Waits up to `timeout` for the first look at the gateway; true once it was taken in.
  bool wait_first_update(std::chrono::milliseconds timeout) const;

  // Commands from the page: queued with a number, taken by the thread that reads the gateway,
  // their outcome sent to every stream as a "command" event.
  std::uint64_t queue_command(PageCommand command);
  std::vector<std::pair<std::uint64_t, PageCommand>> take_commands();
  void command_outcome(std::uint64_t number, const PageCommand &command, bool done, const std::string &text);
  bool knows_sensor(const std::string &id) const;

 private:
  struct Tracked {
    std::string reading, logged, availability, report_state;
    double first_seen_ms = 0, reading_seen_ms = 0;
    std::uint32_t reading_at = 0;             // the live reading's time (Unix seconds)
    std::vector<HistoryPoint> last_logged;    // per channel: the newest logged record (time 0: none)
    std::vector<bool> logged_error;
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
  std::uint64_t next_command_ = 1;
  std::vector<std::pair<std::uint64_t, PageCommand>> commands_;
};

}  // namespace web
