// Many processes writing sensorlist at once, as frame handlers and the command process do: the
// router's uci tool keeps no lock across processes between staging a change and committing, so
// the daemon's own write lock is what keeps every change and every new section's address.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "data/sensor_texts.h"
#include "device_fixture.h"
#include "core/sensorlist_lock.h"
#include "devices/device_joined.h"
#include "devices/sensor_section.h"
#include "devices/sensorlist_store.h"
#include "shared/status_counters.h"

namespace vorn::devices {
namespace {

using namespace vorn::test;

constexpr int kWriters = 4;
constexpr int kRounds = 40;
constexpr int kJoiners = 4;
constexpr int kJoinsEach = 12;

std::string joined_text(int joiner, int join) {
  char text[17];
  std::snprintf(text, sizeof text, "00124B00020000%X%X", joiner, join);
  return text;
}

std::uint16_t joined_short_address(int joiner, int join) {
  return static_cast<std::uint16_t>(10 + joiner * kJoinsEach + join);
}

// A first join of the sensor with that text at that short address, as the collector reports it.
Bytes join_frame(const std::string &text, std::uint16_t short_address) {
  Bytes payload(19, 0);
  payload[2] = static_cast<std::uint8_t>(short_address);
  payload[3] = static_cast<std::uint8_t>(short_address >> 8);
  for (int i = 0; i < 8; ++i)
    payload[4 + i] = static_cast<std::uint8_t>(std::stoul(text.substr(14 - 2 * i, 2), nullptr, 16));
  return inbound(core::APP_DEVICE_JOINED_IND, payload);
}

template <typename Work>
pid_t start(Work work) {
  std::fflush(stdout);
  const pid_t pid = fork();
  if (pid == 0) {
    work();
    std::fflush(stdout);
    _exit(0);
  }
  return pid;
}

class SensorlistWriters : public DeviceFixture {};

// The sensor writer W writes: sensor 00124B0001A2B3C4 for the first two (their handlers wait for
// each other on its section lock), one of its own for each of the others.
std::string writer_sensor(int writer) { return writer < 2 ? kSensorText : "00124B00030000" + std::to_string(writer) + "0"; }

TEST_F(SensorlistWriters, ConcurrentSetsCommitsAndJoinsLoseNothing) {
  for (int w = 2; w < kWriters; ++w) add_section(writer_sensor(w).c_str(), "ShortAddress=000" + std::to_string(w + 2));
  std::vector<pid_t> children;
  // Writers set options and commit, round after round, as the handlers of sensor frames do; every
  // option has a name of its own, so any lost change shows.
  for (int w = 0; w < kWriters; ++w) {
    children.push_back(start([w] {
      for (int round = 0; round < kRounds; ++round) {
        const std::string name = "W" + std::to_string(w) + "R" + std::to_string(round);
        const std::string value = std::to_string(w * 100 + round);
        data::set_sensor_options(writer_sensor(w).c_str(), w < 2 ? 2 : w + 2, {{name.c_str(), value.c_str()}}, std::nullopt);
      }
    }));
  }
  // Meanwhile other sensors join: each join adds a section and sets its address.
  for (int j = 0; j < kJoiners; ++j) {
    children.push_back(start([j] {
      for (int n = 0; n < kJoinsEach; ++n) {
        Bytes frame = join_frame(joined_text(j, n), joined_short_address(j, n));
        capture_stdout([&] { handle_device_joined(frame.data()); });
      }
    }));
  }
  for (pid_t child : children) {
    int status = -1;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }

  int lost = 0;
  for (int w = 0; w < kWriters; ++w) {
    const std::string section = "sensorlist.@" + writer_sensor(w) + "[].";
    for (int round = 0; round < kRounds; ++round) {
      const std::string name = "W" + std::to_string(w) + "R" + std::to_string(round);
      if (uci_get(section + name) != std::to_string(w * 100 + round)) ++lost;
    }
    // The first two writers' handlers found no section: one of them added it with their address.
    EXPECT_EQ(uci_get(section + "ShortAddress"), "000" + std::to_string(w < 2 ? 2 : w + 2)) << w;
    EXPECT_EQ(sections_of(writer_sensor(w).c_str()), 1) << w;
  }
  EXPECT_EQ(0, lost) << "of " << kWriters * kRounds << " committed options";
  for (int j = 0; j < kJoiners; ++j)
    for (int n = 0; n < kJoinsEach; ++n) {
      const std::string text = joined_text(j, n);
      char address[5];
      std::snprintf(address, sizeof address, "%04X", joined_short_address(j, n));
      EXPECT_EQ(sections_of(text.c_str()), 1) << text;
      EXPECT_EQ(uci_get("sensorlist.@" + text + "[].ShortAddress"), address) << text;
    }
  EXPECT_EQ(shell("ls -A /tmp/.uci 2>/dev/null | xargs -r -I{} cat /tmp/.uci/{}"), "")
      << "nothing left staged and uncommitted";
}

// A process that holds an exclusive lock on `path` until it is killed.
pid_t hold_lock(const char *path) {
  return start_holding_child([path] {
    const int fd = open(path, O_RDWR | O_CREAT, 0600);
    return fd >= 0 && flock(fd, LOCK_EX) == 0;
  });
}

// Every lock a write sequence waits for is waited for a bounded time, with one line when the wait
// ends unmet: our write lock and a sensor's lock kept by a stuck process (the writes then go on
// without them), and uci's own lock on the package kept by another program (the writes are left
// out, said and counted as a commit that did not take; the file is as it was, nothing staged).
TEST_F(SensorlistWriters, LockWaitsEndAndSayWhatBecameOfTheWrites) {
  using std::chrono_literals::operator""ms;
  shared::create_status_counters();
  add_section(kSensorText, "ShortAddress=0003");
  const auto wish = [](int interval) {
    devices::set_sensor_number(kSensorText, "EventIntervalUserWanted", interval);
    devices::commit_sensorlist(kSensorText, ("its wanted interval " + std::to_string(interval)).c_str());
  };
  const struct {
    const char *held;
    std::function<void()> write;
    const char *said;
    const char *stored;
  } cases[] = {
      {core::kSensorlistLockPath, [&] { const core::SensorlistWriteLock lock(1000ms); wish(11); },
       "sensorlist lock: still taken after 1 s, writing without it\n", "11"},
      {"/var/run/vorn_mgr_00124B0001A2B3C4.lock",
       [&] {
         const SensorSectionLock section(kSensorText, 1000ms);
         const core::SensorlistWriteLock lock;
         wish(12);
       },
       "sensor lock /var/run/vorn_mgr_00124B0001A2B3C4.lock: still taken after 1 s, changing the section without it\n",
       "12"},
      {core::kUciSensorlistFile, [&] { const core::SensorlistWriteLock lock(core::kSensorlistLockWait, 1000ms); wish(13); },
       "sensorlist commit for 00124B0001A2B3C4 did not take: its wanted interval 13 not written: uci's lock on "
       "/etc/config/sensorlist stayed with another program for 1 s (1 so far)\n",
       "12"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.held);
    const pid_t holder = hold_lock(c.held);
    ASSERT_GT(holder, 0);
    testing::internal::CaptureStderr();
    const auto started = std::chrono::steady_clock::now();
    const std::string out = capture_stdout(c.write);
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const std::string said = out + testing::internal::GetCapturedStderr();
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    EXPECT_LT(took, 30.0) << "seconds the write waited";
    EXPECT_NE(said.find(c.said), std::string::npos) << said;
    EXPECT_EQ(uci_get(std::string("sensorlist.@") + kSensorText + "[].EventIntervalUserWanted"), c.stored);
  }
  EXPECT_EQ(shell("uci changes sensorlist"), "") << "nothing left staged";
}

}  // namespace
}  // namespace vorn::devices
