// Other programs holding what the daemon writes: uci's lock on the sensorlist package, and the
// platform store in a write transaction. The daemon waits for them in processes of their own, for
// a bounded time: its status object answers throughout, sensor frames are handled at their pace,
// and what it could not write is said.
#include <gateway_lib/download_records.h>

#include <algorithm>

#include "common/device_list.h"
#include "gateway_run.h"
#include "request_queue.h"

namespace sim::test {
namespace {

constexpr const char *kFirst = "00124B0003000061";
constexpr const char *kSecond = "00124B0003000062";
constexpr int kAbsentSensor = 90;

std::string network() {
  return R"({"TimeScale":30,"Sensors":[)"
         R"({"ExtAddress":"00124B0003000061","ShortAddress":"0061","ModelName":"VT-HL1","Channels":[{"Name":"Temperature","Type":1,"Unit":"C"}]},)"
         R"({"ExtAddress":"00124B0003000062","ShortAddress":"0062","ModelName":"VT-HL2","Channels":[{"Name":"Humidity","Type":2,"Unit":"%RH"}]}]})";
}

long long sensor_frames() { return int_member(member(bus_call("vorn_mgr", "status").get(), "frames"), "sensor_data", -1); }

class HeldLocks : public GatewayRun {
 protected:
  void SetUp() override {
    start_gateway(network());
    ASSERT_TRUE(eventually([] { return !sensor_option(kFirst, "ModelVersion").empty() && !sensor_option(kSecond, "ModelVersion").empty(); }, 120))
        << shell("uci show sensorlist");
  }
  void TearDown() override {
    stop_program(holder_);
    GatewayRun::TearDown();
  }
  // Waits for the program holding a lock to end of itself.
  void end_holder() {
    waitpid(holder_, nullptr, 0);
    holder_ = -1;
  }
  pid_t holder_ = -1;
};

// uci's lock on the package held for 40 s by another program (the router's uci locks the package's
// file; our stand-in a lock file beside its staged changes: both are held), while a cloud command
// that writes arrives: every status call is answered within its 5 s, and the command's wish is
// stored once the lock is free, nothing lost.
TEST_F(HeldLocks, UciLockHeldByAnotherProgramKeepsNoStatusCallWaiting) {
  const std::size_t mark = daemon_output().size();
  std::system("mkdir -p /tmp/.uci");
  holder_ = start_program({"flock", "/tmp/.uci/.sensorlist.lock", "flock", "/etc/config/sensorlist", "sleep", "40"},
                          "/tmp/lock_holder.out");
  ASSERT_TRUE(eventually([] { return std::system("flock -n -s /etc/config/sensorlist true") != 0; }, 10));
  const auto held_since = std::chrono::steady_clock::now();
  ASSERT_EQ(std::system((std::string("ubus send vorn_mgr '{\"SetEventTimer\":\"") + kFirst + "\",\"TimeBase\":\"150\"}'").c_str()), 0);
  int asked = 0, answered = 0;
  double slowest = 0;
  while (std::chrono::steady_clock::now() - held_since < std::chrono::seconds(38)) {
    const auto asked_at = std::chrono::steady_clock::now();
    const Json status = bus_call("vorn_mgr", "status");
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - asked_at).count();
    ++asked;
    answered += status && member(status.get(), "sensors") != nullptr;
    slowest = std::max(slowest, took);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
  EXPECT_EQ(answered, asked) << "status calls answered while the lock was held; the slowest took " << slowest << " s";
  EXPECT_EQ(sensor_option(kFirst, "EventIntervalUserWanted"), "") << "not written while the lock is held";

  end_holder();
  EXPECT_TRUE(eventually([] { return sensor_option(kFirst, "EventIntervalUserWanted") == "150"; }, 60)) << daemon_output(mark);
  EXPECT_TRUE(eventually([] {
    const Json list = bus_call("collector_sim", "list");
    return int_member(sim_sensor(list.get(), kFirst), "EventInterval") == 150;
  }, 60)) << "the command reached the sensor";
  EXPECT_EQ(daemon_lines("did not take", mark), 0u) << daemon_output(mark);
  EXPECT_EQ(daemon_lines("still taken after", mark), 0u);
  EXPECT_TRUE(eventually([] { return int_member(member(bus_call("vorn_mgr", "status").get(), "sensors"), "sensorlist") == 2; }, 30));
}

// The platform store in another program's write transaction for 30 s while ten firmware downloads
// are queued and sensor frames stream in: the frames are handled at their pace throughout (no fork
// of the frame loop waits on a record write), and each record that could not be written is said.
TEST_F(HeldLocks, PlatformStoreLockedByAnotherProgramHoldsNoFrameUp) {
  // The store is there with its tables before it is locked.
  ASSERT_EQ(set_oad_sensor("0011223344556677", "/tmp/none.bin", 1, 0), 0);
  ASSERT_EQ(delete_oad_sensor("0011223344556677"), 0);
  std::ofstream("/tmp/fw.bin") << std::string(2048, 'f');
  // The downloads are for a sensor the daemon lists and the collector does not have: the collector
  // writes a download's progress to the same store from its own loop, and would stall with it.
  {
    void *list = shmat(shmget(kDeviceListKey, 0, 0), nullptr, 0);
    ASSERT_NE(list, reinterpret_cast<void *>(-1));
    const std::uint8_t absent[8] = {0xFA, 0x00, 0x00, 0x03, 0x00, 0x4B, 0x12, 0x00};  // 00124B00030000FA
    std::memcpy(static_cast<std::uint8_t *>(list) + kAbsentSensor * kDeviceListEntrySize + device_list_field::kExtAddress.offset,
                absent, sizeof absent);
    shmdt(list);
  }
  ASSERT_TRUE(bus_call("collector_sim", "pace", R"({"Rate":10})"));
  ASSERT_TRUE(eventually([] { return sensor_frames() > 20; }, 30));
  const std::size_t mark = daemon_output().size();
  holder_ = start_program({"sh", "-c",
                           "(echo 'BEGIN EXCLUSIVE;'; echo 'SELECT 1;'; sleep 30; echo 'COMMIT;') | "
                           "sqlite3 /etc/config/gateway_platform.sqlite"},
                          "/tmp/store_holder.out");
  ASSERT_TRUE(eventually([] { return file_text("/tmp/store_holder.out").find('1') != std::string::npos; }, 10))
      << "the transaction began";
  const auto locked_since = std::chrono::steady_clock::now();
  std::string request(1, static_cast<char>(kAbsentSensor));
  request += "/tmp/fw.bin";
  Queue queue;
  ASSERT_TRUE(queue.attached());
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(queue.post(36, request));  // MSP430 downloads

  long long last = sensor_frames();
  auto last_change = std::chrono::steady_clock::now();
  double longest_gap = 0;
  while (std::chrono::steady_clock::now() - locked_since < std::chrono::seconds(25)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const long long now = sensor_frames();
    const auto at = std::chrono::steady_clock::now();
    if (now != last) {
      last = now;
      last_change = at;
    }
    longest_gap = std::max(longest_gap, std::chrono::duration<double>(at - last_change).count());
  }
  EXPECT_LT(longest_gap, 3.0) << "seconds without a sensor frame handled";
  EXPECT_TRUE(eventually([&] { return daemon_lines("MSP430 OAD for 00124B00030000FA: its download record could not be written", mark) >= 1; }, 30))
      << daemon_output(mark);
  end_holder();
}

}  // namespace
}  // namespace sim::test
