#include "device_classes.h"

#include <cctype>
#include <initializer_list>

namespace mqtt_agent {

namespace {

// Units of the units map that Home Assistant spells otherwise, with the 4-character cuts of the
// channel list ("ug/m" for "ug/m3").
struct Spelling {
  const char *sensor, *home_assistant;
};
const Spelling kSpellings[] = {
    {"%RH", "%"},        {"%VWC", "%"},          {"m3/h", "m³/h"},     {"gpm", "gal/min"},  {"L/mi", "L/min"},
    {"ug/m3", "µg/m³"},  {"ug/m", "µg/m³"},      {"uS/cm", "µS/cm"},   {"uS/c", "µS/cm"},   {"m/s2", "m/s²"},
    {"deg", "°"},        {"ohm", "Ω"},           {"pH", ""},           {"stat", "state"},   {"coun", "count"},
    {"degC", "°C"},      {"degF", "°F"},         {"uV", "µV"},         {"uA", "µA"},        {"ft3/min", "ft³/min"},
};

// The device classes a channel can get, with their units and state classes.
struct ClassRule {
  const char *device_class;
  std::initializer_list<const char *> units;
  std::initializer_list<const char *> state_classes;  // the first is the one given
};
const ClassRule kClasses[] = {
    {"temperature", {"°C", "°F", "K"}, {"measurement"}},
    {"humidity", {"%"}, {"measurement"}},
    {"moisture", {"%"}, {"measurement"}},
    {"voltage", {"µV", "mV", "V", "kV", "MV"}, {"measurement"}},
    {"current", {"mA", "A"}, {"measurement"}},
    {"pressure", {"Pa", "hPa", "kPa", "mPa", "bar", "cbar", "mbar", "mmHg", "inHg", "psi"}, {"measurement"}},
    {"atmospheric_pressure", {"Pa", "hPa", "kPa", "mPa", "bar", "cbar", "mbar", "mmHg", "inHg", "psi"}, {"measurement"}},
    {"co2", {"ppm"}, {"measurement"}},
    {"volatile_organic_compounds_parts", {"ppb", "ppm"}, {"measurement"}},
    {"volatile_organic_compounds", {"µg/m³"}, {"measurement"}},
    {"pm25", {"µg/m³"}, {"measurement"}},
    {"pm10", {"µg/m³"}, {"measurement"}},
    {"illuminance", {"lx"}, {"measurement"}},
    {"sound_pressure", {"dB", "dBA"}, {"measurement"}},
    {"signal_strength", {"dB", "dBm"}, {"measurement"}},
    {"ph", {""}, {"measurement"}},
    {"distance", {"km", "m", "cm", "mm", "mi", "yd", "in", "ft"}, {"measurement"}},
    {"volume_flow_rate", {"m³/h", "L/min", "L/h", "mL/s", "gal/min", "ft³/min"}, {"measurement"}},
    {"power", {"mW", "W", "kW", "MW", "GW", "TW"}, {"measurement"}},
    // A meter's energy only grows; Home Assistant allows no measurement here.
    {"energy", {"Wh", "kWh", "MWh"}, {"total_increasing", "total"}},
    {"frequency", {"Hz", "kHz", "MHz", "GHz"}, {"measurement"}},
    {"conductivity", {"S/cm", "mS/cm", "µS/cm"}, {"measurement"}},
    {"wind_speed", {"m/s", "km/h", "mph", "kn", "ft/s"}, {"measurement"}},
};

// The units map's type texts (lower case) and the classes they may take, tried in order until one
// allows the channel's unit. A type of no class may still want a total.
struct TypeRule {
  const char *type_text;
  std::initializer_list<const char *> classes;
  const char *state_class = "measurement";
};
const TypeRule kTypes[] = {
    {"temperature", {"temperature"}},
    {"humidity", {"humidity"}},
    {"pressure", {"pressure"}},
    {"barometric pressure", {"atmospheric_pressure"}},
    {"carbon dioxide", {"co2"}},
    {"voltage", {"voltage"}},
    {"battery voltage", {"voltage"}},
    {"current", {"current"}},
    {"distance", {"distance"}},
    {"liquid level", {"distance"}},
    {"flow rate", {"volume_flow_rate"}},
    {"illuminance", {"illuminance"}},
    {"active power", {"power"}},
    {"energy", {"energy"}},
    {"particulate matter 2.5", {"pm25"}},
    {"particulate matter 10", {"pm10"}},
    {"volatile organic compounds", {"volatile_organic_compounds_parts", "volatile_organic_compounds"}},
    {"sound level", {"sound_pressure"}},
    {"soil moisture", {"moisture"}},
    {"electrical conductivity", {"conductivity"}},
    {"acidity", {"ph"}},
    {"frequency", {"frequency"}},
    {"wind speed", {"wind_speed"}},
    {"signal strength", {"signal_strength"}},
    // A pulse counter only counts up: its statistics are a sum, not a mean.
    {"pulse counter", {}, "total_increasing"},
};

// Units that name one class whatever the type text (a channel of a type the map does not know).
struct UnitRule {
  const char *unit, *device_class;
};
const UnitRule kUnitClasses[] = {
    {"°C", "temperature"}, {"°F", "temperature"}, {"K", "temperature"},  {"V", "voltage"},      {"mV", "voltage"},
    {"kV", "voltage"},     {"A", "current"},      {"mA", "current"},     {"Pa", "pressure"},    {"kPa", "pressure"},
    {"hPa", "pressure"},   {"bar", "pressure"},   {"mbar", "pressure"},  {"psi", "pressure"},   {"lx", "illuminance"},
    {"W", "power"},        {"kW", "power"},       {"Wh", "energy"},      {"kWh", "energy"},     {"Hz", "frequency"},
    {"m³/h", "volume_flow_rate"}, {"L/min", "volume_flow_rate"},         {"dBm", "signal_strength"},
};

const ClassRule *class_rule(const std::string &name) {
  for (const ClassRule &rule : kClasses)
    if (name == rule.device_class) return &rule;
  return nullptr;
}

bool allows(const ClassRule &rule, const std::string &unit) {
  for (const char *allowed : rule.units)
    if (unit == allowed) return true;
  return false;
}

std::string lower(std::string text) {
  for (char &c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

std::string home_assistant_unit(const std::string &unit) {
  for (const Spelling &spelling : kSpellings)
    if (unit == spelling.sensor) return spelling.home_assistant;
  return unit;
}

ChannelClass classify_channel(const std::string &type_text, const std::string &unit) {
  ChannelClass result{"", home_assistant_unit(unit), "measurement"};
  const std::string type = lower(type_text);
  const TypeRule *type_rule = nullptr;
  for (const TypeRule &rule : kTypes)
    if (type == rule.type_text) type_rule = &rule;
  if (type_rule != nullptr) {
    result.state_class = type_rule->state_class;
    for (const char *name : type_rule->classes) {
      const ClassRule *rule = class_rule(name);
      if (rule != nullptr && allows(*rule, result.unit)) {
        result.device_class = name;
        break;
      }
    }
  } else {
    for (const UnitRule &rule : kUnitClasses)
      if (result.unit == rule.unit) result.device_class = rule.device_class;
  }
  if (const ClassRule *rule = class_rule(result.device_class)) result.state_class = *rule->state_classes.begin();
  return result;
}

}  // namespace mqtt_agent
