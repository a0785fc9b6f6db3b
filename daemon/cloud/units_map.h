// Channel names: type codes turned into names and type texts through the units map.
#pragma once

#include <cstddef>
#include <cstdint>

#include "shared/sensor_report.h"

namespace vorn::cloud {

constexpr const char *kUnitsMapPath = "/etc/TavikUnitsMapv2.json";
constexpr const char *kFactoryUnitsMapPath = "/rom/etc/TavikUnitsMapv2.json";

// The record through which a lookup is made: the caller clears it and sets the type code; the
// lookup writes the two texts.
struct ChannelLabel {
  std::uint8_t type;
  char name[32];
  char type_text[32];
};
static_assert(sizeof(ChannelLabel) == 65);
static_assert(offsetof(ChannelLabel, name) == 1 && offsetof(ChannelLabel, type_text) == 33);

void lookup_units_map(ChannelLabel *label);

// Parses the map in this process when the file is there and has changed since, so that the handler
// processes forked from it find it parsed and only look whether the file changed. It never
// restores a missing file: the first lookup does.
void keep_units_map_parsed();

// The label of a type code alone, without numbering.
ChannelLabel lookup_type_label(std::uint8_t type);

// The label of channel `channel` of a report, numbered when several channels share its type.
void channel_display_name(const shared::SensorReport *report, int channel, ChannelLabel *label);

}  // namespace vorn::cloud
