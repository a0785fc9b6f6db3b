#include "cloud/units_map.h"

#include <gateway_lib/utils.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>

#include "cloud/json_document.h"
#include "cloud/report_channels.h"
#include "core/shell_command.h"

namespace vorn::cloud {

namespace {

// The map as this process last parsed it, with the file's identity and change time then. A handler
// looks up every channel of a frame; the file is parsed again only when it has changed since.
struct ParsedMap {
  JsonPtr map;
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = -1;
  timespec changed{};
};

bool same_file(const ParsedMap &parsed, const struct stat &now) {
  return parsed.size == now.st_size && parsed.device == now.st_dev && parsed.inode == now.st_ino &&
         parsed.changed.tv_sec == now.st_mtim.tv_sec && parsed.changed.tv_nsec == now.st_mtim.tv_nsec;
}

// Never destroyed: a handler that inherited the map parsed ends without freeing it page by page.
ParsedMap &parsed_map() {
  static auto *parsed = new ParsedMap;
  return *parsed;
}

// The map as the file now is: parsed again only when the file changed since, also after a parse
// that failed (the main process looks before every frame).
json_object *parsed_as_now(ParsedMap &parsed) {
  struct stat now {};
  if (stat(kUnitsMapPath, &now) != 0) {
    parsed = ParsedMap{};
    return nullptr;
  }
  if (!same_file(parsed, now)) {
    parsed.map = parse_json_file(kUnitsMapPath);
    parsed.device = now.st_dev;
    parsed.inode = now.st_ino;
    parsed.size = now.st_size;
    parsed.changed = now.st_mtim;
  }
  return parsed.map.get();
}

json_object *read_units_map() {
  if (!isFileExisted(kUnitsMapPath)) core::_system("cp -f %s %s", kFactoryUnitsMapPath, kUnitsMapPath);
  return parsed_as_now(parsed_map());
}

json_object *member_of_type(json_object *element, const char *key, json_type type) {
  json_object *member = nullptr;
  if (!json_object_object_get_ex(element, key, &member) || !json_object_is_type(member, type)) return nullptr;
  return member;
}

// An element counts only with all six members, each of its own JSON type.
bool is_map_element(json_object *element) {
  return member_of_type(element, "UID", json_type_int) && member_of_type(element, "Index", json_type_int) &&
         member_of_type(element, "IPSO", json_type_int) && member_of_type(element, "Name", json_type_string) &&
         member_of_type(element, "Type", json_type_string) && member_of_type(element, "Unit", json_type_array);
}

}  // namespace

void keep_units_map_parsed() { (void)parsed_as_now(parsed_map()); }

void lookup_units_map(ChannelLabel *label) {
  json_object *map = read_units_map();
  if (map == nullptr) return;  // unreadable: the caller's texts stay
  // A map that is not an array has no entries: every code is unknown.
  std::size_t count = json_object_is_type(map, json_type_array) ? json_object_array_length(map) : 0;
  for (std::size_t i = 0; i < count; ++i) {
    json_object *element = json_object_array_get_idx(map, i);
    if (!is_map_element(element)) continue;
    if (json_object_get_int64(member_of_type(element, "Index", json_type_int)) != label->type) continue;
    std::snprintf(label->name, sizeof label->name, "%s", json_object_get_string(member_of_type(element, "Name", json_type_string)));
    std::snprintf(label->type_text, sizeof label->type_text, "%s",
                  json_object_get_string(member_of_type(element, "Type", json_type_string)));
    return;
  }
  std::snprintf(label->name, sizeof label->name, "Unknown");
  std::snprintf(label->type_text, sizeof label->type_text, "%d", label->type);
}

ChannelLabel lookup_type_label(std::uint8_t type) {
  ChannelLabel label{};
  label.type = type;
  lookup_units_map(&label);
  return label;
}

void channel_display_name(const shared::SensorReport *report, int channel, ChannelLabel *label) {
  if (report == nullptr) return;
  int count = reported_channels(report);
  if (channel < 0 || channel >= count) return;
  std::memset(label, 0, sizeof *label);
  label->type = report->channel_types[channel];
  lookup_units_map(label);

  int same_before = 0, same_after = 0;
  for (int other = 0; other < count; ++other) {
    if (other == channel || report->channel_types[other] != label->type) continue;
    (other < channel ? same_before : same_after) += 1;
  }
  if (same_before + same_after == 0) return;
  // Several channels of one type: numbered in channel order. The name keeps at most 31 characters,
  // so a 31-character name loses its number.
  char numbered[sizeof label->name + 16];
  std::snprintf(numbered, sizeof numbered, "%s%d", label->name, same_before + 1);
  std::snprintf(label->name, sizeof label->name, "%.31s", numbered);
}

}  // namespace vorn::cloud
