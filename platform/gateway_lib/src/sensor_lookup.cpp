// Sensor facts read from the uci package "sensorlist" through the uci tool.
#include <gateway_lib/utils.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "command_output.h"
#include "sensor_id.h"

namespace {

// A template qualifies when it holds exactly one conversion and that conversion is %s: the
// sensor id is the only thing that gets into the command.
bool template_is_safe(const char *command_template) {
    if (command_template == nullptr) return false;
    int conversions = 0;
    for (const char *p = command_template; *p != '\0'; ++p) {
        if (*p != '%') continue;
        if (p[1] != 's') return false;
        ++conversions;
        ++p;
    }
    return conversions == 1;
}

int read_sensor_value(const char *sensor_id, char *buf, const char *command_template, int size) {
    if (buf == nullptr || size <= 0) return -1;
    buf[0] = '\0';
    if (!gwlib::sensor_id::is_valid(sensor_id) || !template_is_safe(command_template)) return -1;
    const char *mark = std::strstr(command_template, "%s");
    std::string command(command_template, mark);
    command += sensor_id;
    command += mark + 2;
    command += " 2>/dev/null";  // the tool's "Entry not found" is expected, not news
    const auto out = gwlib::command::first_line(command, static_cast<std::size_t>(size) - 1);
    if (!out.started) return -1;
    gwlib::command::copy_bounded(out.line, buf, static_cast<std::size_t>(size));
    return 0;
}

// The sensor's ShortAddress text when it is exactly 4 hexadecimal digits.
std::optional<std::string> short_address_text(const char *sensor_id) {
    if (!gwlib::sensor_id::is_valid(sensor_id)) return std::nullopt;
    const std::string command = std::string("uci -q get sensorlist.@") + sensor_id + "[].ShortAddress";
    const auto out = gwlib::command::first_line(command, 16);
    if (out.line.size() != 4) return std::nullopt;
    for (char c : out.line) {
        if (std::isxdigit(static_cast<unsigned char>(c)) == 0) return std::nullopt;
    }
    return out.line;
}

}  // namespace

extern "C" {

int GetSensorModelName(const char *sensor_id, char *buf, const char *command_template, int size) {
    return read_sensor_value(sensor_id, buf, command_template, size);
}

int GetCurrentSensorVer(const char *sensor_id, char *buf, const char *command_template, int size) {
    return read_sensor_value(sensor_id, buf, command_template, size);
}

int GetShortAddrStr(const char *sensor_id, char **out) {
    if (out == nullptr) return -1;
    *out = nullptr;
    const auto text = short_address_text(sensor_id);
    if (!text) return -1;
    *out = strdup(text->c_str());
    return *out != nullptr ? 0 : -1;
}

uint16_t GetSensorShortAddr(const char *sensor_id) {
    const auto text = short_address_text(sensor_id);
    if (!text) return 0;
    return static_cast<uint16_t>(std::strtoul(text->c_str(), nullptr, 16));
}

}  // extern "C"
