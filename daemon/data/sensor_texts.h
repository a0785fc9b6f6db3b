// The texts a sensor describes itself with: version numbers, packed dates, and their storing in
// the sensor's sensorlist section.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>

namespace vorn::data {

// "b0.b1.b2.b3" into a 16-byte field.
void version_text(const std::uint8_t *bytes, char (&text)[16]);
// b0·2^24 + b1·2^16 + b2·2^8 + b3, for comparisons.
std::uint32_t version_number(const std::uint8_t *bytes);

// A packed 16-bit date as "%04d/%02d/%02d". The masks 0x7E and 0x0E drop bit 9 and bit 5, as
// every stored date already shows them (0x2C21 reads 2022/00/01).
void packed_date_text(std::uint16_t value, char *text, std::size_t size);

// A received text made fit to stand between double quotes in a shell command. The four
// characters the shell interprets there (" $ ` \) are escaped with a backslash, so the stored
// value equals the text; control bytes and bytes outside printable ASCII are dropped, since
// neither a command line nor the configuration file can carry them. `out` holds twice the text.
void quote_for_shell(const char *text, char *out, std::size_t size);

struct SensorOption {
  const char *name;
  const char *value;
};

// One group of writes to the sensor's sensorlist section, under the sensor's section lock: uci set
// sensorlist.@<sensor id>[].<option>="<value>" for each option, the values quoted as above, then
// EventInterval when one is given, then the commit. A sensor of the DeviceList (`short_address`
// 1..100) whose section is not there yet, because its join is still being handled, gets it added
// with its ShortAddress first, so what it says of itself is never lost. Nothing runs for an id
// that is not 16 hexadecimal digits.
void set_sensor_options(const char *ext_address_text, int short_address, std::initializer_list<SensorOption> options,
                        std::optional<int> event_interval);

}  // namespace vorn::data
