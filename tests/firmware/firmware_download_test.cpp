// MSP430 downloads: the request and its record, resumption at start, and the two ways a download
// ends.
#include <gateway_lib/download_records.h>
#include <gtest/gtest.h>

#include <fstream>

#include "../devices/device_fixture.h"
#include "firmware/firmware_download.h"

namespace vorn::firmware {
namespace {

using namespace vorn::test;

std::string record_state(const char *sensor) {
  oad_obj record{};
  std::string out = get_oad_sensor(sensor, &record) == 1 ? std::to_string(record.status) + " " +
                                                               std::to_string(record.progress) + " " + record.file
                                                         : "none";
  free_single_oad_obj(&record);
  return out;
}

// APP_MSP430_OAD_START_REQ frames as the collector receives them, one after the other.
Bytes download_requests(std::initializer_list<std::tuple<std::uint8_t, std::uint32_t, std::string>> requests) {
  Bytes out;
  for (const auto &[index, size, path] : requests) {
    const std::size_t length = path.size() + 5;
    const Bytes head = bytes({static_cast<int>(length & 0xFF), static_cast<int>(length >> 8), 0x0A, 0x24, index});
    out.insert(out.end(), head.begin(), head.end());
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(size >> (8 * i)));
    out.insert(out.end(), path.begin(), path.end());
  }
  return out;
}

class FirmwareDownload : public DeviceFixture {
 protected:
  void SetUp() override {
    DeviceFixture::SetUp();
    std::system("rm -rf /etc/config/gateway_platform.sqlite* /etc/msp430/*");
  }
  Bytes device_list() {
    const auto *start = reinterpret_cast<const std::uint8_t *>(&entry(0));
    return Bytes(start, start + sizeof(shared::DeviceListSegment));
  }
};

TEST_F(FirmwareDownload, ResumeActsOnEachRecordInListOrder) {
  const struct {
    const char *sensor, *short_address;
    int status;
    const char *after;
  } records[] = {
      {"00124B0000000002", "0002", 2, "1 10 /tmp/two.bin"}, {"00124B0000000001", "0001", 1, "1 10 /tmp/o.bin"},
      {"00124B0000000003", "0003", 3, "none"},              {"00124B0000000004", "0004", 4, "4 10 /tmp/o.bin"},
      {"00124B0000000007", "0007", 9, "9 10 /tmp/o.bin"},   {"00124B0000000105", "0105", 0, "1 10 /tmp/o.bin"}};
  std::ofstream("/tmp/two.bin") << "0123456789";
  for (const auto &r : records) {
    add_section(r.sensor, std::string("ShortAddress=") + r.short_address);
    set_oad_sensor(r.sensor, r.status == 2 ? "/tmp/two.bin" : "/tmp/o.bin", r.status, 10);
  }
  const Bytes list_before = device_list();

  EXPECT_EQ(capture_stdout([] { resume_downloads(); }), "Can't process msp-430 OAD\n") << "0x0105 is no index";
  Bytes expected = download_requests({{2, 10, "/tmp/two.bin"}, {1, 0, "/tmp/o.bin"}});  // a missing file: 0 bytes
  for (int b : {0x01, 0x00, 0x0A, 0x25, 0x04}) expected.push_back(static_cast<std::uint8_t>(b));
  EXPECT_EQ(link.sent(), expected) << "two requests, then the cancel";
  for (const auto &r : records) EXPECT_EQ(record_state(r.sensor), r.after) << r.sensor;
  EXPECT_EQ(device_list(), list_before) << "a resumed download is not recorded again";
}

TEST_F(FirmwareDownload, RequestSendsThePathWholeAndRecordsItCut) {
  const std::string path = "/tmp/" + std::string(61, 'p') + ".bin";
  ASSERT_EQ(path.size(), 70u);
  std::ofstream(path) << std::string(1234, 'x');
  capture_stdout([] { shared::device_list_add(5, kSensor); });

  request_msp430_download(5, path.c_str(), 1);
  EXPECT_EQ(link.sent(), download_requests({{5, 1234, path}}));
  EXPECT_EQ(std::string(entry(5).oad_image_path), path.substr(0, 64));
  EXPECT_EQ(entry(5).oad_image_size, 1234u);
  // Written by a process of its own, as the platform store may keep a writer waiting.
  EXPECT_TRUE(eventually([&] { return record_state(kSensorText) == "1 0 " + path; })) << record_state(kSensorText);

  for (std::uint8_t index : {0, 101})
    EXPECT_EQ(capture_stdout([&] { request_msp430_download(index, path.c_str(), 1); }), "Can't process msp-430 OAD\n");
  // A sensor that left while its request waited: the request goes out, nothing is recorded.
  EXPECT_NE(capture_stdout([] { request_msp430_download(7, "/tmp/none.bin", 1); }).find("not recorded"),
            std::string::npos);
  EXPECT_EQ(link.sent(), download_requests({{7, 0, "/tmp/none.bin"}}));
  EXPECT_EQ(record_state("0000000000000000"), "none");
}

TEST_F(FirmwareDownload, DownloadEndsOnTheExpectedVersionOrWhenComplete) {
  add_section(kSensorText, "ShortAddress=0005 ModelName=AB-12.3");
  std::system("mkdir -p /etc/msp430/AB-12 && echo 1.2 > /etc/msp430/AB-12/msp_ver.txt");
  const std::pair<const char *, bool> versions[] = {{"1.3", false}, {"1", false}, {"1.2", true}, {"1.2.3", true}};
  for (const auto &[reported, ends] : versions) {
    set_oad_sensor(kSensorText, "/tmp/m.bin", 1, 50);
    check_msp430_version(kSensorText, reported);
    EXPECT_EQ(record_state(kSensorText) == "none", ends) << reported;
  }
  // A model without a version file: nothing to compare with, any new version ends the download.
  std::system("uci set sensorlist.@00124B0001A2B3C4[].ModelName=CD-7.1; uci commit sensorlist");
  set_oad_sensor(kSensorText, "/tmp/m.bin", 1, 50);
  check_msp430_version(kSensorText, "9.9");
  EXPECT_EQ(record_state(kSensorText), "none");

  const std::tuple<int, int, bool> records[] = {{3, 100, true}, {3, 99, false}, {1, 100, false}};
  for (const auto &[status, progress, ends] : records) {
    set_oad_sensor(kSensorText, "/tmp/m.bin", status, progress);
    finish_download_if_done(kSensorText);
    EXPECT_EQ(record_state(kSensorText) == "none", ends) << status << " " << progress;
  }
}

}  // namespace
}  // namespace vorn::firmware
