// What every sensor-frame handler works with: the application frame as received, the sensor it
// came from, its DeviceList entry and the report being filled, and a reader that never leaves
// the received bytes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/byte_order.h"
#include "core/ext_address.h"
#include "shared/device_list.h"
#include "shared/device_list_guard.h"
#include "shared/sensor_report.h"

namespace vorn::data {

// Reads little-endian fields one after the other. Every read is checked against the bytes
// received; once a read does not fit, the reader stays failed and every later read gives 0, so a
// parser can read all its fields and test ok() once at the end.
class FrameReader {
 public:
  FrameReader(const std::uint8_t *bytes, std::size_t size, std::size_t position = 0)
      : bytes_(bytes), size_(size), position_(position), ok_(position <= size) {}

  bool ok() const { return ok_; }
  std::size_t position() const { return position_; }
  bool fits(std::size_t count) const { return ok_ && count <= size_ - position_; }

  // The next `count` bytes, or nullptr (and failed) when they were not received.
  const std::uint8_t *take(std::size_t count) {
    if (!fits(count)) {
      ok_ = false;
      return nullptr;
    }
    const std::uint8_t *at = bytes_ + position_;
    position_ += count;
    return at;
  }
  void skip(std::size_t count) { take(count); }
  std::uint8_t u8() {
    const std::uint8_t *p = take(1);
    return p ? p[0] : 0;
  }
  std::int8_t s8() { return static_cast<std::int8_t>(u8()); }
  std::uint16_t u16() {
    const std::uint8_t *p = take(2);
    return p ? core::read_le16(p) : 0;
  }
  std::uint32_t u32() {
    const std::uint8_t *p = take(4);
    return p ? core::read_le32(p) : 0;
  }
  // A fixed text field of `width` bytes, not necessarily terminated, cut to `field` with its
  // terminator.
  template <std::size_t N>
  void text(char (&field)[N], std::size_t width) {
    const std::uint8_t *p = take(width);
    std::size_t i = 0;
    for (; p != nullptr && i < width && i + 1 < N && p[i] != 0; ++i) field[i] = static_cast<char>(p[i]);
    for (; i < N; ++i) field[i] = '\0';
  }

 private:
  const std::uint8_t *bytes_;
  std::size_t size_;
  std::size_t position_;
  bool ok_;
};

// One sensor application frame being handled.
struct SensorFrame {
  const std::uint8_t *link_frame;  // the whole link frame, header included
  std::size_t total_length;        // header plus payload, as received
  const std::uint8_t *app;         // the application frame (RSSI, command id, ...)
  std::size_t app_size;
  std::uint16_t short_address;
  const char *command_name;        // as the log lines name the command
  // From the common head (commands with one).
  std::uint8_t ext_address[core::kExtAddressSize];
  char ext_text[core::kExtAddressTextSize];
  std::uint16_t frame_ctl;
  // The sensor's DeviceList entry; for a short address outside 1..100 a private blank entry, so
  // the handlers run alike and nothing outside the list is touched.
  shared::DeviceListEntry *entry;
  shared::SensorReport &report;
};

inline bool in_device_list(const SensorFrame &frame) { return shared::is_device_index(frame.short_address); }

// Runs `update` on the sensor's entry under the entry's cross-process guard and returns its
// result. Keep the update short: no commands, replies or reports inside.
template <typename Update>
auto with_entry(SensorFrame &frame, Update update) {
  shared::DeviceEntryLock lock(in_device_list(frame) ? frame.short_address : -1);
  return update(*frame.entry);
}

// The one line a frame that does not hold what it announces is dropped with.
void refuse_frame(const SensorFrame &frame, const char *why);

// Current Unix time; 946684800 is 2000-01-01 00:00:00 UTC, the origin of sensor time.
std::int64_t unix_now();
constexpr std::int64_t kSensorEpoch = 946684800;
constexpr std::int64_t kDay = 86399;  // "more than a day" means more than this many seconds

// A sensor's clock needs setting when a time it sent is more than 59 s off the gateway's, or
// when it was last set more than a day before that time (only once the gateway's clock is set).
bool clock_needs_setting(std::int64_t now, std::int64_t sensor_time, std::uint32_t last_time_sync);

// The identity texts the reports carry, from the sensor's entry.
void copy_identity_texts(const shared::DeviceListEntry &entry, shared::SensorReport &report);

// Status word, battery and power source of commands 32 and 34, kept in the entry.
void keep_power_status(const shared::SensorReport &report, shared::DeviceListEntry &entry);

}  // namespace vorn::data
