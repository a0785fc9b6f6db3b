// Fuzz target: the units map. Each input becomes the file /etc/TavikUnitsMapv2.json; then a few
// type codes are looked up alone and as the channels of a report in which several channels share
// a type, so that numbered names are made too. Every label must come back terminated in its field.
// Runs inside a router sandbox, where /etc is private.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "cloud/units_map.h"
#include "shared/sensor_report.h"

namespace {

using vorn::cloud::ChannelLabel;

void check_terminated(const ChannelLabel &label) {
  if (strnlen(label.name, sizeof label.name) == sizeof label.name ||
      strnlen(label.type_text, sizeof label.type_text) == sizeof label.type_text)
    __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  FILE *map = std::fopen(vorn::cloud::kUnitsMapPath, "wb");
  if (map == nullptr) return 0;
  const bool written = std::fwrite(data, 1, size, map) == size;
  if (std::fclose(map) != 0 || !written) return 0;

  for (std::uint8_t type : {0, 1, 3, 30, 255}) check_terminated(vorn::cloud::lookup_type_label(type));

  vorn::shared::SensorReport report{};
  const std::uint8_t types[] = {1, 2, 1, 255, 1};
  report.channel_count = sizeof types;
  std::memcpy(report.channel_types, types, sizeof types);
  for (int channel = 0; channel < report.channel_count; ++channel) {
    ChannelLabel label{};
    vorn::cloud::channel_display_name(&report, channel, &label);
    check_terminated(label);
  }
  return 0;
}
