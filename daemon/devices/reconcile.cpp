#include "devices/reconcile.h"

#include <gateway_lib/utils.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "core/daemon_state.h"
#include "core/ext_address.h"
#include "core/sensorlist_lock.h"
#include "devices/sensorlist_store.h"
#include "shared/device_list.h"
#include "shared/device_list_guard.h"
#include "shared/segments.h"

namespace vorn::devices {

namespace {

// The value a "uci show ... | cut" pipeline printed, without its line end; false when none.
bool read_shown_value(const char *option, const std::uint8_t *ext_address, char *value, std::size_t size) {
  char text[core::kExtAddressTextSize];
  core::ext_address_text(ext_address, text);
  char line[255];
  if (!read_first_line(line, sizeof line, "uci show sensorlist.@%s[0].%s | cut -d\"'\" -f2", text, option))
    return false;
  line[std::strcspn(line, "\n")] = '\0';
  std::snprintf(value, size, "%s", line);
  return true;
}

template <typename Update>
void update_entry(std::uint16_t short_address, Update update) {
  shared::SegmentAttachment segment(core::daemon_state.device_list_segment_id);
  shared::DeviceEntryLock lock(short_address);
  update(static_cast<shared::DeviceListSegment *>(segment.address())->entries[short_address]);
}

void reconcile_line(const char *line) {
  std::uint8_t ext_address[core::kExtAddressSize] = {};
  if (line[0] == '\0' || line[0] == '\n') return;
  if (!core::parse_ext_address_digits(line, ext_address)) {
    std::printf("Sensor list line \"%.40s\" does not start with an ExtAddress, skipped\n", line);
    return;
  }
  char *value = nullptr;
  std::unique_ptr<char, decltype(&std::free)> owned(quoted_value(line, &value), &std::free);
  if (!owned) return;
  const auto short_address = static_cast<std::uint16_t>(hex_to_number(owned.get()));
  if (short_address == 0) return;

  if (load_model_version(short_address, ext_address) == 1) {
    shared::device_list_add(short_address, ext_address);
    load_event_interval(short_address, ext_address);
  } else {
    char text[core::kExtAddressTextSize];
    core::ext_address_text(ext_address, text);
    const core::SensorlistWriteLock write_lock;
    delete_sensor_section(text);
    commit_sensorlist(text, "the deletion of its section");
  }
}

}  // namespace

char *quoted_value(const char *line, char **value) {
  const char *open = std::strchr(line, '\'');
  if (open == nullptr) return nullptr;
  const char *close = std::strchr(open + 1, '\'');
  if (close == nullptr) return nullptr;
  const std::size_t length = static_cast<std::size_t>(close - open - 1);
  char *copy = static_cast<char *>(std::malloc(length + 1));
  if (copy == nullptr) return nullptr;
  std::memcpy(copy, open + 1, length);
  copy[length] = '\0';
  *value = copy;
  return copy;
}

std::uint32_t hex_to_number(const char *text) {
  if (text == nullptr) return 0;
  std::uint32_t value = 0;
  for (const char *c = text; *c != '\0'; ++c) value = value * 16 + static_cast<std::uint32_t>(hex_to_dec(*c));
  return value;
}

int load_model_version(std::uint16_t short_address, const std::uint8_t *ext_address) {
  if (!shared::is_device_index(short_address)) return 0;
  char version[255];
  if (!read_shown_value("ModelVersion", ext_address, version, sizeof version)) return 0;
  update_entry(short_address, [&](shared::DeviceListEntry &entry) { shared::store_text(entry.ModelVersion, version); });
  return 1;
}

void load_event_interval(std::uint16_t short_address, const std::uint8_t *ext_address) {
  if (!shared::is_device_index(short_address)) return;
  char interval[255];
  if (!read_shown_value("EventInterval", ext_address, interval, sizeof interval)) return;
  update_entry(short_address, [&](shared::DeviceListEntry &entry) { entry.EventInterval = std::atoi(interval); });
}

void reconcile_sensor_list() {
  ReadPipe pipe = open_read_pipe("uci show sensorlist | grep ShortAddress | cut -d\"@\" -f2");
  if (!pipe) return;
  char line[255];
  for (;;) {
    std::memset(line, 0, sizeof line);
    if (!read_pipe_line(pipe.get(), line, 254)) break;
    reconcile_line(line);
  }
}

}  // namespace vorn::devices
