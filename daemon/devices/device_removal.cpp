#include "devices/device_removal.h"

#include <gateway_lib/alarm_flags.h>
#include <gateway_lib/download_records.h>
#include <gateway_lib/utils.h>

#include <cctype>
#include <cstdio>
#include <cstring>

#include "cloud/device_reports.h"
#include "core/byte_order.h"
#include "core/ext_address.h"
#include "core/link_frame.h"
#include "core/link_io.h"
#include "core/sensorlist_lock.h"
#include "devices/database_file.h"
#include "devices/sensor_section.h"
#include "devices/sensorlist_store.h"
#include "shared/device_list.h"
#include "shared/request_builders.h"
#include "shared/sensor_report.h"
#include "shared/status_counters.h"

namespace vorn::devices {

namespace {

void forget_section(const char *text) {
  SensorSectionLock lock(text);
  const core::SensorlistWriteLock write_lock;
  delete_sensor_section(text);
  commit_sensorlist(text, "the deletion of its section");
}

// A removal request of 21 bytes taken as they are: 4 hex digits of short address, one byte that
// is not used (producers leave a blank or a zero there), 16 hex digits of ExtAddress.
bool parse_removal_text(const char *removal, std::uint16_t *short_address, char *text, std::uint8_t *ext_address) {
  if (!shared::parse_address_text(reinterpret_cast<const std::uint8_t *>(removal), short_address)) return false;
  if (!core::parse_ext_address_digits(removal + 5, ext_address)) return false;
  core::ext_address_text(ext_address, text);
  return true;
}

}  // namespace

void handle_device_left(const std::uint8_t *frame) {
  std::uint8_t ext_address[core::kExtAddressSize];
  core::copy_ext_address(ext_address, frame + core::kLinkHeaderSize);
  if (!core::ext_address_is_set(ext_address)) return;
  char text[core::kExtAddressTextSize];
  core::ext_address_text(ext_address, text);
  std::printf("Device Left: %s\n", text);
  shared::device_list_remove(0, ext_address);
  remove_database_file(text);
  forget_section(text);

  shared::SensorReport report{};
  std::memcpy(report.sensor_id, text, sizeof text);
  cloud::report_left(&report);
  delete_error_flag(text);
  delete_oad_sensor(text);
}

void handle_device_not_active(const std::uint8_t *frame, std::size_t) {
  const std::uint8_t *payload = frame + core::kLinkHeaderSize;
  const std::uint16_t short_address = core::read_le16(payload + 2);
  std::uint8_t ext_address[core::kExtAddressSize];
  core::copy_ext_address(ext_address, payload + 4);
  char text[core::kExtAddressTextSize];
  core::ext_address_text(ext_address, text);
  std::printf("Device NotActive:\n\tShort Address: %04X\n\tExt. Address: %s\n", short_address, text);
  shared::sensor_not_active(short_address);

  char line[128];
  LineRead read = get_line(line, sizeof line, "sensorlist.@%s[].SensorVersion", text);
  if (read != LineRead::kNoLine) return;  // described itself (or the store could not be asked)
  std::printf("\tnot active kill Ext. Address: %s version : %s\n", text, line);
  remove_sensor(nullptr, ext_address, short_address);
}

int firmware_at_least_threshold(const char *ext_address_text) {
  char model[128] = {};
  char version[20] = {};
  GetSensorModelName(ext_address_text, model, "uci get sensorlist.@%s[0].ModelName", 128);
  if (model[0] == '\0') return 0;
  GetCurrentSensorVer(ext_address_text, version, "uci get sensorlist.@%s[0].ModelVersion", 19);
  const char *threshold = std::strncmp(model, "QX-", 3) == 0 ? "5.1.0.7" : "2.5.2.4";
  return above_checking_ver(version, threshold, ".", 4);
}

void remove_sensor(const char *removal_text, const std::uint8_t *ext_address_bytes, std::uint16_t short_address) {
  char text[core::kExtAddressTextSize];
  std::uint8_t ext_address[core::kExtAddressSize] = {};
  if (removal_text != nullptr) {
    if (!parse_removal_text(removal_text, &short_address, text, ext_address)) {
      char shown[22];
      for (int i = 0; i < 21; ++i) shown[i] = std::isprint(static_cast<unsigned char>(removal_text[i])) ? removal_text[i] : '.';
      shown[21] = '\0';
      std::printf("Removal request \"%s\" is not a short address and an ExtAddress in hexadecimal, refused\n", shown);
      return;
    }
  } else {
    core::copy_ext_address(ext_address, ext_address_bytes);
    core::ext_address_text(ext_address, text);
  }

  const std::uint8_t api_id =
      firmware_at_least_threshold(text) ? core::APP_REMOVE_DEVICE_NEW_REQ : core::APP_REMOVE_DEVICE_REQ;
  core::OutboundFrame frame(api_id, 10);
  if (!frame.ok()) return;
  std::uint8_t *p = core::write_le16(frame.payload(), short_address);
  core::copy_ext_address(p, ext_address);
  frame.send();

  if (api_id == core::APP_REMOVE_DEVICE_REQ) {
    // Old firmware never confirms its removal: forget the sensor now.
    forget_section(text);
    shared::device_list_remove(short_address, ext_address);
    delete_oad_sensor(text);
  }
}

}  // namespace vorn::devices
