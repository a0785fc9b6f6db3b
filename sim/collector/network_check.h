// A strict check of a network file before anything runs: where the collector quietly leaves out
// a bad sensor (and falls back to the default network for a bad file), this names every fault
// with the file, the sensor and the field, so a demo never starts on a network it did not ask for.
#pragma once

#include <string>
#include <vector>

namespace sim {

// The gateway keeps at most this many sensors (its DeviceList holds short addresses 1 to 100).
constexpr std::size_t kGatewaySensorLimit = 100;

// Every fault of the file's text, one line each ("<name>: sensor 3 (00124B...): Field: why");
// empty when the network is sound. `name` is how the lines call the file.
std::vector<std::string> check_network_text(const std::string &text, const std::string &name);

// The same for a file on disk; an unreadable file is one fault.
std::vector<std::string> check_network_file(const std::string &path);

}  // namespace sim
