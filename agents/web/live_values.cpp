#include "live_values.h"

#include <gateway_lib/shm_channel.h>
#include <json-c/json.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "api_params.h"
#include "common/json_doc.h"

namespace web {

using agents::Json;
using agents::member;
using agents::number_member;
using agents::parse_json;
using agents::string_member;

namespace {

constexpr std::size_t kMaxPoints = 512;  // records of one channel in one body

struct MetaEntry {
  char name[17];
  std::uint8_t type;
  char unit[5];
};
static_assert(sizeof(MetaEntry) == 23 && offsetof(MetaEntry, type) == 17 && offsetof(MetaEntry, unit) == 18);

std::string bounded(const char *text, std::size_t size) { return std::string(text, strnlen(text, size)); }

}  // namespace

std::optional<LiveReading> parse_live_reading(const std::string &body) {
  const Json document = parse_json(body);
  json_object *data = member(document.get(), "Data");
  json_object *values = member(data, "Values");
  if (values == nullptr || !json_object_is_type(values, json_type_array)) return std::nullopt;
  LiveReading reading;
  reading.base_time_ms = number_member(data, "BaseTime", 0);
  const std::size_t count = json_object_array_length(values);
  for (std::size_t i = 0; i < count && i < static_cast<std::size_t>(kMaxChannels); ++i) {
    json_object *channel = json_object_array_get_idx(values, i);
    json_object *points = member(channel, "Values");
    LiveChannel live{string_member(channel, "Name"), std::nullopt};
    const std::size_t point_count = points != nullptr && json_object_is_type(points, json_type_array)
                                        ? json_object_array_length(points) : 0;
    for (std::size_t p = 0; p < point_count && p < kMaxPoints; ++p) {
      json_object *point = json_object_array_get_idx(points, p);
      json_object *value = member(point, "V");
      LivePoint kept{number_member(point, "T", 0), std::nullopt};
      if (value != nullptr && (json_object_is_type(value, json_type_double) || json_object_is_type(value, json_type_int)))
        kept.value = json_object_get_double(value);
      live.points.push_back(kept);
    }
    if (!live.points.empty()) live.value = live.points.back().value;
    reading.channels.push_back(std::move(live));
  }
  return reading;
}

std::vector<ChannelMeta> parse_channel_meta(const std::string &bytes) {
  std::vector<ChannelMeta> channels;
  for (std::size_t at = 0; at + sizeof(MetaEntry) <= bytes.size() && channels.size() < kMaxChannels; at += sizeof(MetaEntry)) {
    MetaEntry entry;
    std::memcpy(&entry, bytes.data() + at, sizeof entry);
    channels.push_back(ChannelMeta{bounded(entry.name, sizeof entry.name), bounded(entry.unit, sizeof entry.unit), entry.type});
  }
  return channels;
}

std::string read_channel(const std::string &name) {
  std::int32_t size = 0;
  struct FreeBytes {
    void operator()(void *p) const { std::free(p); }
  };
  const std::unique_ptr<void, FreeBytes> content(share_memory_read_noneblock(name.c_str(), &size, 10));
  return content && size > 0 ? std::string(static_cast<const char *>(content.get()), static_cast<std::size_t>(size)) : "";
}

}  // namespace web
