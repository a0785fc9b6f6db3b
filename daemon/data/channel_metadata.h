// A sensor's channel descriptions (name, type, unit) as its Identification Request announced
// them: published on the shared-memory channel "<sensor id>_meta" for the gateway's other
// services and the daemon's own Data Frame Requests, and compared with the cloud's channel list.
#pragma once

#include <vector>

#include "shared/device_list.h"
#include "shared/sensor_report.h"

namespace vorn::data {

// Publishes the descriptions; 1 when they differ from what was published before (in count or
// in any entry), 0 when they are the same or nothing was published yet.
int publish_channel_meta(const char *sensor_id, const shared::ChannelMeta *meta, int count);

// The published descriptions, each name and unit terminated; `*published` tells how many were
// published. The copy holds at least `min_count` entries (blank after the published ones), so
// every channel of a frame has one. Empty when nothing is published.
std::vector<shared::ChannelMeta> read_channel_meta(const char *sensor_id, int min_count, int *published);

// Descriptions of `count` channels as the gateway names them without a published list: by the
// types and units on record in the sensor's entry (from its data frames), named as the live and
// channel-list reports name them ("Unknown" for a channel of no known type).
std::vector<shared::ChannelMeta> channels_on_record(const shared::DeviceListEntry &entry, int count);

// When the cloud's channel list for the sensor no longer matches the descriptions (count, names
// or type texts), the sensor's persistent alarm flags are forgotten: they belong to old channels.
void check_stored_channels(const char *sensor_id, const shared::ChannelMeta *meta, int count);

}  // namespace vorn::data
