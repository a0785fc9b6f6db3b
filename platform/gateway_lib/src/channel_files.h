// Where shared-memory channels live and which names they may have; shared by the library and
// the shmchan tool.
#pragma once

#include <string>
#include <vector>

namespace gwlib::channel {

constexpr const char *kDirectory = "/dev/shm";
constexpr std::size_t kMaxNameLength = 64;

// 1..64 characters from A-Z, a-z, 0-9, '_' and '-': nothing that could leave the folder, and
// never the name of one of the library's temporary files (they start with '.').
bool name_is_valid(const char *name);

// "/dev/shm/<name>" for a valid name.
std::string path_of(const char *name);

// The names of the channels that exist now, sorted.
std::vector<std::string> list();

}  // namespace gwlib::channel
