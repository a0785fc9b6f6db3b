// Little-endian fields of the collector link, written and read byte by byte so no layout depends
// on the host's alignment or word size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace sim {

using Bytes = std::vector<std::uint8_t>;

inline void put_le16(std::uint8_t (&field)[2], unsigned value) {
  field[0] = static_cast<std::uint8_t>(value & 0xFF);
  field[1] = static_cast<std::uint8_t>((value >> 8) & 0xFF);
}

inline void put_le32(std::uint8_t (&field)[4], std::uint32_t value) {
  for (int i = 0; i < 4; ++i) field[i] = static_cast<std::uint8_t>((value >> (8 * i)) & 0xFF);
}

inline std::uint16_t le16(const std::uint8_t *p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }

inline std::uint32_t le32(const std::uint8_t *p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// A text into a fixed field, cut to the field and padded with zero bytes (not terminated when full).
template <std::size_t N>
void put_text(std::uint8_t (&field)[N], const std::string &text) {
  std::memset(field, 0, N);
  std::memcpy(field, text.data(), text.size() < N ? text.size() : N);
}

// Appends count bytes (resize and copy: a vector range insert of a few bytes trips a false
// overflow warning of the compiler).
inline void append_bytes(Bytes &out, const std::uint8_t *data, std::size_t count) {
  if (count == 0) return;
  const std::size_t at = out.size();
  out.resize(at + count);
  std::memcpy(out.data() + at, data, count);
}

// Appends the bytes of a layout struct (all of whose members are byte arrays) to a frame.
template <typename Layout>
void append_layout(Bytes &out, const Layout &layout) {
  static_assert(alignof(Layout) == 1, "wire layouts are byte arrays only");
  append_bytes(out, reinterpret_cast<const std::uint8_t *>(&layout), sizeof(Layout));
}

// Copies a layout out of received bytes; false when fewer than its size were received.
template <typename Layout>
bool read_layout(const std::uint8_t *data, std::size_t length, Layout &out) {
  static_assert(alignof(Layout) == 1, "wire layouts are byte arrays only");
  if (length < sizeof(Layout)) return false;
  std::memcpy(&out, data, sizeof(Layout));
  return true;
}

}  // namespace sim
