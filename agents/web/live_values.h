// What a sensor publishes on its shared-memory channels: the live reading (channel "<id>": a JSON
// body {"ID","Data":{"BaseTime":ms,"Values":[{"Name","Values":[{"T","V"}]}]}}, "NaN" for a
// channel in error), the last records a logging sensor buffered (channel "<id>_log", the same
// body with a point per record) and the channel descriptions (channel "<id>_meta": 23-byte entries of a
// 17-byte name, a type code and a 5-byte unit).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace web {

struct LivePoint {
  double offset_s = 0;          // "T": seconds after the body's BaseTime
  std::optional<double> value;  // nothing: "NaN" (in error) or not a number
};

struct LiveChannel {
  std::string name;
  std::optional<double> value;  // the last point's
  std::vector<LivePoint> points;
};

struct LiveReading {
  double base_time_ms = 0;
  std::vector<LiveChannel> channels;
};

struct ChannelMeta {
  std::string name, unit;
  std::uint8_t type = 0;
};

// The reading in a live body; nothing when the text is not such a body.
std::optional<LiveReading> parse_live_reading(const std::string &body);

// The descriptions in a meta channel's bytes (a trailing partial entry is ignored).
std::vector<ChannelMeta> parse_channel_meta(const std::string &bytes);

// The current content of a channel ("" when empty or absent).
std::string read_channel(const std::string &name);

}  // namespace web
