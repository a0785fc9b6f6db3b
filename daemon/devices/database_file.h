// The per-sensor database file, copied from the factory template when a sensor joins.
#pragma once

#include <cstddef>

namespace vorn::devices {

constexpr const char *kDatabaseTemplate = "/rom/etc/default_data.sqlite";

// "/etc/data/<sensor id>.sqlite" into a 128-byte buffer.
void database_path(const char *ext_address_text, char *path, std::size_t size);

// Copies the template when the file is missing; after a one-second pause, copies it again when
// the file is smaller than the template (a copy cut short by a power loss).
void ensure_database_file(const char *ext_address_text);

// Deletes the file (the sensor left the network).
void remove_database_file(const char *ext_address_text);

}  // namespace vorn::devices
