#include "data/channel_metadata.h"

#include <gateway_lib/alarm_flags.h>
#include <gateway_lib/middleware.h>
#include <gateway_lib/shm_channel.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "cloud/units_map.h"

namespace vorn::data {

namespace {

constexpr int kChannelTimeout = 10;
constexpr const char *kCloudStore = "/etc/config/cloud.sqlite";

struct FreeDeleter {
  void operator()(void *p) const { std::free(p); }
};
using PublishedBytes = std::unique_ptr<void, FreeDeleter>;

void meta_key(const char *sensor_id, char (&key)[22]) { std::snprintf(key, sizeof key, "%s_meta", sensor_id); }

// Owners of what the middleware calls hand out.
struct DataEntry {
  data_entry entry{};
  ~DataEntry() { free_data_entry(&entry); }
};
struct MiddlewareHandle {
  middleware_obj handle{};
  ~MiddlewareHandle() { destory_middleware_obj(&handle); }
};
struct MiddlewareResult {
  middleware_entry rows{};
  ~MiddlewareResult() { free_middleware_entry(&rows); }
};

// A column's text of a result row, at most 32 characters; "" when the row lacks it.
void column_text(const middleware_row &row, const char *name, char (&text)[33]) {
  text[0] = '\0';
  for (int i = 0; i < row.count; ++i) {
    const middleware_column &column = row.columns[i];
    if (column.name != nullptr && column.value != nullptr && std::strcmp(column.name, name) == 0) {
      std::snprintf(text, sizeof text, "%s", column.value);
      return;
    }
  }
}

bool row_matches(const middleware_row &row, const shared::ChannelMeta &meta) {
  char channel[33], type[33];
  column_text(row, "Channel", channel);
  column_text(row, "Type", type);
  const std::size_t length = std::strlen(channel);
  if (length > sizeof meta.name || std::strncmp(meta.name, channel, length) != 0) return false;
  cloud::ChannelLabel label{};
  label.type = meta.type;
  cloud::lookup_units_map(&label);
  label.type_text[sizeof label.type_text - 1] = '\0';
  return std::strcmp(label.type_text, type) == 0;
}

}  // namespace

int publish_channel_meta(const char *sensor_id, const shared::ChannelMeta *meta, int count) {
  char key[22];
  meta_key(sensor_id, key);
  // Read without emptying: the new list replaces the old one whole, so a Data Frame Request
  // handled meanwhile never finds the channel empty.
  std::int32_t size = 0;
  PublishedBytes old(share_memory_read_noneblock(key, &size, kChannelTimeout));
  int changed = 0;
  if (old) {
    const std::size_t bytes = sizeof(shared::ChannelMeta) * static_cast<std::size_t>(count);
    changed = static_cast<std::size_t>(size) / sizeof(shared::ChannelMeta) != static_cast<std::size_t>(count) ||
              std::memcmp(old.get(), meta, bytes) != 0;
  }
  share_memory_write_noneblock(key, meta, static_cast<int>(sizeof(shared::ChannelMeta)) * count, kChannelTimeout);
  return changed;
}

std::vector<shared::ChannelMeta> read_channel_meta(const char *sensor_id, int min_count, int *published) {
  char key[22];
  meta_key(sensor_id, key);
  std::int32_t size = 0;
  PublishedBytes bytes(share_memory_read_noneblock(key, &size, kChannelTimeout));
  *published = bytes && size > 0 ? static_cast<int>(static_cast<std::size_t>(size) / sizeof(shared::ChannelMeta)) : 0;
  std::vector<shared::ChannelMeta> meta;
  if (*published == 0) return meta;
  meta.resize(static_cast<std::size_t>(*published > min_count ? *published : min_count), shared::ChannelMeta{});
  std::memcpy(meta.data(), bytes.get(), sizeof(shared::ChannelMeta) * static_cast<std::size_t>(*published));
  for (shared::ChannelMeta &entry : meta) {
    entry.name[sizeof entry.name - 1] = '\0';
    entry.unit[sizeof entry.unit - 1] = '\0';
  }
  return meta;
}

std::vector<shared::ChannelMeta> channels_on_record(const shared::DeviceListEntry &entry, int count) {
  if (count > shared::kMaxChannels) count = shared::kMaxChannels;
  shared::SensorReport report{};
  report.channel_count = static_cast<std::uint8_t>(count);
  const int known = entry.channel_count < count ? entry.channel_count : count;
  for (int i = 0; i < known; ++i) {
    report.channel_types[i] = entry.channel_types[i];
    std::memcpy(report.channel_units[i], entry.channel_units[i], sizeof report.channel_units[i]);
  }
  std::vector<shared::ChannelMeta> meta(static_cast<std::size_t>(count), shared::ChannelMeta{});
  for (int i = 0; i < count; ++i) {
    cloud::ChannelLabel label{};
    cloud::channel_display_name(&report, i, &label);
    label.name[sizeof label.name - 1] = '\0';
    shared::store_text(meta[i].name, label.name);  // cut to the field, as a published name is
    meta[i].type = report.channel_types[i];
    std::snprintf(meta[i].unit, sizeof meta[i].unit, "%.4s", report.channel_units[i]);
  }
  return meta;
}

void check_stored_channels(const char *sensor_id, const shared::ChannelMeta *meta, int count) {
  DataEntry where;
  if (init_data_entry(&where.entry, "SensorID", sensor_id, MIDDLEWARE_TYPE_TEXT) == 0) return;
  MiddlewareHandle store;
  MiddlewareResult result;
  if (create_middleware_obj(&store.handle, kCloudStore) == 0 && store.handle.query != nullptr)
    store.handle.query(store.handle.db, "SensorMeasurement", &where.entry, 1, &result.rows);
  if (result.rows.row_count <= 0 || result.rows.rows == nullptr) return;
  if (result.rows.row_count != count) {
    delete_error_flag(sensor_id);
    return;
  }
  for (int i = 0; i < count; ++i) {
    if (!row_matches(result.rows.rows[i], meta[i])) {
      delete_error_flag(sensor_id);
      return;
    }
  }
}

}  // namespace vorn::data
