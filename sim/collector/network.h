// The simulated network at run time: the coprocessor, its link to the daemon and every sensor.
// Everything runs on one event loop; timers drive the sensors.
#pragma once

extern "C" {
#include <libubox/uloop.h>
}

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "byte_fields.h"
#include "frame_counts.h"
#include "frames_to_daemon.h"
#include "network_config.h"
#include "sensor_frames.h"

namespace sim {

struct Network;
struct SimSensor;
struct LinkServer;

// A one-shot timer that belongs to one sensor; the sensor owns it and cancels it when it goes.
struct SensorTimer {
  uloop_timeout timeout{};  // first member: the loop hands back its address
  SimSensor *sensor = nullptr;
};

// A one-shot timer of the network as a whole.
struct NetworkTimer {
  uloop_timeout timeout{};  // first member: the loop hands back its address
  Network *network = nullptr;
};

struct ChannelState {
  ChannelConfig config;
  std::optional<double> fixed_value;  // a reading set through the control
  std::uint16_t error = 0;            // a failure set through the control
};

// A firmware download the collector carries out for one sensor.
struct Download {
  bool active = false;
  bool msp430 = false;  // MSP430 firmware, else radio firmware
  std::string file;
  int progress = 0;
};

enum class SensorPhase { kWaitingToJoin, kJoined, kLeft };

// What became of a buffered sensor's records: a test compares them with what the cloud received.
struct RecordCounts {
  std::uint64_t measured = 0;
  std::uint64_t delivered = 0;  // confirmed by the gateway's Data Frame Response
  std::uint64_t discarded = 0;  // pushed out of a full buffer before the gateway confirmed them
};

struct SimSensor {
  Network *network = nullptr;
  SensorConfig config;
  Identity identity;
  SensorPhase phase = SensorPhase::kWaitingToJoin;
  bool identified = false;  // the gateway answered its Identification Request (or asked its configuration)
  bool silent = false;
  bool reported_not_active = false;
  int interval = 60;       // simulated seconds
  long clock_offset = 0;   // the sensor's clock minus the real clock, seconds
  double battery = 3.6;
  std::vector<ChannelState> channels;
  // Buffered records, oldest first: measured, not yet confirmed by a Data Frame Response.
  // buffered[i] is the sensor's record number first_buffered + i.
  std::vector<DataRecord> buffered;
  std::uint64_t first_buffered = 0;
  // Per Data Frame Request still awaited (by its tag): the record number after its last record.
  // An answer confirms exactly the records its request carried, whatever was sent since.
  std::map<std::array<std::uint8_t, 8>, std::uint64_t> carried_until;
  RecordCounts records;
  unsigned ticks = 0, missed_ticks = 0;
  std::uint32_t tag_counter = 0;
  std::map<std::uint8_t, std::vector<std::array<std::uint8_t, 8>>> awaited_tags;  // reply command -> tags sent
  // Values the gateway may read and write through the device value requests.
  std::int32_t device_integer = 0;
  double device_real = 0;
  std::string device_text;
  Download download;
  SensorTimer tick;
  SensorTimer download_step;
};

// SensorData at a fixed rate for all the network together, round robin over the sensors that
// report (control "pace"), for measuring the gateway. Channel 0 of every paced frame reads the
// milliseconds from `started_at` to the moment the frame left, so whoever sees the value knows
// how long it took (exactly for sensors that report floats; the fixed-point words of firmware
// 1.1.0.2 hold at most 32639).
struct PacedStream {
  NetworkTimer timer;
  double rate = 0;        // frames per second; 0: no stream
  double started_at = 0;  // monotonic seconds
  std::uint64_t scheduled = 0;  // frames due so far
  std::uint64_t sent = 0;       // of those, written to the link
  std::uint64_t late = 0;       // of those, sent more than kPacedLateMs after their time
  double max_late_ms = 0;
  std::uint16_t next_sensor = 0;  // round robin: the lowest short address to serve next
};
constexpr double kPacedLateMs = 20;

struct Network {
  NetworkConfig config;
  NetworkIdentity identity;
  std::string region = "US915";
  std::uint8_t state = kStateStarted;
  bool join_permit = false;
  bool paused = false;  // the sensors keep quiet (they still answer requests)
  std::map<std::uint16_t, std::unique_ptr<SimSensor>> sensors;  // by short address
  int link = -1;                                                // the daemon's connection
  LinkServer *link_server = nullptr;                            // which accepts it
  FrameCounts counts;
  double started_at = 0;  // monotonic seconds at start
  NetworkTimer permit_timer;
  PacedStream pacing;
};

// Monotonic seconds; simulated seconds since the start.
double monotonic_seconds();
double simulated_seconds(const Network &network);
// Real milliseconds for a span of simulated seconds.
int real_ms(const Network &network, double simulated);

void init_network(Network &network, const NetworkConfig &config, const std::string &region);
// Adds a sensor (false when its short address or ExtAddress is taken); it joins after `delay_s` real seconds.
bool add_sensor(Network &network, const SensorConfig &config, double delay_s, std::string &error);
SimSensor *find_sensor(Network &network, std::uint16_t short_address);
SimSensor *find_sensor(Network &network, const std::string &ext_address_text);
// Forgets a sensor (after it left); its timers are cancelled first.
void drop_sensor(Network &network, std::uint16_t short_address);

// Writes a frame to the daemon and counts it under `kind`; false (not counted) without a link.
bool send_to_daemon(Network &network, const Bytes &frame, const std::string &kind);
// Sends a sensor's application frame inside APP_DEVICE_DATA_RX_IND.
bool send_sensor_frame(SimSensor &sensor, const Bytes &application_frame);

// Sensor behaviour.
void sensor_join(SimSensor &sensor, bool rejoined);
void sensor_leave(SimSensor &sensor);  // announces APP_DEVICE_LEFT_IND and forgets the sensor
void schedule_tick(SimSensor &sensor, int delay_ms);
// One measurement: a SensorData frame, or a buffered record (and a Data Frame Request once the
// sensor holds its "Records").
void measure_and_report(SimSensor &sensor);
Condition sensor_condition(const SimSensor &sensor);
std::vector<ChannelReading> take_readings(const SimSensor &sensor);
std::uint32_t sensor_clock(const SimSensor &sensor);  // seconds since 2000-01-01 on the sensor's clock
void new_tag(SimSensor &sensor, std::uint8_t reply_command, std::uint8_t *tag);
void send_identification(SimSensor &sensor);
// Whether the sensor sends readings now: joined, not silent, and identified if its firmware asks to be.
bool reports_readings(const SimSensor &sensor);
bool send_sensor_data(SimSensor &sensor, const std::vector<ChannelReading> &readings);
void send_config_rsp(SimSensor &sensor);
void set_interval(SimSensor &sensor, int interval);
void start_download(SimSensor &sensor, bool msp430, const std::string &file);
void cancel_download(SimSensor &sensor, bool msp430);

// The link and the coprocessor.
void link_connected(Network &network, int fd);
void link_closed(Network &network);
void set_collector_state(Network &network, std::uint8_t state);
void open_join_permit(Network &network, std::uint32_t duration_ms);

// The paced stream: starts it afresh at `rate` frames per second, or stops it with 0 (its counts stay).
void pace_sensor_data(Network &network, double rate);
// {"Rate":r,"StartedAt":t,"Scheduled":n,"Sent":n,"Late":n,"MaxLateMs":x}
json_object *pacing_json(const Network &network);

}  // namespace sim
