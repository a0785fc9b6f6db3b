// Whether the daemon can name channels: its units map, or the factory copy it restores the map
// from when the map is gone. Without either, channels reach the page without names.
#pragma once

#include <sys/types.h>

#include <ctime>
#include <string>

namespace web {

constexpr const char *kUnitsMapPath = "/etc/TavikUnitsMapv2.json";
constexpr const char *kFactoryUnitsMapPath = "/rom/etc/TavikUnitsMapv2.json";

class UnitsMapWatch {
 public:
  explicit UnitsMapWatch(std::string path = kUnitsMapPath, std::string factory_path = kFactoryUnitsMapPath)
      : path_(std::move(path)), factory_path_(std::move(factory_path)) {}

  // "ok" (the map, or the factory copy while the map is missing, is a JSON array with at least
  // one element the daemon takes), "missing" (neither file is there) or "unreadable" (the file the
  // daemon would use cannot be read, does not parse, or has no element it takes). The file is
  // read again only when it changed.
  std::string state();

 private:
  std::string path_, factory_path_;
  std::string last_file_, last_state_;
  dev_t device_ = 0;
  ino_t inode_ = 0;
  off_t size_ = -1;
  timespec changed_{};
};

}  // namespace web
