// What Home Assistant makes of a channel: its device class, the unit as Home Assistant spells it
// for that class, and the state class that keeps long-term statistics. Home Assistant refuses a
// config whose unit is not one of its device class's units, spelled exactly, so a channel whose
// unit fits no class gets none.
#pragma once

#include <string>

namespace mqtt_agent {

struct ChannelClass {
  std::string device_class;  // "" when none fits
  std::string unit;          // Home Assistant's spelling; "" for none (pH)
  std::string state_class;   // "measurement" unless the class wants a total
};

// From the channel's type text (the units map's "Type"), and else its unit, as the sensor sends it
// (the channel list cuts units to 4 characters: "L/mi" stands for "L/min").
ChannelClass classify_channel(const std::string &type_text, const std::string &unit);

// The unit in Home Assistant's spelling ("%RH" -> "%", "m3/h" -> "m³/h"); unknown units unchanged.
std::string home_assistant_unit(const std::string &unit);

}  // namespace mqtt_agent
