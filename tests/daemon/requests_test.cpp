// Byte-exact outbound requests, as the collector receives them.
#include <gtest/gtest.h>
#include <sys/shm.h>

#include <cstring>
#include <ctime>

#include "shared/device_list.h"
#include "shared/request_builders.h"
#include "shared/segments.h"
#include "shared/sensor_report.h"
#include "test_support.h"

namespace vorn::shared {
namespace {

using test::Bytes;
using test::bytes;
using test::capture_stdout;

class Requests : public testing::Test {
 protected:
  static void SetUpTestSuite() { create_shared_state(); }
  DeviceListEntry &entry(int index) {
    static SegmentAttachment segment(core::daemon_state.device_list_segment_id);
    return static_cast<DeviceListSegment *>(segment.address())->entries[index];
  }
  test::LinkPair link;
};

TEST_F(Requests, NetworkInfoRequestIsFourBytes) {
  send_get_nwk_info_req();
  EXPECT_EQ(link.sent(), bytes({0x00, 0x00, 0x0A, 0x03}));
}

TEST_F(Requests, ConfigRequestOfTypeOneStampsTheEntry) {
  entry(0x12).last_config_request = 0;
  std::string out = capture_stdout([] { send_config_request(1, nullptr, 0x0012); });
  EXPECT_EQ(link.sent(), bytes({0x09, 0x00, 0x0A, 0x0D, 0x01, 0x12, 0x00, 0x60, 0xEA, 0x00, 0x00, 0x38, 0x00}));
  EXPECT_NE(out.find("Send Config Request to 18\n"), std::string::npos);
  EXPECT_LE(std::labs(static_cast<long>(entry(0x12).last_config_request) - std::time(nullptr)), 5);
}

TEST_F(Requests, ConfigRequestOfTypeThreeAnnouncesOnlyWhatItSends) {
  std::string out = capture_stdout([] { send_config_request(3, "0007", 0); });
  EXPECT_EQ(link.sent(), bytes({0x03, 0x00, 0x0A, 0x0D, 0x03, 0x07, 0x00}));
  EXPECT_NE(out.find("Send Config Request to 7\n"), std::string::npos);
}

TEST_F(Requests, UnknownConfigTypeIsLoggedThenRefused) {
  std::string out = capture_stdout([] { send_config_request(2, nullptr, 5); });
  EXPECT_NE(out.find("Send Config Request to 5\nUnknow Cmd ID, Reject!\n"), std::string::npos);
  EXPECT_TRUE(link.sent(50).empty());
}

TEST_F(Requests, NonHexAddressTextSendsNothing) {
  capture_stdout([] { send_config_request(1, "00G1", 0); });
  std::uint8_t record[kTxqPayloadSize] = {};
  build_set_sensor_record(record, "12;x", 1, 300);
  capture_stdout([&] { send_set_sensor_req(record); });
  EXPECT_TRUE(link.sent(50).empty());
}

TEST_F(Requests, SetSensorRequestCarriesCommandAndInteger) {
  std::uint8_t record[kTxqPayloadSize] = {};
  build_set_sensor_record(record, "0012", 1, 300);
  std::string out = capture_stdout([&] { send_set_sensor_req(record); });
  EXPECT_EQ(link.sent(), bytes({0x0C, 0x00, 0x0A, 0x1A, 0x0A, 0x00, 0x12, 0x00, 0x03, 0x00, 0x01, 0x00,
                                0x2C, 0x01, 0x00, 0x00}));
  EXPECT_NE(out.find("Send SetSensorReq(0x0001) to 0x0012.\n"), std::string::npos) << out;
}

TEST_F(Requests, SetSensorRequestWithFloatAndBlock) {
  std::uint8_t record[kTxqPayloadSize] = {};
  std::memcpy(record, "00AB", 4);
  record[4] = 0x0C;  // bits 2 (float) and 3 (block)
  double value = 12.34;
  std::memcpy(record + 6, &value, 8);
  record[14] = 3;  // block length
  std::memcpy(record + 16, "xyz", 3);
  capture_stdout([&] { send_set_sensor_req(record); });
  EXPECT_EQ(link.sent(), bytes({0x0F, 0x00, 0x0A, 0x1A, 0x0D, 0x00, 0xAB, 0x00, 0x0C, 0x00, 0x0C, 0x00,
                                0x48, 0x0D, 0x03, 0x00, 'x', 'y', 'z'}));
}

TEST_F(Requests, BlockLongerThanTheRecordIsRefused) {
  std::uint8_t record[kTxqPayloadSize] = {};
  std::memcpy(record, "0001", 4);
  record[4] = 0x08;
  record[6] = 0xFF;  // 255-byte block in a 128-byte record
  std::string out = capture_stdout([&] { send_set_sensor_req(record); });
  EXPECT_TRUE(link.sent(50).empty());
  EXPECT_NE(out.find("not sent"), std::string::npos);
}

TEST_F(Requests, GetSensorRequestBodyLengthCountsFromTheAddress) {
  std::uint8_t record[kTxqPayloadSize] = {};
  std::memcpy(record, "0005", 4);
  record[4] = 3;
  record[6] = 1;  // command value 1, integer 0, float 0.0
  send_get_sensor_req(record);
  Bytes sent = link.sent();
  ASSERT_EQ(sent.size(), 20u);
  EXPECT_EQ(sent[0], 16);
  EXPECT_EQ(sent[3], 27);
  EXPECT_EQ(sent[4], 14) << "body length field";
  EXPECT_EQ(sent[6], 5);
}

TEST_F(Requests, SensorRepliesUseTheirApiIdAndLayout) {
  shared::SensorReport report{};
  for (int i = 0; i < 8; ++i) report.sensor_tag[i] = static_cast<std::uint8_t>(0x11 * (i + 1));
  report.status_byte = 0x07;
  report.rssi = -60;
  report.reply_value = 10;
  report.event_interval = 300;
  send_sensor_reply(kSensorStatusReply, 0x0012, report);
  EXPECT_EQ(link.sent(), bytes({0x12, 0x00, 0x0A, 39, 14, 0, 0x12, 0, 0x2C, 0x11, 0x22, 0x33, 0x44, 0x55,
                                0x66, 0x77, 0x88, 0x07, 0xC4, 0xFF, 10, 0}));
  send_sensor_reply(kIdentificationReply, 0x0012, report);
  EXPECT_EQ(link.sent(), bytes({0x17, 0x00, 0x0A, 35, 19, 0, 0x12, 0, 0x23, 0x11, 0x22, 0x33, 0x44, 0x55,
                                0x66, 0x77, 0x88, 0xC4, 0xFF, 10, 0, 0x2C, 0x01, 123, 0, 0, 0}));
  EXPECT_EQ(capture_stdout([&] { send_sensor_reply(0x22, 1, report); }), "Unknow Cmd ID, Reject!\n");
  EXPECT_TRUE(link.sent(50).empty());
}

TEST_F(Requests, WriteToAClosedLinkDoesNotKillTheWriter) {
  close(link.collector_end());
  send_get_nwk_info_req();  // SIGPIPE would end the test here
  SUCCEED();
}

}  // namespace
}  // namespace vorn::shared
