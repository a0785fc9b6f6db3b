// A sensor joining or re-joining: DeviceList entry, sensorlist section, database file and the
// configuration request of old firmware, through the real uci tool and shared segment.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

#include "device_fixture.h"
#include "devices/device_joined.h"

namespace vorn::devices {
namespace {

using namespace vorn::test;

Bytes joined_frame(std::uint16_t short_address, bool rejoined) {
  Bytes payload(19, 0);
  payload[2] = static_cast<std::uint8_t>(short_address);
  payload[3] = static_cast<std::uint8_t>(short_address >> 8);
  std::memcpy(payload.data() + 4, kSensor, 8);
  payload[18] = rejoined ? 1 : 0;
  return inbound(core::APP_DEVICE_JOINED_IND, payload);
}

class DeviceJoined : public DeviceFixture {
 protected:
  std::string join(std::uint16_t short_address, bool rejoined) {
    Bytes frame = joined_frame(short_address, rejoined);
    return capture_stdout([&] { handle_device_joined(frame.data()); });
  }
  const std::string database = std::string("/etc/data/") + kSensorText + ".sqlite";
};

TEST_F(DeviceJoined, FirstJoinRecordsTheSensorEverywhere) {
  std::string out = join(0x0003, false);
  EXPECT_NE(out.find("Device Joined:\n\tShort Address: 0003\n\tExt. Address: 00124B0001A2B3C4\n"), std::string::npos)
      << out;
  EXPECT_NE(out.find("Add - DeviceList[0x0003] = 00124B0001A2B3C4\n"), std::string::npos);
  EXPECT_NE(out.find("Create database file for 00124B0001A2B3C4\n"), std::string::npos);
  EXPECT_EQ(out.find("\ncfg"), std::string::npos) << "the section name uci -q add prints is no log line:\n" << out;
  EXPECT_EQ(entry(3).ShortAddress, 3);
  EXPECT_EQ(0, std::memcmp(entry(3).ExtAddress, kSensor, 8));
  EXPECT_EQ(sections_of(kSensorText), 1);
  EXPECT_EQ(uci_get(std::string("sensorlist.@") + kSensorText + "[].ShortAddress"), "0003");
  EXPECT_EQ(file_size(database), file_size("/rom/etc/default_data.sqlite"));
  EXPECT_TRUE(link.sent(50).empty()) << "a first join sends no configuration request";
}

TEST_F(DeviceJoined, KnownSensorKeepsOneSectionAndGetsItsNewAddress) {
  add_section(kSensorText, "ShortAddress=0003");
  entry(9).join_mark = 1;
  join(0x0009, false);
  EXPECT_EQ(sections_of(kSensorText), 1);
  EXPECT_EQ(uci_get(std::string("sensorlist.@") + kSensorText + "[].ShortAddress"), "0009");
  EXPECT_EQ(entry(9).join_mark, 0);
}

TEST_F(DeviceJoined, RejoinWithAWantedIntervalLeavesEntryAndSectionButChecksFirmware) {
  add_section(kSensorText, "ShortAddress=0003 EventIntervalUserWanted=300");
  std::string out = join(0x0004, true);
  EXPECT_NE(out.find("Device Re-Joined:\n"), std::string::npos);
  EXPECT_EQ(entry(4).ShortAddress, 0) << "DeviceList not refreshed";
  EXPECT_EQ(uci_get(std::string("sensorlist.@") + kSensorText + "[].ShortAddress"), "0003");
  EXPECT_EQ(file_size(database), file_size("/rom/etc/default_data.sqlite")) << "database still looked after";
  // No ModelVersion on record: the firmware check asks for the configuration.
  EXPECT_EQ(link.sent(), bytes({0x09, 0x00, 0x0A, 0x0D, 0x01, 0x04, 0x00, 0x60, 0xEA, 0x00, 0x00, 0x38, 0x00}));
}

TEST_F(DeviceJoined, RejoinSendsAConfigRequestOnlyToOldFirmware) {
  for (auto [version, expect_request] : {std::pair{"2.1.0.3", true}, {"1.1.9.9", true}, {"2.5.2.4", false},
                                        {"3.1.0.0", false}}) {
    SCOPED_TRACE(version);
    std::ofstream("/etc/config/sensorlist", std::ios::trunc).flush();
    add_section(kSensorText, std::string("ShortAddress=0005 ModelVersion=") + version);
    join(0x0005, true);
    EXPECT_EQ(!link.sent(50).empty(), expect_request);
    EXPECT_EQ(sections_of(kSensorText), 1);
  }
}

TEST_F(DeviceJoined, DatabaseCutShortIsReplacedACompleteOneKept) {
  std::system("mkdir -p /etc/data");
  std::ofstream(database) << "cut";
  join(0x0003, false);
  EXPECT_EQ(file_size(database), file_size("/rom/etc/default_data.sqlite"));

  std::system(("echo extra >> " + database).c_str());
  const long long grown = file_size(database);
  std::string out = join(0x0003, false);
  EXPECT_EQ(file_size(database), grown) << "a complete file is left alone";
  EXPECT_EQ(out.find("Create database file"), std::string::npos);

  // Also one whose size does not fit 32 bits (sparse: it takes no space).
  std::system(("truncate -s 4294967297 " + database).c_str());
  out = join(0x0003, false);
  EXPECT_EQ(file_size(database), 4294967297LL);
  EXPECT_EQ(out.find("Create database file"), std::string::npos);
}

TEST_F(DeviceJoined, AddressOutsideTheListStillRecordsTheSection) {
  for (std::uint16_t address : {0x0000, 0x0065}) {
    std::string out = join(address, false);
    EXPECT_EQ(out.find("Add - DeviceList"), std::string::npos);
  }
  EXPECT_EQ(entry(0).ShortAddress, 0);
  EXPECT_EQ(uci_get(std::string("sensorlist.@") + kSensorText + "[].ShortAddress"), "0065");
  EXPECT_EQ(sections_of(kSensorText), 1);
}

}  // namespace
}  // namespace vorn::devices
