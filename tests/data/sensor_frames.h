// Builders of the sensor application frames and of the data indications that carry them.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

#include "../daemon/test_support.h"

namespace vorn::test {

// Fields appended little-endian, one after the other.
struct Frame {
  Bytes bytes;
  Frame &u8(int v) { return bytes.push_back(static_cast<std::uint8_t>(v)), *this; }
  Frame &u16(int v) { return u8(v & 0xFF).u8((v >> 8) & 0xFF); }
  Frame &u32(std::uint32_t v) { return u16(static_cast<int>(v & 0xFFFF)).u16(static_cast<int>(v >> 16)); }
  Frame &raw(const void *p, std::size_t n) {
    auto *b = static_cast<const std::uint8_t *>(p);
    bytes.insert(bytes.end(), b, b + n);
    return *this;
  }
  // A text in a fixed field of `width` bytes, zero-padded, cut when longer.
  Frame &text(const std::string &s, std::size_t width) {
    std::string field = s.substr(0, width);
    field.resize(width, '\0');
    return raw(field.data(), width);
  }
  Frame &pad_to(std::size_t size) { return bytes.resize(size, 0), *this; }
};

// Sensor 00124B0001A2B3C4, least significant byte first.
inline const std::uint8_t kSensorExt[8] = {0xC4, 0xB3, 0xA2, 0x01, 0x00, 0x4B, 0x12, 0x00};
inline const char *const kSensorId = "00124B0001A2B3C4";
inline const std::uint8_t kTag[8] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
constexpr int kRssi = -40;

// RSSI, command id, ExtAddress and FrameCtl.
inline Frame head(int command, int frame_ctl) {
  return Frame{}.u8(kRssi).u8(command).raw(kSensorExt, 8).u16(frame_ctl);
}

// The link frame of a data indication from `short_address` (address mode 2).
inline Bytes indication(std::uint16_t short_address, const Bytes &app) {
  Frame f;
  f.u16(static_cast<int>(app.size() + 3)).u8(0x4A).u8(9).u8(2).u16(short_address).raw(app.data(), app.size());
  return f.bytes;
}

struct ChannelBlock {
  const char *unit = "";
  int type = 0, word_a = 0, word_b = 0;
};

// A SensorData frame with FrameCtl `ctl` (sensor block always there) and the given channel blocks.
inline Frame sensor_data(int ctl, int extension_status, int battery, int count, std::initializer_list<ChannelBlock> blocks) {
  Frame f = head(5, ctl);
  for (auto [bit, size] : {std::pair{0x01, 4}, {0x02, 2}, {0x04, 4}, {0x08, 48}, {0x10, 8}})
    if (ctl & bit) f.pad_to(f.bytes.size() + size);
  f.u16(extension_status).u16(battery).u8(0).u8(count);
  for (const ChannelBlock &b : blocks) f.text(b.unit, 4).u8(b.type).u16(b.word_a).u16(b.word_b);
  return f;
}

struct MetaChannel {
  const char *name;
  int type;
  const char *unit;
};

// An Identification Request with the given identity and channels.
inline Frame identification_request(const std::string &manufacturer, const std::string &device_name, int interval,
                                    std::initializer_list<MetaChannel> channels) {
  Frame f = head(0x22, 1);
  f.raw(kTag, 8).u16(0x0001).u16(36).u16(7);
  f.text(manufacturer, 32).text("Model-N", 32).text("MN-100", 32);
  f.u8(2).u8(0).u8(0).u8(1).u8(1).u8(2).u8(3).u8(4);  // radio 2.0.0.1, sensor 1.2.3.4
  f.u16(0x2C21).u16(0x2C21).u32(0xA1A2A3A4).u32(0xB1B2B3B4).u16(0xC1C2);
  f.text(device_name, 16).u8(33).u8(25).u16(interval).u8(static_cast<int>(channels.size()));
  for (const MetaChannel &c : channels) f.text(c.name, 16).u8(c.type).text(c.unit, 4);
  return f.u8(9).u32(0x01020304).u32(0x05060708);
}

// A Data Frame Request whose records, 20 s apart, each hold the same words for every channel.
inline Frame data_frame_request(int no_alarm, int records, int channels, int word_a, int word_b,
                                std::uint32_t sensor_time) {
  Frame f = head(0x20, 1);
  f.raw(kTag, 8).u8(0x5A).u16(1).u16(36).u16(7).u8(no_alarm).u8(33).u8(25).u8(records).u8(channels);
  for (int r = 0; r < records; ++r) {
    f.u32(sensor_time + 20u * static_cast<std::uint32_t>(r));
    for (int c = 0; c < channels; ++c) f.u16(word_a).u16(word_b);
  }
  return f;
}

// A ConfigRsp of radio version 0.9.0.`minor` (model name above 0.9.0.5, interval above 0.9.0.3).
inline Frame config_response(int minor, int interval) {
  Frame f = Frame{}.u8(kRssi).u8(2).pad_to(14).u8(0).u8(9).u8(0).u8(minor).u8(1).u8(0).u8(0).u8(0);
  f.text("Acme", 32);
  if (minor > 5) f.text("Model-N", 32);
  f.text("MN-100", 32).u16(0x2C21);
  if (minor > 3) f.u16(interval);
  return f;
}

}  // namespace vorn::test
