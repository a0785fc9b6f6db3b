// Helpers every part of the daemon leans on: byte order, addresses, the hex dump layout that
// operators read, the name tables, the shell runner's refusal, per-thread time stamps and forks.
#include <gtest/gtest.h>
#include <sys/time.h>
#include <sys/wait.h>

extern "C" {
#include <libubox/uloop.h>
}

#include <atomic>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "app/collector_frames.h"
#include "core/byte_order.h"
#include "core/ext_address.h"
#include "core/hex_dump.h"
#include "core/link_frame.h"
#include "core/log_line.h"
#include "core/loop_signals.h"
#include "core/process_fork.h"
#include "core/run_file.h"
#include "core/sanitizer_locks.h"
#include "core/shell_command.h"
#include "devices/sensorlist_store.h"
#include "test_support.h"

namespace vorn::core {
namespace {

using test::capture_stdout;

TEST(ByteOrder, LittleEndianFieldsRoundTripAndChain) {
  const std::uint8_t in[] = {0x34, 0x12};
  EXPECT_EQ(read_le16(in), 0x1234);
  std::uint8_t frame[6] = {};
  std::uint8_t *end = write_le32(write_le16(frame, 0x1234), 120000);
  EXPECT_EQ(end, frame + 6);
  const std::uint8_t expected[] = {0x34, 0x12, 0xC0, 0xD4, 0x01, 0x00};
  EXPECT_EQ(0, std::memcmp(frame, expected, 6));
  EXPECT_EQ(read_le32(frame + 2), 120000u);
}

TEST(ExtAddress, TextIsMostSignificantByteFirstAndParsesBack) {
  const std::uint8_t address[8] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
  char text[kExtAddressTextSize];
  ext_address_text(address, text);
  EXPECT_STREQ(text, "8877665544332211");
  std::uint8_t back[8] = {};
  ASSERT_TRUE(parse_ext_address_text("8877665544332211", back));
  EXPECT_EQ(0, std::memcmp(back, address, 8));
  EXPECT_TRUE(parse_ext_address_text("00124b0001a2b3c4", back));

  const std::uint8_t zero[8] = {};
  const std::uint8_t one[8] = {0, 0, 0, 0, 0, 0, 0, 1};
  EXPECT_EQ(ext_address_is_set(zero), 0);
  EXPECT_EQ(ext_address_is_set(one), 1);
}

TEST(ExtAddress, OnlySixteenHexDigitsAreAccepted) {
  std::uint8_t out[8] = {9, 9, 9, 9, 9, 9, 9, 9};
  for (const char *bad : {"", "00124B0001A2B3C", "00124B0001A2B3C45", "00124B0001A2B3CG",
                          "00124B00;rm -rf ", "00124B0001A2B3C\n"}) {
    EXPECT_FALSE(is_ext_address_text(bad)) << bad;
    EXPECT_FALSE(parse_ext_address_text(bad, out)) << bad;
  }
  EXPECT_EQ(out[0], 9) << "a refused text leaves the bytes alone";
  EXPECT_FALSE(is_ext_address_text(nullptr));
}

TEST(CommandValues, ShellAndConfigurationCharactersAreRefused) {
  EXPECT_TRUE(is_safe_command_value("SUB1G-MOD-US"));
  EXPECT_TRUE(is_safe_command_value(""));
  for (const char *bad : {"a\"b", "a$(reboot)", "a`id`", "a\\b", "it's", "line\nbreak", "\x7f"})
    EXPECT_FALSE(is_safe_command_value(bad)) << bad;
}

TEST(HexDump, ShortLineIsPaddedSoTheBarStandsInColumn50) {
  const std::uint8_t data[] = {0x41, 0x00, 0x42};
  std::string out = capture_stdout([&] { hex_dump(data, 3); });
  EXPECT_EQ(out, "41 00 42   " + std::string(39, ' ') + "|  A.B \n");
  EXPECT_EQ(out.find('|'), 50u);
}

TEST(HexDump, FullAndSplitLinesKeepTheSameWidth) {
  std::uint8_t data[17];
  for (int i = 0; i < 17; ++i) data[i] = static_cast<std::uint8_t>(0x30 + i);
  std::string sixteen = capture_stdout([&] { hex_dump(data, 16); });
  EXPECT_EQ(sixteen,
            "30 31 32 33 34 35 36 37  38 39 3A 3B 3C 3D 3E 3F  |  0123456789:;<=>? \n");
  std::string seventeen = capture_stdout([&] { hex_dump(data, 17); });
  auto second = seventeen.substr(seventeen.find('\n') + 1);
  EXPECT_EQ(second.find('|'), 50u);
  EXPECT_EQ(second.substr(50), "|  @ \n");
  EXPECT_EQ(capture_stdout([&] { hex_dump(data, 0); }), "");
  // A line of exactly 8 and one of 9 bytes end up as wide as a full one.
  EXPECT_EQ(capture_stdout([&] { hex_dump(data, 8); }).find('|'), 50u);
  EXPECT_EQ(capture_stdout([&] { hex_dump(data, 9); }).find('|'), 50u);
}

TEST(NameTables, UnknownCodesHaveTheirOwnTexts) {
  EXPECT_EQ(capture_stdout([] { app::print_collector_state(7); }), "Unknow State\n");
  EXPECT_EQ(capture_stdout([] { app::print_collector_state(5); }), "Join Open\n");
  EXPECT_EQ(capture_stdout([] { app::print_network_mode(0); }), "Unknown Mode\n");
  EXPECT_EQ(capture_stdout([] { app::print_network_mode(3); }), "Freq Hopping\n");
}

TEST(ShellRunner, RunsWhatFitsAndRefusesWhatDoesNot) {
  char marker[] = "/tmp/system_test_XXXXXX";
  int fd = mkstemp(marker);
  ASSERT_GE(fd, 0);
  close(fd);
  unlink(marker);
  EXPECT_GT(_system("touch %s", marker), 0);
  EXPECT_EQ(access(marker, F_OK), 0);
  unlink(marker);

  std::string padding(500, 'x');
  testing::internal::CaptureStderr();
  int result = _system("touch %s #%s", marker, padding.c_str());
  std::string error = testing::internal::GetCapturedStderr();
  EXPECT_EQ(result, -1);
  EXPECT_NE(error.find("not run"), std::string::npos);
  EXPECT_NE(access(marker, F_OK), 0) << "a command cut to 511 characters must not run";
  // Exactly 511 characters still runs.
  std::string command = "touch " + std::string(marker) + " #";
  command += std::string(511 - command.size(), 'y');
  EXPECT_EQ(_system("%s", command.c_str()), 511);
  EXPECT_EQ(access(marker, F_OK), 0);
  unlink(marker);
}

// The router's event loop library takes SIGCHLD (a handler without SA_RESTART) and ignores
// SIGPIPE on start. Afterwards the daemon's needs hold again: both back at their defaults, commands
// started later see SIGPIPE at its default, and a signal arriving during a read of a command's
// output (as SIGCHLD does when any child ends) neither ends the read nor loses the value.
TEST(LoopSignals, RestoredAfterTheLoopStartsAndReadsSurviveInterruptions) {
  ASSERT_EQ(0, uloop_init());
  restore_signals_after_uloop_init();
  for (int signal : {SIGCHLD, SIGPIPE}) {
    struct sigaction now {};
    sigaction(signal, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_DFL) << "signal " << signal;
  }
  char line[128];
  ASSERT_TRUE(devices::read_first_line(line, sizeof line, "grep SigIgn /proc/self/status | cut -f2"));
  const unsigned long long ignored = std::strtoull(line, nullptr, 16);
  EXPECT_EQ(ignored & (1ull << (SIGPIPE - 1)), 0u) << "a started command ignores SIGPIPE: " << line;

  struct sigaction interrupting {};
  interrupting.sa_handler = [](int) {};
  sigaction(SIGALRM, &interrupting, nullptr);  // no SA_RESTART: a blocked read fails with EINTR
  const itimerval every_20_ms{{0, 20000}, {0, 20000}};
  setitimer(ITIMER_REAL, &every_20_ms, nullptr);
  const devices::LineRead read = devices::read_line(line, sizeof line, "sleep 0.3; echo kept value");
  const itimerval off{};
  setitimer(ITIMER_REAL, &off, nullptr);
  signal(SIGALRM, SIG_DFL);
  EXPECT_EQ(read, devices::LineRead::kLine);
  EXPECT_STREQ(line, "kept value\n");
  int lines = 0;
  devices::ReadPipe pipe = devices::open_read_pipe("printf 'a\\nbb\\n'");
  while (devices::read_pipe_line(pipe.get(), line, 2)) ++lines;  // one character and its terminator
  EXPECT_EQ(lines, 5) << "a line longer than the buffer is read in pieces";
  uloop_done();
}

TEST(Timestamp, EachThreadHasItsOwnBuffer) {
  const char *main_stamp = timestamp_text();
  const char *other_stamp = nullptr;
  std::thread([&] { other_stamp = timestamp_text(); }).join();
  EXPECT_NE(main_stamp, other_stamp);
  EXPECT_EQ(std::strlen(main_stamp), 19u);
  EXPECT_GT(uptime_seconds(), 0);
}

TEST(FixedPoint, SplitsIntegerAndTenThousandths) {
  FixedPoint f = split_fixed_point(12.34);
  EXPECT_EQ(f.integer, 12);
  EXPECT_EQ(f.fraction, 3400);
  f = split_fixed_point(21.5);
  EXPECT_EQ(f.integer, 21);
  EXPECT_EQ(f.fraction, 5000);
  f = split_fixed_point(70000.25);  // integer part cut to 16 bits
  EXPECT_EQ(f.integer, static_cast<std::uint16_t>(70000));
  EXPECT_EQ(f.fraction, 2500);
  EXPECT_EQ(split_fixed_point(-3.5).integer, 0);
  // Values no sensor should send still give a defined answer, never undefined behaviour.
  f = split_fixed_point(1e300);
  EXPECT_EQ(f.integer, 0xFFFF);
  f = split_fixed_point(std::nan(""));
  EXPECT_EQ(f.integer, 0);
}

// A sanitized build's child forked while another thread is inside the sanitizer's allocator (here:
// holds its lock for a while) must still allocate and end, not inherit the lock taken.
TEST(ProcessFork, ChildOfAForkDuringAnotherThreadsAllocationEnds) {
#if defined(VORN_SANITIZER_FORK_LOCKS)
  std::atomic<bool> holding{false};
  std::thread allocator_user([&] {
    __lsan::LockAllocator();
    holding = true;
    usleep(300 * 1000);
    __lsan::UnlockAllocator();
  });
  while (!holding) usleep(1000);
  const pid_t child = fork_process();
  if (child == 0) {
    std::string grown;
    for (int i = 0; i < 1000; ++i) grown += std::string(64 + i % 512, 'x');  // refills the child's caches
    _exit(grown.empty() ? 1 : 0);
  }
  allocator_user.join();
  ASSERT_GT(child, 0);
  int status = -1;
  for (int tenth = 0; tenth < 300 && waitpid(child, &status, WNOHANG) == 0; ++tenth) usleep(100 * 1000);
  if (waitpid(child, &status, WNOHANG) == 0) {
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
    FAIL() << "the child hung in its first allocations";
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
#else
  GTEST_SKIP() << "only a sanitized build's allocator needs holding across a fork";
#endif
}

// /var/run full when the daemon starts: a second start still names the first one's process,
// whether the run file was an earlier run's (written over in place) or could take nothing at all
// (the kernel's list of file locks names its holder).
TEST(RunFile, ASecondStartNamesTheRunningDaemonWithVarRunFull) {
  struct SmallRun {
    SmallRun() { mounted = std::system("mount -t tmpfs -o size=16k,mode=0755 full_run /run") == 0; }
    ~SmallRun() {
      if (mounted) std::system("umount /run");
    }
    bool mounted;
  };
  for (const bool earlier_run : {false, true}) {
    SCOPED_TRACE(earlier_run ? "an earlier run's file" : "no file yet");
    const SmallRun run;
    ASSERT_TRUE(run.mounted);
    if (earlier_run) std::system("echo 99999 > /var/run/vorn_mgr.pid");
    std::system("dd if=/dev/zero of=/var/run/filler bs=1k 2>/dev/null");
    const pid_t first = test::start_holding_child([] {
      std::freopen("/dev/null", "w", stderr);  // it says it cannot write the id
      claim_run_file();
      return true;
    });
    ASSERT_GT(first, 0);
    testing::internal::CaptureStderr();
    const pid_t second = fork();
    if (second == 0) claim_run_file();  // ends the process: the first holds the run
    int status = 0;
    waitpid(second, &status, 0);
    const std::string said = testing::internal::GetCapturedStderr();
    kill(first, SIGKILL);
    waitpid(first, nullptr, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
    EXPECT_NE(said.find("already running (process " + std::to_string(first) + ","), std::string::npos) << said;
  }
}

}  // namespace
}  // namespace vorn::core
