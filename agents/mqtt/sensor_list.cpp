#include "sensor_list.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "sensor_id.h"

namespace mqtt_agent {

namespace {

// The list of 100 sensors is some tens of kilobytes; a larger file is not read past this.
constexpr std::size_t kMostBytes = 1 << 20;

// The words of one statement: bare, 'single-quoted' (no escapes) or "double-quoted" (backslash
// escapes) runs, adjoining pieces joined; '#' starts a comment. One statement per line.
std::vector<std::string> statement_words(const std::string &text, std::size_t &pos) {
  std::vector<std::string> words;
  std::string word;
  bool in_word = false;
  while (pos < text.size()) {
    const char c = text[pos];
    if (c == '\n') {
      ++pos;
      break;
    }
    if (c == ' ' || c == '\t' || c == '\r') {
      if (in_word) words.push_back(std::move(word));
      word.clear();
      in_word = false;
      ++pos;
    } else if (c == '#' && !in_word) {
      while (pos < text.size() && text[pos] != '\n') ++pos;
    } else if (c == '\'' || c == '"') {
      in_word = true;
      for (++pos; pos < text.size() && text[pos] != c; ++pos) {
        if (c == '"' && text[pos] == '\\' && pos + 1 < text.size()) ++pos;
        word += text[pos];
      }
      ++pos;  // the closing quote
    } else if (c == '\\' && pos + 1 < text.size()) {
      in_word = true;
      word += text[pos + 1];
      pos += 2;
    } else {
      in_word = true;
      word += c;
      ++pos;
    }
  }
  if (in_word) words.push_back(std::move(word));
  return words;
}

std::optional<int> number(const std::string &text) {
  if (text.empty()) return std::nullopt;
  char *end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (*end != '\0' || value < -2147483647L || value > 2147483647L) return std::nullopt;
  return static_cast<int>(value);
}

struct FileClose {
  void operator()(FILE *file) const { std::fclose(file); }
};

}  // namespace

std::map<std::string, StoredSensor> parse_sensor_list(const std::string &text) {
  std::map<std::string, StoredSensor> sensors;
  StoredSensor *current = nullptr;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::vector<std::string> words = statement_words(text, pos);
    if (words.empty()) continue;
    if (words[0] == "config") {
      // The daemon adds one anonymous section per sensor, typed by its id.
      current = words.size() >= 2 && is_sensor_id(words[1]) ? &sensors[upper_sensor_id(words[1])] : nullptr;
    } else if (words[0] == "option" && words.size() >= 3 && current != nullptr) {
      const std::string &key = words[1], &value = words[2];
      if (key == "ShortAddress") current->short_address = value;
      else if (key == "DeviceName") current->name = value;
      else if (key == "EventInterval") current->interval = number(value);
      else if (key == "EventIntervalUserWanted") current->interval_wanted = number(value);
    }
  }
  return sensors;
}

void SensorList::refresh() {
  struct stat info {};
  if (stat(path_.c_str(), &info) != 0) {
    sensors_.clear();
    loaded_ = false;
    return;
  }
  if (loaded_ && info.st_ino == inode_ && info.st_size == size_ && info.st_mtim.tv_sec == modified_.tv_sec &&
      info.st_mtim.tv_nsec == modified_.tv_nsec)
    return;
  std::string text;
  if (const std::unique_ptr<FILE, FileClose> file{std::fopen(path_.c_str(), "re")}) {
    char buffer[4096];
    std::size_t got = 0;
    while (text.size() < kMostBytes && (got = std::fread(buffer, 1, sizeof buffer, file.get())) > 0) text.append(buffer, got);
  }
  sensors_ = parse_sensor_list(text);
  loaded_ = true;
  inode_ = info.st_ino;
  size_ = info.st_size;
  modified_ = info.st_mtim;
}

std::optional<StoredSensor> SensorList::find(const std::string &id) {
  refresh();
  const auto found = sensors_.find(upper_sensor_id(id));
  if (found == sensors_.end()) return std::nullopt;
  return found->second;
}

bool SensorList::knows(const std::string &id) {
  if (!is_sensor_id(id)) return false;
  const auto sensor = find(id);
  return sensor && sensor->short_address.size() == 4;
}

const std::map<std::string, StoredSensor> &SensorList::all() {
  refresh();
  return sensors_;
}

}  // namespace mqtt_agent
