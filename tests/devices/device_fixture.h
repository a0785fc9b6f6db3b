// A clean router state for the device-membership tests: empty sensorlist, no sensor databases,
// fresh shared segments and a socket pair standing in for the collector link.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>

#include "../daemon/test_support.h"
#include "core/link_frame.h"
#include "shared/device_list.h"
#include "shared/segments.h"

namespace vorn::test {

inline std::string uci_get(const std::string &what) {
  std::string out = shell("uci -q get " + what + " 2>/dev/null");
  if (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

inline long long file_size(const std::string &path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 ? static_cast<long long>(info.st_size) : -1;
}

// An inbound frame with the given API id and payload.
inline Bytes inbound(std::uint8_t api, const Bytes &payload) {
  Bytes out(4 + payload.size());
  out[0] = static_cast<std::uint8_t>(payload.size());
  out[1] = static_cast<std::uint8_t>(payload.size() >> 8);
  out[2] = core::kInboundType;
  out[3] = api;
  std::copy(payload.begin(), payload.end(), out.begin() + 4);
  return out;
}

// Sensor 00124B0001A2B3C4 as the link carries it (least significant byte first).
inline const std::uint8_t kSensor[8] = {0xC4, 0xB3, 0xA2, 0x01, 0x00, 0x4B, 0x12, 0x00};
inline const char *const kSensorText = "00124B0001A2B3C4";

class DeviceFixture : public testing::Test {
 protected:
  void SetUp() override {
    std::ofstream("/etc/config/sensorlist", std::ios::trunc).flush();
    std::system("rm -rf /tmp/.uci /etc/data/*");
    shared::create_shared_state();
    attachment_ = std::make_unique<shared::SegmentAttachment>(core::daemon_state.device_list_segment_id);
  }
  shared::DeviceListEntry &entry(int index) {
    return static_cast<shared::DeviceListSegment *>(attachment_->address())->entries[index];
  }
  void add_section(const char *ext_text, const std::string &options) {
    std::string command = std::string("uci -q add sensorlist ") + ext_text + " >/dev/null";
    std::system(command.c_str());
    std::system(("for o in " + options + "; do uci set sensorlist.@" + ext_text + "[].$o; done; uci commit sensorlist")
                    .c_str());
  }
  int sections_of(const char *ext_text) {
    return std::atoi(shell(std::string("uci show sensorlist | grep -c '@") + ext_text + "\\[[0-9]*\\]='").c_str());
  }
  std::unique_ptr<shared::SegmentAttachment> attachment_;
  LinkPair link;
};

}  // namespace vorn::test
