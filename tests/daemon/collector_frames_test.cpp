// Frames about the collector and the start-up steps that keep sensorlist's Coprocessor section,
// run against the router's real uci tool.
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <string>

#include "app/collector_frames.h"
#include "app/collector_supervision.h"
#include "app/frame_dispatch.h"
#include "app/startup.h"
#include "test_support.h"

namespace vorn::core {
namespace {

using test::Bytes;
using test::capture_stdout;
using test::shell;

std::string uci_get(const std::string &what) {
  std::string out = shell("uci -q get " + what);
  if (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

class CollectorFrames : public testing::Test {
 protected:
  void SetUp() override {
    std::ofstream("/etc/config/sensorlist", std::ios::trunc).flush();
    std::system("rm -rf /tmp/.uci");
  }
};

Bytes nwk_info_cnf(std::uint8_t major, std::uint8_t minor, std::uint8_t patch, std::uint8_t build,
                   const std::string &model) {
  Bytes frame(4 + 54, 0);
  frame[0] = 54;
  frame[2] = 0x4A;
  frame[3] = 5;
  std::uint8_t *p = frame.data() + 4;
  p[0] = 1;
  p[1] = major, p[2] = minor, p[3] = patch, p[4] = build;
  p[5] = 0x34, p[6] = 0x12;  // PAN id
  for (int i = 0; i < 8; ++i) p[9 + i] = static_cast<std::uint8_t>(0xA0 + i);
  p[17] = 11, p[20] = 3, p[21] = 3;
  model.copy(reinterpret_cast<char *>(p + 22), 32);
  return frame;
}

TEST_F(CollectorFrames, NetworkInfoConfirmationStoresVersionAndGatesTheModelName) {
  Bytes old_firmware = nwk_info_cnf(0, 9, 0, 4, "SUB1G-MOD-EU");
  std::string out = capture_stdout([&] { app::handle_frame(old_firmware.data(), old_firmware.size()); });
  EXPECT_NE(out.find("Get Network Info:\n\tModel Name: SUB1G-MOD-EU\n\tModel Region: EU\n\tModel FW Ver: 0.9.0.04\n"
                     "\tStatus: True\n\tPanID: 1234\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("\tExt. Address: A7A6A5A4A3A2A1A0\n\tChannel: 11\n\tFH Enable: False\n"
                     "\tSecurity Enable: False\n\tNetwork Mode: Freq Hopping\n\tState: Started\n"),
            std::string::npos);
  EXPECT_EQ(uci_get("sensorlist.@Coprocessor[].ModelVersion"), "0.9.0.04");
  EXPECT_EQ(uci_get("sensorlist.@Coprocessor[].ExtAddress"), "A7A6A5A4A3A2A1A0");
  EXPECT_EQ(uci_get("sensorlist.@Coprocessor[].StartCount"), "0");
  EXPECT_EQ(uci_get("sensorlist.@Coprocessor[].ModelName"), "") << "0x90004 and below: not stored";

  Bytes newer = nwk_info_cnf(0, 9, 0, 5, "SUB1G-MOD-EU");
  capture_stdout([&] { app::handle_frame(newer.data(), newer.size()); });
  EXPECT_EQ(uci_get("sensorlist.@Coprocessor[].ModelName"), "SUB1G-MOD-EU");
  EXPECT_EQ(uci_get("sensorlist.@Coprocessor[].ModelRegion"), "EU");
  EXPECT_EQ(shell("uci show sensorlist | grep -c '=Coprocessor'"), "1\n") << "one section only";
}

TEST_F(CollectorFrames, ModelNameFromTheRadioNeverReachesTheShellUnchecked) {
  Bytes hostile = nwk_info_cnf(1, 0, 0, 0, "X\";touch /tmp/owned;\"");
  capture_stdout([&] { app::handle_frame(hostile.data(), hostile.size()); });
  EXPECT_NE(access("/tmp/owned", F_OK), 0);
  EXPECT_EQ(uci_get("sensorlist.@Coprocessor[].ModelName"), "");
}

TEST_F(CollectorFrames, ModelRegionIsTheLastTwoCharacters) {
  char region[3];
  app::model_region("ABCDEFGHIJKLMNOPQRSTUVWXYZ012345", region);  // 32 characters, no terminator in the frame
  EXPECT_STREQ(region, "45");
  app::model_region("X", region);
  EXPECT_STREQ(region, "");
  app::model_region("", region);
  EXPECT_STREQ(region, "");
}

TEST_F(CollectorFrames, NetworkInfoIndicationWithoutAddressStillCommits) {
  Bytes frame(4 + 21, 0);
  frame[0] = 21, frame[2] = 0x4A, frame[3] = 2;
  frame[4] = 1, frame[5] = 2, frame[6] = 3, frame[7] = 4;
  frame[4 + 19] = 2, frame[4 + 20] = 5;
  std::system("uci -q add sensorlist Coprocessor >/dev/null");  // staged, not committed
  std::string out = capture_stdout([&] { app::handle_frame(frame.data(), frame.size()); });
  EXPECT_NE(out.find("Update Network Info:\n\tFW Ver: 1.2.3.4\n"), std::string::npos);
  EXPECT_NE(out.find("\tNetwork Mode: Non Beacon\n\tState: Join Open\n"), std::string::npos);
  EXPECT_EQ(uci_get("sensorlist.@Coprocessor[].ExtAddress"), "");
  EXPECT_NE(shell("cat /etc/config/sensorlist").find("Coprocessor"), std::string::npos) << "committed";
}

TEST_F(CollectorFrames, StateChangesRunTheirCommands) {
  std::system("rm -f /etc/status_log /etc/cm_log");
  app::ensure_coprocessor_section();
  std::system("uci set sensorlist.@Coprocessor[].StartCount=5; uci commit sensorlist");
  EXPECT_EQ(capture_stdout([] { app::handle_collector_state_change(4); }), "Collector State Change: Restored\n");
  capture_stdout([] { app::handle_collector_state_change(5); });
  capture_stdout([] { app::handle_collector_state_change(3); });
  sleep(1);  // the log lines are appended in the background
  EXPECT_NE(shell("cat /etc/status_log").find("- Start WPS"), std::string::npos);
  EXPECT_NE(shell("cat /etc/cm_log").find("- Collector ready"), std::string::npos);
  EXPECT_EQ(uci_get("sensorlist.@Coprocessor[].StartCount"), "0");
}

TEST_F(CollectorFrames, CoprocessorSectionIsNotAddedWhenItCannotBeLookedFor) {
#ifdef VORN_USER_MODE_EMULATION
  GTEST_SKIP() << "user-mode emulation refuses seccomp filters, so no pipe can be made to fail "
                  "(tests/emulation/seccomp_probe.c)";
#endif
  app::ensure_coprocessor_section();
  pid_t child = fork();
  if (child == 0) {
    // No pipe: descriptors exhausted.
    if (!test::fail_system_calls({{SYS_pipe2, EMFILE}, {SYS_pipe, EMFILE}})) _exit(2);
    app::ensure_coprocessor_section();
    _exit(0);
  }
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the pipe failure could not be arranged";
  EXPECT_EQ(uci_get("sensorlist.@Coprocessor[1]"), "") << shell("uci show sensorlist");
  EXPECT_EQ(uci_get("sensorlist.@Coprocessor[0]"), "Coprocessor");
}

TEST_F(CollectorFrames, StartCountGrowsAndResetsAfterTen) {
  app::ensure_coprocessor_section();
  std::system("uci set sensorlist.@Coprocessor[].StartCount=10; uci commit sensorlist");
  std::string out = capture_stdout([] { app::check_start_count(); });
  EXPECT_EQ(out, "StartCount = 11\nCoprocessor Error!!!\n");
  EXPECT_EQ(uci_get("sensorlist.@Coprocessor[].StartCount"), "0");
  capture_stdout([] { app::check_start_count(); });
  EXPECT_EQ(uci_get("sensorlist.@Coprocessor[].StartCount"), "1");

  std::system("uci -q delete sensorlist.@Coprocessor[].StartCount; uci commit sensorlist");
  EXPECT_EQ(capture_stdout([] { app::check_start_count(); }), "") << "a missing counter is left alone";
  EXPECT_EQ(uci_get("sensorlist.@Coprocessor[].StartCount"), "");
}

TEST(Startup, DebugSwitchNeedsExactlyOneArgument) {
  char name[] = "vorn_mgr", d1[] = "-d1", d2[] = "-d2", other[] = "-x";
  char *none[] = {name}, *one[] = {name, d1}, *two[] = {name, d2}, *both[] = {name, d1, d2}, *bad[] = {name, other};
  EXPECT_EQ(app::parse_debug_level(1, none), 0);
  EXPECT_EQ(app::parse_debug_level(2, one), 1);
  EXPECT_EQ(app::parse_debug_level(2, two), 2);
  EXPECT_EQ(app::parse_debug_level(3, both), 0);
  EXPECT_EQ(app::parse_debug_level(2, bad), 0);
}

TEST(Startup, RegionPicksTheCollectorConfiguration) {
  const std::string us = "cp -f /etc/vorn_cfg/collector_US915_HiPA.cfg /etc/collector.cfg";
  EXPECT_EQ(app::region_copy_command(10), us);
  EXPECT_EQ(app::region_copy_command(-1), us);
  EXPECT_EQ(app::region_copy_command(99), us);
  EXPECT_EQ(std::string(app::region_copy_command(2)), "cp -f /etc/vorn_cfg/collector_CN868_normal.cfg /etc/collector.cfg");
  EXPECT_EQ(std::string(app::region_copy_command(4)), "cp -f /etc/vorn_cfg/collector_ETSI868_normal.cfg /etc/collector.cfg");
  EXPECT_EQ(std::string(app::region_copy_command(8)), "cp -f /etc/vorn_cfg/collector_KR920_normal.cfg /etc/collector.cfg");
  EXPECT_EQ(std::string(app::region_copy_command(11)), "cp -f /etc/vorn_cfg/collector_JP920_HiPA.cfg /etc/collector.cfg");
  EXPECT_EQ(std::string(app::region_copy_command(14)), "cp -f /etc/vorn_cfg/collector_BR915_HiPA.cfg /etc/collector.cfg");
  // Every configuration a region can pick is installed on the router.
  for (int region = -1; region <= 15; ++region) {
    std::string source = std::string(app::region_copy_command(region)).substr(6);
    source = source.substr(0, source.find(' '));
    EXPECT_EQ(access(source.c_str(), R_OK), 0) << source;
  }
}

TEST(Startup, ReadinessIsTheNumberInTheReadyFile) {
  unlink(app::kCollectorReadyFile);
  EXPECT_EQ(app::collector_ready(), 0);
  for (auto [content, expected] : {std::pair{"0", 0}, {"1", 1}, {"12", 12}, {"", 0}, {"x", 0}}) {
    std::ofstream(app::kCollectorReadyFile) << content;
    EXPECT_EQ(app::collector_ready(), expected) << content;
  }
  unlink(app::kCollectorReadyFile);
}

}  // namespace
}  // namespace vorn::core
