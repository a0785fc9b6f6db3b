// The DeviceList segment: membership, the entry guard across processes, and the link semaphore.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <semaphore.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "shared/device_list.h"
#include "shared/device_list_guard.h"
#include "shared/segments.h"
#include "test_support.h"

namespace vorn::shared {
namespace {

using test::capture_stdout;

const std::uint8_t kSensorA[8] = {0xC4, 0xB3, 0xA2, 0x01, 0x00, 0x4B, 0x12, 0x00};
const std::uint8_t kSensorB[8] = {0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11, 0x00};

class DeviceList : public testing::Test {
 protected:
  void SetUp() override {
    create_shared_state();
    attachment_ = std::make_unique<SegmentAttachment>(core::daemon_state.device_list_segment_id);
    list_ = static_cast<DeviceListSegment *>(attachment_->address());
  }
  std::unique_ptr<SegmentAttachment> attachment_;
  DeviceListSegment *list_ = nullptr;
};

TEST_F(DeviceList, AddStoresOnlyShortAddressesOneToHundred) {
  EXPECT_EQ(capture_stdout([] { device_list_add(0x0064, kSensorA); }),
            "Add - DeviceList[0x0064] = 00124B0001A2B3C4\n");
  EXPECT_EQ(list_->entries[100].ShortAddress, 100);
  EXPECT_EQ(0, std::memcmp(list_->entries[100].ExtAddress, kSensorA, 8));
  EXPECT_EQ(capture_stdout([] { device_list_add(0x0065, kSensorA); }), "");
  EXPECT_EQ(capture_stdout([] { device_list_add(0, kSensorA); }), "");
  EXPECT_EQ(list_->entries[0].ShortAddress, 0);
}

TEST_F(DeviceList, RemoveByIndexClearsWhateverTheEntryHolds) {
  device_list_add(5, kSensorA);
  list_->entries[5].EventInterval = 300;
  EXPECT_EQ(capture_stdout([] { device_list_remove(5, kSensorB); }),
            "Del - DeviceList[0x0005] - 00124B0001A2B3C4\n");
  const DeviceListEntry zero{};
  EXPECT_EQ(0, std::memcmp(&list_->entries[5], &zero, sizeof zero));
}

TEST_F(DeviceList, RemoveOutsideTheRangeSearchesByAddress) {
  device_list_add(7, kSensorB);
  EXPECT_EQ(capture_stdout([] { device_list_remove(0xFFFF, kSensorB); }),
            "Del - DeviceList[0x0007] - 0011223344556677\n");
  EXPECT_EQ(list_->entries[7].ShortAddress, 0);
  EXPECT_EQ(capture_stdout([] { device_list_remove(0, kSensorA); }), "") << "unknown address";
  const std::uint8_t zero[8] = {};
  EXPECT_EQ(capture_stdout([&] { device_list_remove(0, zero); }), "") << "must not 'find' a free entry";
}

TEST_F(DeviceList, CreationWipesASegmentLeftByACrashedRun) {
  device_list_add(9, kSensorA);
  create_shared_state();
  SegmentAttachment again(core::daemon_state.device_list_segment_id);
  const auto *fresh = static_cast<const DeviceListSegment *>(again.address());
  EXPECT_EQ(fresh->entries[9].ShortAddress, 0);
}

TEST_F(DeviceList, EntryGuardMakesReadModifyWriteExclusiveAcrossProcesses) {
  constexpr int kWriters = 4, kRounds = 2000;
  for (int w = 0; w < kWriters; ++w) {
    if (fork() == 0) {
      for (int i = 0; i < kRounds; ++i) {
        DeviceEntryLock lock(3);
        std::uint32_t value = list_->entries[3].last_info_report;
        if (i % 64 == 0) usleep(1);  // widen the window an unguarded update would lose in
        list_->entries[3].last_info_report = value + 1;
      }
      _exit(0);
    }
  }
  for (int w = 0; w < kWriters; ++w) wait(nullptr);
  EXPECT_EQ(list_->entries[3].last_info_report, static_cast<std::uint32_t>(kWriters * kRounds));
}

TEST_F(DeviceList, AHolderThatDiesDoesNotBlockTheEntry) {
#ifdef VORN_USER_MODE_EMULATION
  GTEST_SKIP() << "user-mode emulation keeps no robust-futex list, so a dead holder's lock is never "
                  "handed on (tests/emulation/robust_mutex_probe.c)";
#endif
  pid_t child = fork();
  if (child == 0) {
    new DeviceEntryLock(4);  // never released: the process dies holding it
    _exit(0);
  }
  waitpid(child, nullptr, 0);
  pid_t locker = fork();
  if (locker == 0) {
    alarm(10);  // a hang fails the test instead of blocking it
    { DeviceEntryLock lock(4); }
    { DeviceEntryLock lock(4); }
    _exit(0);
  }
  int status = 0;
  waitpid(locker, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(LinkSemaphore, AStaleSemaphoreAtZeroIsReplacedAtStart) {
  sem_t *stale = sem_open(kLinkSemaphoreName, O_CREAT, 0666, 0);
  ASSERT_NE(stale, SEM_FAILED);
  int value = -1;
  sem_getvalue(stale, &value);
  ASSERT_EQ(value, 0);
  ASSERT_EQ(open_link_semaphore(), 0);
  sem_getvalue(core::daemon_state.link_semaphore, &value);
  EXPECT_EQ(value, 1);
  sem_close(stale);
}

}  // namespace
}  // namespace vorn::shared
