// The status object's replies from a known shared state: counters written by forked processes,
// frames counted by kind, availability by missed intervals, and the reply shapes the web page and
// the agents read.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <new>
#include <string>

#include "app/frame_dispatch.h"
#include "cloud/json_document.h"
#include "shared/status_counters.h"
#include "status/status_document.h"

namespace vorn::status {
namespace {

json_object *at(json_object *object, const char *key) {
  json_object *value = nullptr;
  return json_object_object_get_ex(object, key, &value) ? value : nullptr;
}
std::int64_t number(json_object *object, const char *key) { return json_object_get_int64(at(object, key)); }
std::string text(json_object *object, const char *key) {
  json_object *value = at(object, key);
  return value != nullptr ? json_object_get_string(value) : "<absent>";
}

TEST(StatusObject, AvailabilityFollowsMissedIntervalsAndNotActive) {
  struct Case {
    std::uint32_t last_seen;
    bool not_active;
    std::int32_t interval;
    std::uint32_t now;
    const char *expected;
  };
  const std::uint32_t start = 1'000'000;
  const Case cases[] = {
      {start + 10, false, 60, start + 10 + 180, "online"},   // exactly three intervals
      {start + 10, false, 60, start + 10 + 181, "offline"},  // one second past them
      {start + 10, true, 60, start + 11, "offline"},         // reported not active
      {0, false, 60, start + 100, "online"},                 // not heard yet: counted from the start
      {0, false, 60, start + 181, "offline"},
      {start + 10, false, 0, start + 100000, "online"},      // no interval known
      {start + 10, false, -5, start + 100000, "online"},
      {start + 10, false, 60, start + 5, "online"},          // clock stepped back
      {start, false, 0x7fffffff, 0xffffffffu, "online"},     // no overflow of 3 * interval
  };
  for (const Case &c : cases)
    EXPECT_STREQ(availability(c.last_seen, c.not_active, c.interval, c.now, start), c.expected)
        << c.last_seen << " " << c.not_active << " " << c.interval << " " << c.now;
  EXPECT_STREQ(report_state_name(0), "joined");
  EXPECT_STREQ(report_state_name(1), "reported");
  EXPECT_STREQ(report_state_name(9), "unknown");
}

TEST(StatusObject, RepliesWithoutCountersOrSegmentsKeepTheirShape) {
  const StatusInputs empty;
  const cloud::JsonPtr status = status_document(empty);
  for (const char *key : {"version", "uptime", "gateway_id", "collector", "starts", "sensors", "txq_free", "frames",
                          "handlers", "reports", "command_restarts", "pending_downloads"})
    EXPECT_NE(at(status.get(), key), nullptr) << key;
  EXPECT_EQ(text(at(status.get(), "collector"), "state"), "stopped");
  EXPECT_EQ(text(at(status.get(), "collector"), "link"), "down");
  EXPECT_EQ(number(at(status.get(), "sensors"), "limit"), 100);
  const cloud::JsonPtr sensors = sensors_document(empty);
  EXPECT_EQ(json_object_array_length(at(sensors.get(), "sensors")), 0u);
}

// One daemon's life in miniature: counters created before the forks, children counting, frames
// handled and rejected, a sensor heard, another reported not active, and both replies read back.
TEST(StatusObject, CountsFromForkedProcessesReachBothReplies) {
  shared::create_status_counters();
  const shared::StatusCounters *counters = shared::status_counters();
  ASSERT_NE(counters, nullptr);
  const std::uint32_t frames_before = shared::load(counters->frames_received);

  // Handlers and report calls in forked children, as the daemon's processes make them.
  constexpr int kChildren = 8;
  for (int i = 0; i < kChildren; ++i) {
    if (fork() == 0) {
      // Two of eight fail, one is not answered in time.
      shared::count_report(i % 4 == 0 ? shared::ReportOutcome::kFailed
                           : i == 5   ? shared::ReportOutcome::kTimedOut
                                      : shared::ReportOutcome::kDelivered);
      // Frames whose handlers only print: a join permit answer, accepted ...
      const std::uint8_t permit_answer[] = {4, 0, 0x4A, 12, 0, 0, 0, 0};
      const std::uint8_t wrong_length[] = {2, 0, 0x4A, 12, 0, 0};  // ... one its length rule refuses ...
      const std::uint8_t unknown_id[] = {1, 0, 0x4A, 99, 0};       // ... and one of no known API id
      app::handle_frame(permit_answer, sizeof permit_answer);
      app::handle_frame(i % 2 == 0 ? wrong_length : unknown_id, 6 - (i % 2));
      _exit(0);
    }
  }
  for (int i = 0; i < kChildren; ++i) wait(nullptr);
  shared::count_command_restart();
  shared::collector_starting();
  shared::collector_link_up();
  shared::collector_link_lost();
  shared::collector_starting();
  shared::collector_link_up();

  // A handler at work in this process and one whose process ended without giving its slot back.
  const shared::HandlerAtWork at_work;
  if (const pid_t gone = fork(); gone == 0) {
    alignas(shared::HandlerAtWork) unsigned char room[sizeof(shared::HandlerAtWork)];
    new (room) shared::HandlerAtWork;  // never destroyed: the process ends holding the slot
    _exit(0);
  } else {
    waitpid(gone, nullptr, 0);
  }

  shared::DeviceListSegment list{};
  auto &heard = list.entries[1];
  heard.ShortAddress = 1;
  const std::uint8_t ext[8] = {0x01, 0xB3, 0xA2, 0x01, 0x00, 0x4B, 0x12, 0x00};
  std::memcpy(heard.ExtAddress, ext, 8);
  shared::store_text(heard.ModelName, "TH-100");
  shared::store_text(heard.SensorVersion, "2.1.0.4");
  heard.EventInterval = 30;
  heard.battery = 3.3f;
  heard.rssi = -61;
  heard.report_state = 1;
  auto &gone = list.entries[7] = heard;
  gone.ShortAddress = 7;
  gone.ExtAddress[0] = 0x07;
  gone.ModelName[0] = '\0';
  shared::store_text(gone.ModelNumber, "QX-7");
  const std::uint32_t now = shared::load(counters->started_unix) + 1000;
  shared::sensor_heard(1, now - 89);     // within three 30 s intervals
  shared::sensor_heard(7, now - 5);
  shared::sensor_not_active(7);          // ...but reported not active since
  shared::sensor_heard(200, now);        // out of range: ignored
  shared::sensor_not_active(0xFFFF);

  shared::TxqSegment txq{};
  txq.slots[2].state = shared::kSlotReady;
  txq.slots[5].state = shared::kSlotFilling;

  StatusInputs inputs;
  inputs.counters = counters;
  inputs.gateway_id = "GW-0042";
  inputs.device_list = &list;
  inputs.txq = &txq;
  inputs.sensorlist_sensors = 3;
  inputs.start_count = 4;
  inputs.pending_downloads = 1;
  inputs.uptime = shared::uptime_of(*counters);
  inputs.now_unix = now;

  const cloud::JsonPtr status = status_document(inputs);
  json_object *root = status.get();
  EXPECT_EQ(text(root, "gateway_id"), "GW-0042");
  EXPECT_EQ(text(root, "version"), kDaemonVersion);
  EXPECT_LT(number(root, "uptime"), 300);
  EXPECT_EQ(text(at(root, "collector"), "state"), "running");
  EXPECT_EQ(text(at(root, "collector"), "link"), "up");
  EXPECT_EQ(number(at(root, "collector"), "reconnects"), 1);
  EXPECT_EQ(number(root, "starts"), 2);
  EXPECT_EQ(number(root, "start_count"), 4);
  EXPECT_EQ(number(at(root, "sensors"), "device_list"), 2);
  EXPECT_EQ(number(at(root, "sensors"), "sensorlist"), 3);
  EXPECT_EQ(number(root, "txq_free"), 8);
  EXPECT_EQ(number(at(root, "frames"), "join_permit_answer"), kChildren);
  EXPECT_EQ(number(at(root, "frames"), "sensor_data"), 0);
  // Each handler at work stands for a received frame: the two here were handled by no kind.
  EXPECT_EQ(number(at(root, "frames"), "rejected"), kChildren + 2);
  EXPECT_EQ(shared::load(counters->frames_received) - frames_before, 2u * kChildren + 2);  // and the two handlers here
  EXPECT_EQ(number(root, "handlers"), 1);  // the ended one's slot no longer counts
  EXPECT_EQ(number(at(root, "reports"), "made"), kChildren);
  EXPECT_EQ(number(at(root, "reports"), "failed"), 2);
  EXPECT_EQ(number(at(root, "reports"), "timed_out"), 1);
  EXPECT_EQ(number(root, "command_restarts"), 1);
  EXPECT_EQ(number(root, "pending_downloads"), 1);

  const cloud::JsonPtr sensors = sensors_document(inputs);
  json_object *array = at(sensors.get(), "sensors");
  ASSERT_EQ(json_object_array_length(array), 2u);
  json_object *first = json_object_array_get_idx(array, 0);
  json_object *second = json_object_array_get_idx(array, 1);
  EXPECT_EQ(text(first, "id"), "00124B0001A2B301");
  EXPECT_EQ(text(first, "short"), "0001");
  EXPECT_EQ(text(first, "model"), "TH-100");
  EXPECT_EQ(text(first, "firmware"), "2.1.0.4");
  EXPECT_EQ(number(first, "interval"), 30);
  EXPECT_EQ(number(first, "rssi"), -61);
  EXPECT_EQ(number(first, "last_seen"), now - 89);
  EXPECT_EQ(text(first, "report_state"), "reported");
  EXPECT_EQ(text(first, "availability"), "online");
  EXPECT_DOUBLE_EQ(json_object_get_double(at(first, "battery")), 3.3);
  EXPECT_EQ(text(second, "short"), "0007");
  EXPECT_EQ(text(second, "model"), "QX-7");
  EXPECT_EQ(text(second, "availability"), "offline");

  // The next frame of the not-active sensor brings it back; silence past its intervals does not.
  shared::sensor_heard(7, now);
  inputs.now_unix = now + 60;
  const cloud::JsonPtr again = sensors_document(inputs);
  json_object *back = json_object_array_get_idx(at(again.get(), "sensors"), 1);
  EXPECT_EQ(text(back, "availability"), "online");
  EXPECT_EQ(text(json_object_array_get_idx(at(again.get(), "sensors"), 0), "availability"), "offline");
}

}  // namespace
}  // namespace vorn::status
