// Checks shared by the cloud commands. Every value comes from outside the gateway: none reaches a
// shell command or a frame before it has passed one of these.
#pragma once

#include <json-c/json.h>

#include <cstddef>

#include "core/ext_address.h"

namespace vorn::commands {

// The 4 hex digits of a sensor's ShortAddress, as the queued requests carry them.
constexpr std::size_t kAddressDigits = 4;

// Logs one line saying that the command was refused and why, with a short, printable excerpt of
// the offending value (none when `value` is null).
void refuse_command(const char *key, const char *value, const char *reason);

enum class SensorIdValue {
  kNotString,  // not a string: the key does not apply
  kRefused,    // a string that is not 16 hexadecimal digits: refused with a log line
  kValid,
};
// A key whose value names a sensor by its ExtAddress text; `text` is set when valid.
SensorIdValue read_sensor_id_value(const char *key, json_object *value, const char **text);

// Reads the sensor's ShortAddress from sensorlist; true when a line longer than 4 characters came
// back, whose first 4 characters are then in `digits` (terminated).
bool read_short_address_digits(const char *ext_address_text, char (&digits)[kAddressDigits + 1]);

// An integer short address in 1..100 (taken as json-c's 32-bit int).
bool read_device_index(json_object *value, int *index);

// An integer short address in 1..100 whose DeviceList entry is in use; `text` then holds the
// sensor's ExtAddress text.
bool read_known_sensor(json_object *value, int *index, char (&text)[core::kExtAddressTextSize]);

// A decimal text read as atoi reads it, but saturated to the int range instead of overflowing.
int decimal_value(const char *text);

// A string value naming a file for the collector: at most `max_length` characters (so it fits
// the payload with its terminator), all printable ASCII. Otherwise refused with a log line.
bool file_text_acceptable(const char *key, json_object *value, std::size_t max_length);

}  // namespace vorn::commands
