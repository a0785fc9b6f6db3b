// MSP430 downloads: the request and its record, resumption at start, and the two ways a download
// ends.
#include <gateway_lib/download_records.h>
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

#include "../devices/device_fixture.h"
#include "firmware/firmware_download.h"

namespace vorn::firmware {
namespace {

using namespace vorn::test;

std::string record_state(const char *sensor) {
  oad_obj record{};
  const int found = get_oad_sensor(sensor, &record);
  std::string out = found == 1 ? std::to_string(record.status) + " " + std::to_string(record.progress) + " " + record.file
                               : "none";
  free_single_oad_obj(&record);
  return out;
}

// APP_MSP430_OAD_START_REQ as the collector receives it.
Bytes download_request(std::uint8_t index, std::uint32_t size, const std::string &path) {
  const std::size_t length = path.size() + 5;
  Bytes out = bytes({static_cast<int>(length & 0xFF), static_cast<int>(length >> 8), 0x0A, 0x24, index});
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(size >> (8 * i)));
  out.insert(out.end(), path.begin(), path.end());
  return out;
}

class FirmwareDownload : public DeviceFixture {
 protected:
  void SetUp() override {
    DeviceFixture::SetUp();
    std::system("rm -rf /etc/config/gateway_platform.sqlite* /etc/msp430/*");
  }
};

TEST_F(FirmwareDownload, ResumeActsOnEachRecordInListOrder) {
  const char *const sensors[] = {"00124B0000000002", "00124B0000000001", "00124B0000000003",
                                 "00124B0000000004", "00124B0000000007", "00124B0000000105"};
  const char *const short_addresses[] = {"0002", "0001", "0003", "0004", "0007", "0105"};
  const int statuses[] = {2, 1, 3, 4, 9, 0};
  std::ofstream("/tmp/two.bin") << "0123456789";
  for (int i = 0; i < 6; ++i) {
    add_section(sensors[i], std::string("ShortAddress=") + short_addresses[i]);
    set_oad_sensor(sensors[i], i == 0 ? "/tmp/two.bin" : "/tmp/other.bin", statuses[i], 10);
  }
  const Bytes device_list_before(reinterpret_cast<std::uint8_t *>(&entry(0)),
                                 reinterpret_cast<std::uint8_t *>(&entry(0)) + sizeof(shared::DeviceListSegment));

  const std::string out = capture_stdout([] { resume_downloads(); });

  Bytes expected = download_request(2, 10, "/tmp/two.bin");
  const Bytes second = download_request(1, 0, "/tmp/other.bin");  // a missing file is announced as 0 bytes
  expected.insert(expected.end(), second.begin(), second.end());
  const Bytes cancel = bytes({0x01, 0x00, 0x0A, 0x25, 0x04});
  expected.insert(expected.end(), cancel.begin(), cancel.end());
  EXPECT_EQ(link.sent(), expected) << "two requests, then the cancel; nothing for 0x0105, which is no index";
  EXPECT_EQ(out, "Can't process msp-430 OAD\n");

  EXPECT_EQ(record_state(sensors[0]), "1 10 /tmp/two.bin");
  EXPECT_EQ(record_state(sensors[1]), "1 10 /tmp/other.bin");
  EXPECT_EQ(record_state(sensors[2]), "none");
  EXPECT_EQ(record_state(sensors[3]), "4 10 /tmp/other.bin");
  EXPECT_EQ(record_state(sensors[4]), "9 10 /tmp/other.bin");
  EXPECT_EQ(record_state(sensors[5]), "1 10 /tmp/other.bin");
  EXPECT_EQ(Bytes(reinterpret_cast<std::uint8_t *>(&entry(0)),
                  reinterpret_cast<std::uint8_t *>(&entry(0)) + sizeof(shared::DeviceListSegment)),
            device_list_before)
      << "a resumed download is not recorded again";

  std::system("rm -f /etc/config/gateway_platform.sqlite*");
  EXPECT_EQ(capture_stdout([] { resume_downloads(); }), "");
  EXPECT_TRUE(link.sent(50).empty());
}

TEST_F(FirmwareDownload, RequestSendsThePathWholeAndRecordsItCut) {
  const std::string path = "/tmp/" + std::string(61, 'p') + ".bin";
  ASSERT_EQ(path.size(), 70u);
  std::ofstream(path) << std::string(1234, 'x');
  capture_stdout([] { shared::device_list_add(5, kSensor); });

  request_msp430_download(5, path.c_str(), 1);
  EXPECT_EQ(link.sent(), download_request(5, 1234, path));
  EXPECT_EQ(std::string(entry(5).oad_image_path), path.substr(0, 64));
  EXPECT_EQ(entry(5).oad_image_size, 1234u);
  EXPECT_EQ(record_state(kSensorText), "1 0 " + path);

  for (std::uint8_t index : {0, 101}) {
    EXPECT_EQ(capture_stdout([&] { request_msp430_download(index, path.c_str(), 1); }), "Can't process msp-430 OAD\n");
  }
  // Without the record flag, and for a short address whose sensor has left, nothing is recorded.
  request_msp430_download(6, "/tmp/none.bin", 0);
  const std::string out = capture_stdout([] { request_msp430_download(7, "/tmp/none.bin", 1); });
  EXPECT_NE(out.find("not recorded"), std::string::npos) << out;
  Bytes expected = download_request(6, 0, "/tmp/none.bin");
  const Bytes second = download_request(7, 0, "/tmp/none.bin");
  expected.insert(expected.end(), second.begin(), second.end());
  EXPECT_EQ(link.sent(), expected);
  EXPECT_EQ(entry(6).oad_image_path[0], '\0');
  EXPECT_EQ(record_state("0000000000000000"), "none");
}

TEST_F(FirmwareDownload, DownloadEndsOnTheExpectedVersionOrWhenComplete) {
  add_section(kSensorText, "ShortAddress=0005 ModelName=AB-12.3");
  std::system("mkdir -p /etc/msp430/AB-12 && echo 1.2 > /etc/msp430/AB-12/msp_ver.txt");
  const struct {
    const char *reported;
    bool ends;
  } versions[] = {{"1.3", false}, {"1", false}, {"1.2", true}, {"1.2.3", true}};
  for (const auto &v : versions) {
    SCOPED_TRACE(v.reported);
    set_oad_sensor(kSensorText, "/tmp/m.bin", 1, 50);
    check_msp430_version(kSensorText, v.reported);
    EXPECT_EQ(record_state(kSensorText) == "none", v.ends);
  }
  // A model without a version file: nothing to compare with, any new version ends the download.
  std::system("uci set sensorlist.@00124B0001A2B3C4[].ModelName=CD-7.1; uci commit sensorlist");
  set_oad_sensor(kSensorText, "/tmp/m.bin", 1, 50);
  check_msp430_version(kSensorText, "9.9");
  EXPECT_EQ(record_state(kSensorText), "none");

  const struct {
    int status, progress;
    bool ends;
  } records[] = {{3, 100, true}, {3, 99, false}, {1, 100, false}};
  for (const auto &r : records) {
    SCOPED_TRACE(r.status * 1000 + r.progress);
    set_oad_sensor(kSensorText, "/tmp/m.bin", r.status, r.progress);
    finish_download_if_done(kSensorText);
    EXPECT_EQ(record_state(kSensorText) == "none", r.ends);
  }
  delete_oad_sensor(kSensorText);
  finish_download_if_done(kSensorText);  // no record: nothing to do
}

}  // namespace
}  // namespace vorn::firmware
