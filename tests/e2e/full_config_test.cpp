// The configuration folder full while the gateway runs: sensorlist commits cannot write, and what
// the daemon changed stays staged in memory. Each commit that does not take is said in one line
// naming the sensor and what was lost, and counted; once there is room again, the next commit
// writes everything that was staged.
#include <sys/mount.h>

#include <regex>

#include "gateway_records.h"
#include "gateway_run.h"

namespace sim::test {
namespace {

constexpr const char *kKnown = "00124B0003000031";
constexpr const char *kNewcomer = "00124B0003000032";
constexpr const char *kFiller = "/etc/config/.filler";

// The sensorlist file as committed (what survives a restart), not as uci shows it with staged changes.
std::string committed() { return file_text("/etc/config/sensorlist"); }

class FullConfiguration : public GatewayRun {
 protected:
  // A small folder of its own over /etc/config, holding what was there.
  void SetUp() override {
    ASSERT_EQ(std::system("rm -rf /tmp/config.saved && cp -a /etc/config /tmp/config.saved &&"
                          "mount -t tmpfs -o size=512k tmpfs /etc/config && cp -a /tmp/config.saved/. /etc/config/"),
              0);
  }
  void TearDown() override {
    GatewayRun::TearDown();
    umount2("/etc/config", MNT_DETACH);
  }
};

TEST_F(FullConfiguration, CommitsThatDoNotTakeAreSaidCountedAndWrittenOnceThereIsRoom) {
  start_gateway(std::string(R"({"TimeScale":30,"Sensors":[{"ExtAddress":")") + kKnown +
                R"(","ShortAddress":"0031","ModelName":"VT-FC1","Channels":[{"Name":"Temperature","Type":1,"Unit":"C"}]}]})");
  ASSERT_TRUE(eventually([] { return committed().find("EventInterval '60'") != std::string::npos; }, 120)) << committed();
  ASSERT_EQ(daemon_lines("did not take"), 0u);

  // Full: the cloud's wish and a newcomer's join cannot be written.
  std::system("dd if=/dev/zero of=/etc/config/.filler bs=4k 2>/dev/null");
  ASSERT_NE(std::system("echo x > /etc/config/.probe 2>/dev/null"), 0) << "the folder is not full";
  const std::string before = committed();
  ASSERT_EQ(std::system((std::string("ubus send vorn_mgr '{\"SetEventTimer\":\"") + kKnown + "\",\"TimeBase\":\"120\"}'").c_str()), 0);
  EXPECT_TRUE(eventually([] {
    return daemon_lines(std::string("sensorlist commit for ") + kKnown + " did not take: its wanted interval 120 kept in memory only") == 1;
  }, 120)) << daemon_output();
  ASSERT_TRUE(bus_call("collector_sim", "add", std::string(R"({"ExtAddress":")") + kNewcomer +
                                                   R"(","ShortAddress":"0032","Channels":[{"Name":"CO2","Type":5,"Unit":"ppm"}]})"));
  EXPECT_TRUE(eventually([] {
    return daemon_lines(std::string("sensorlist commit for ") + kNewcomer + " did not take: its section and short address") == 1 &&
           daemon_lines(std::string("sensorlist commit for ") + kNewcomer + " did not take: its identity and interval") >= 1;
  }, 120)) << daemon_output();

  // Nothing of it reached the file, and every loss was counted once. Our configuration tool keeps
  // the changes staged; the router's own empties its save file before it finds it cannot write, so
  // there they are gone and the rest of this test does not apply.
  EXPECT_EQ(committed(), before);
  const bool kept_staged = !shell("uci changes sensorlist").empty();
  if (kept_staged) {
    EXPECT_EQ(sensor_option(kKnown, "EventIntervalUserWanted"), "120");
    EXPECT_EQ(sensor_option(kNewcomer, "ShortAddress"), "0032");
  }
  EXPECT_TRUE(device_entry(kNewcomer)) << "the running gateway still has the newcomer";
  const std::string output = daemon_output();
  const std::regex counted(R"(did not take: .* \((\d+) so far\)\n)");
  std::size_t lines = 0;
  for (auto it = std::sregex_iterator(output.begin(), output.end(), counted); it != std::sregex_iterator(); ++it)
    EXPECT_EQ(std::stoul((*it)[1]), ++lines) << it->str();
  EXPECT_EQ(lines, daemon_lines("did not take"));
  EXPECT_GE(lines, 3u);
  EXPECT_EQ(int_member(bus_call("vorn_mgr", "status").get(), "sensorlist_commits_lost", -1), static_cast<long long>(lines));

  // Room again: the next commit writes what was staged, and nothing more is said lost.
  ASSERT_EQ(unlink(kFiller), 0);
  if (!kept_staged) return;
  ASSERT_EQ(std::system((std::string("ubus send vorn_mgr '{\"SetEventTimer\":\"") + kKnown + "\",\"TimeBase\":\"180\"}'").c_str()), 0);
  EXPECT_TRUE(eventually([] {
    const std::string file = committed();
    return file.find(std::string("config ") + kNewcomer) != std::string::npos &&
           file.find("EventIntervalUserWanted '180'") != std::string::npos;
  }, 120)) << committed();
  EXPECT_NE(committed().find("ShortAddress '0032'"), std::string::npos) << committed();
  EXPECT_TRUE(eventually([] { return shell("uci changes sensorlist").empty(); }, 60)) << shell("uci changes sensorlist");
  EXPECT_EQ(daemon_lines("did not take"), lines);
  EXPECT_EQ(kill(daemon_, 0), 0) << "the daemon runs on";
}

}  // namespace
}  // namespace sim::test
