#include "units_map_state.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string_view>

#include "cloud/units_map.h"
#include "common/json_doc.h"

namespace web {

// The files the daemon reads: a path changed there fails here.
static_assert(std::string_view(vorn::cloud::kUnitsMapPath) == kUnitsMapPath);
static_assert(std::string_view(vorn::cloud::kFactoryUnitsMapPath) == kFactoryUnitsMapPath);

namespace {

// Far larger than any map of one-byte type codes: a bigger file is not one.
constexpr off_t kMaxMapBytes = 1 << 20;

bool has_type(json_object *element, const char *key, json_type type) {
  json_object *value = agents::member(element, key);
  return value != nullptr && json_object_is_type(value, type);
}

// True when the file is a JSON array with an element the daemon takes: all six members, each of
// its own JSON type.
bool usable(const std::string &path, off_t size) {
  if (size <= 0 || size > kMaxMapBytes) return false;
  const int file = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (file < 0) return false;
  std::string text(static_cast<std::size_t>(size), '\0');
  std::size_t got = 0;
  for (ssize_t n; got < text.size() && (n = read(file, text.data() + got, text.size() - got)) > 0;)
    got += static_cast<std::size_t>(n);
  close(file);
  if (got != text.size()) return false;
  const agents::Json map = agents::parse_json(text);
  if (map == nullptr || !json_object_is_type(map.get(), json_type_array)) return false;
  for (std::size_t i = 0; i < json_object_array_length(map.get()); ++i) {
    json_object *element = json_object_array_get_idx(map.get(), i);
    if (has_type(element, "UID", json_type_int) && has_type(element, "Index", json_type_int) &&
        has_type(element, "IPSO", json_type_int) && has_type(element, "Name", json_type_string) &&
        has_type(element, "Type", json_type_string) && has_type(element, "Unit", json_type_array))
      return true;
  }
  return false;
}

}  // namespace

std::string UnitsMapWatch::state() {
  // The file the daemon would read: the map, or, while it is missing, the factory copy it
  // restores the map from before its next use.
  struct stat status {};
  const std::string *file = stat(path_.c_str(), &status) == 0           ? &path_
                            : stat(factory_path_.c_str(), &status) == 0 ? &factory_path_
                                                                        : nullptr;
  if (file == nullptr) {
    last_file_.clear();
    return "missing";
  }
  if (*file != last_file_ || status.st_dev != device_ || status.st_ino != inode_ || status.st_size != size_ ||
      status.st_ctim.tv_sec != changed_.tv_sec || status.st_ctim.tv_nsec != changed_.tv_nsec) {
    last_file_ = *file;
    device_ = status.st_dev;
    inode_ = status.st_ino;
    size_ = status.st_size;
    changed_ = status.st_ctim;  // also moves on chmod and rename
    last_state_ = S_ISREG(status.st_mode) && usable(*file, status.st_size) ? "ok" : "unreadable";
  }
  return last_state_;
}

}  // namespace web
