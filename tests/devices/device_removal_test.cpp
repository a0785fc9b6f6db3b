// Sensors leaving the records: left and not-active indications, removal requests and the
// firmware gate that decides between a removal the sensor confirms and one done at once.
#include <gateway_lib/alarm_flags.h>
#include <gateway_lib/download_records.h>
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

#include "device_fixture.h"
#include "devices/device_removal.h"
#include "shared/device_list.h"

namespace vorn::devices {
namespace {

using namespace vorn::test;

Bytes left_frame(const std::uint8_t *ext_address) {
  return inbound(core::APP_DEVICE_LEFT_IND, Bytes(ext_address, ext_address + 8));
}

Bytes not_active_frame(std::uint16_t short_address) {
  Bytes payload(13, 0);
  payload[2] = static_cast<std::uint8_t>(short_address);
  std::memcpy(payload.data() + 4, kSensor, 8);
  return inbound(core::APP_DEVICE_NOTACTIVE_UPDATE_IND, payload);
}

class DeviceRemoval : public DeviceFixture {
 protected:
  void known_sensor(std::uint16_t short_address, const std::string &options) {
    capture_stdout([&] { shared::device_list_add(short_address, kSensor); });
    add_section(kSensorText, options);
    std::system("mkdir -p /etc/data");
    std::ofstream(database) << "db";
    set_oad_sensor(kSensorText, "/tmp/fw.bin", 1, 0);
    channel_entry channel{"Temp", 1, "degC"};
    set_error_flag(kSensorText, &channel, 1);
  }
  bool download_recorded() {
    oad_obj record{};
    int found = get_oad_sensor(kSensorText, &record);
    free_single_oad_obj(&record);
    return found == 1;
  }
  const std::string database = std::string("/etc/data/") + kSensorText + ".sqlite";
};

TEST_F(DeviceRemoval, LeftSensorIsForgottenEverywhere) {
  known_sensor(6, "ShortAddress=0006");
  Bytes frame = left_frame(kSensor);
  // No cloud agent is on this bus: the report's attempt shows as the failed lookup.
  core::daemon_state.cloud_agent_name = const_cast<char *>("cloud_agent");
  std::string out = capture_stdout([&] { handle_device_left(frame.data()); });
  core::daemon_state.cloud_agent_name = nullptr;
  EXPECT_NE(out.find("Device Left: 00124B0001A2B3C4\nDel - DeviceList[0x0006] - 00124B0001A2B3C4\n"),
            std::string::npos)
      << out;
  EXPECT_EQ(entry(6).ShortAddress, 0);
  EXPECT_EQ(file_size(database), -1);
  EXPECT_EQ(sections_of(kSensorText), 0);
  EXPECT_FALSE(download_recorded());
  channel_entry channel{"Temp", 1, "degC"};
  EXPECT_EQ(get_error_flag(kSensorText, &channel), 0);
  EXPECT_NE(out.find("ubus_lookup_id failed\n"), std::string::npos) << "the cloud report is made";
}

TEST_F(DeviceRemoval, LeftSensorWithoutEntryStillLosesSectionAndFile) {
  add_section(kSensorText, "ShortAddress=0006");
  std::system("mkdir -p /etc/data");
  std::ofstream(database) << "db";
  Bytes frame = left_frame(kSensor);
  std::string out = capture_stdout([&] { handle_device_left(frame.data()); });
  EXPECT_EQ(out.find("Del - DeviceList"), std::string::npos);
  EXPECT_EQ(sections_of(kSensorText), 0);
  EXPECT_EQ(file_size(database), -1);

  const std::uint8_t zero[8] = {};
  Bytes ignored = left_frame(zero);
  EXPECT_EQ(capture_stdout([&] { handle_device_left(ignored.data()); }), "");
}

TEST_F(DeviceRemoval, NotActiveSensorThatDescribedItselfIsLeftAlone) {
  known_sensor(6, "ShortAddress=0006 SensorVersion=1.0.0.0");
  Bytes frame = not_active_frame(6);
  std::string out = capture_stdout([&] { handle_device_not_active(frame.data(), frame.size()); });
  EXPECT_EQ(out, "Device NotActive:\n\tShort Address: 0006\n\tExt. Address: 00124B0001A2B3C4\n");
  EXPECT_TRUE(link.sent(50).empty());
  EXPECT_EQ(sections_of(kSensorText), 1);
}

TEST_F(DeviceRemoval, NotActiveSensorThatNeverDescribedItselfIsRemoved) {
  Bytes frame = not_active_frame(6);
  std::string out = capture_stdout([&] { handle_device_not_active(frame.data(), frame.size()); });
  EXPECT_NE(out.find("\tnot active kill Ext. Address: 00124B0001A2B3C4 version : \n"), std::string::npos) << out;
  EXPECT_EQ(link.sent(), bytes({0x0A, 0x00, 0x0A, 0x0F, 0x06, 0x00, 0xC4, 0xB3, 0xA2, 0x01, 0x00, 0x4B, 0x12, 0x00}));
}

TEST_F(DeviceRemoval, FirmwareGateChoosesTheRemovalRequest) {
  const struct {
    const char *model;
    const char *version;
    std::uint8_t api;
  } cases[] = {
      {"", "9.9.9.9", 15},          // no model name: old-style removal
      {"QX-100", "5.0.0.0", 15},    // below the QX- threshold 5.1.0.7
      {"QX-100", "5.1.0.7", 38},    // equal passes
      {"TH-200", "5.0.0.0", 38},    // other models: threshold 2.5.2.4
      {"TH-200", "2.5.2.3", 15},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.model) + " " + c.version);
    std::ofstream("/etc/config/sensorlist", std::ios::trunc).flush();
    known_sensor(6, std::string("ShortAddress=0006 ModelVersion=") + c.version +
                        (c.model[0] ? std::string(" ModelName=") + c.model : ""));
    capture_stdout([] { remove_sensor(nullptr, kSensor, 6); });
    Bytes sent = link.sent();
    ASSERT_EQ(sent.size(), 14u);
    EXPECT_EQ(sent[3], c.api);
    const bool forgotten_now = c.api == 15;
    EXPECT_EQ(sections_of(kSensorText), forgotten_now ? 0 : 1);
    EXPECT_EQ(entry(6).ShortAddress, forgotten_now ? 0 : 6);
    EXPECT_EQ(download_recorded(), !forgotten_now);
    EXPECT_EQ(file_size(database), 2) << "the database stays until the sensor leaves";
  }
}

TEST_F(DeviceRemoval, RemovalTextGivesBothAddresses) {
  capture_stdout([] { remove_sensor("0005 0011223344556677", nullptr, 0); });
  EXPECT_EQ(link.sent(), bytes({0x0A, 0x00, 0x0A, 0x0F, 0x05, 0x00, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11, 0x00}));
}

TEST_F(DeviceRemoval, RemovalTextThatIsNotHexIsRefused) {
  add_section("0011223344556677", "ShortAddress=0005");
  for (const char *bad : {"0005 00112233445566;7", "00G5 0011223344556677", "0005 00112233", ""}) {
    std::string request(bad);
    request.resize(21, '\0');  // a request is always its 21 bytes, as queued
    std::string out = capture_stdout([&] { remove_sensor(request.data(), nullptr, 0); });
    EXPECT_NE(out.find("refused"), std::string::npos) << bad;
  }
  EXPECT_TRUE(link.sent(50).empty());
  EXPECT_EQ(sections_of("0011223344556677"), 1);
}

}  // namespace
}  // namespace vorn::devices
