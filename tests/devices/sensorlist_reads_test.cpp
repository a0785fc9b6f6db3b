// The daemon reads sensorlist in-process through the uci library; every read must give what the
// command `uci -q get` prints, on the stand-ins and on the router's own uci, for every state of
// the files: committed, staged, both, missing, empty, lists, changes by other processes.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "../support/shell_and_file_text.h"
#include "devices/sensorlist_store.h"

namespace vorn::devices {
namespace {

using vorn::test::shell;

constexpr const char *kS1 = "00124B0001A2B3C4";

// The addresses every state is read at: sections by type and position, options present and not,
// a list, an empty and a multi-line value, a named section, the package alone.
const char *const kAddresses[] = {
    "sensorlist.@00124B0001A2B3C4[]",
    "sensorlist.@00124B0001A2B3C4[].ShortAddress",
    "sensorlist.@00124B0001A2B3C4[].RemoveSensor",
    "sensorlist.@00124B0001A2B3C4[].EventIntervalUserWanted",
    "sensorlist.@00124B0001A2B3C4[0].ModelName",
    "sensorlist.@00124B0001A2B3C4[1].ShortAddress",
    "sensorlist.@00124B0001A2B3C4[-1].ShortAddress",
    "sensorlist.@00124B0001A2B3C5[]",
    "sensorlist.@00124B0001A2B3C5[].ShortAddress",
    "sensorlist.@Coprocessor[]",
    "sensorlist.@Coprocessor[].StartCount",
    "sensorlist.@[0]",
    "sensorlist.@[1].ShortAddress",
    "sensorlist.@00124B0001A2B3C4[].Channels",
    "sensorlist.@00124B0001A2B3C4[].Empty",
    "sensorlist.@00124B0001A2B3C4[].Note",
    "sensorlist.@00124B0001A2B3C4[].Long",
    "sensorlist.main.Region",
    "sensorlist",
};

const std::string kLong(200, 'x');

// A state: the committed file (nullptr: none) and uci commands run after it is written.
struct State {
  const char *name;
  const char *file;
  std::vector<std::string> commands;
  bool malformed = false;  // the command prints nothing; the in-process read says it failed
};

void make_state(const State &state) {
  std::system("rm -rf /tmp/.uci /etc/config/sensorlist");
  if (state.file != nullptr) {
    std::string text = state.file;
    for (std::size_t at; (at = text.find("LONG")) != std::string::npos;) text.replace(at, 4, kLong);
    std::ofstream(kSensorlistFile) << text;
  }
  for (const std::string &command : state.commands) ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

struct Read {
  LineRead result;
  std::string line;
};

Read in_process(const char *address, std::size_t size = 128) {
  std::vector<char> line(size);
  const LineRead result = get_line(line.data(), size, "%s", address);
  return {result, line.data()};
}

Read by_command(const char *address) {
  char line[128];
  const LineRead result = read_line(line, sizeof line, "uci -q get %s", address);
  return {result, line};
}

const char *const kWritten =
    "\nconfig Coprocessor\n\toption StartCount '3'\n"
    "\nconfig 00124B0001A2B3C4\n\toption ShortAddress '0003'\n\toption ModelName 'TS-1'\n\toption Empty ''\n"
    "\tlist Channels 'Temperature'\n\tlist Channels 'Relative humidity'\n\tlist Channels \"it's\"\n"
    "\toption Note 'first line\nsecond line'\n\toption Long 'LONG'\n"
    "\nconfig 00124B0001A2B3C4\n\toption ShortAddress '0009'\n"
    "\nconfig gateway 'main'\n\toption Region '4'\n";

const State kStates[] = {
    {"committed",
     "",
     {"uci -q add sensorlist Coprocessor >/dev/null", "uci set sensorlist.@Coprocessor[].StartCount=2",
      "uci -q add sensorlist 00124B0001A2B3C4 >/dev/null", "uci set sensorlist.@00124B0001A2B3C4[].ShortAddress=0003",
      "uci set sensorlist.@00124B0001A2B3C4[].EventIntervalUserWanted=300", "uci commit sensorlist"}},
    {"staged only",
     "",
     {"uci -q add sensorlist 00124B0001A2B3C4 >/dev/null", "uci set sensorlist.@00124B0001A2B3C4[].ShortAddress=0004",
      "uci set sensorlist.@00124B0001A2B3C4[].RemoveSensor=1"}},
    {"committed and staged",
     kWritten,
     {"uci set sensorlist.@00124B0001A2B3C4[].ShortAddress=0005", "uci -q delete sensorlist.@00124B0001A2B3C4[].ModelName",
      "uci set sensorlist.@00124B0001A2B3C4[].EventIntervalUserWanted=600", "uci -q delete sensorlist.@Coprocessor[]",
      "uci -q add sensorlist 00124B0001A2B3C5 >/dev/null"}},
    {"written by hand: empty, list, multi-line, long", kWritten, {}},
    {"empty package", "", {}},
    {"no package file", nullptr, {}},
    {"staged changes of a package without a file", nullptr, {"mkdir -p /tmp/.uci", "echo junk > /tmp/.uci/sensorlist"}},
    {"a FIFO in the file's place", nullptr, {"mkfifo /etc/config/sensorlist"}},
    {"malformed", "config 00124B0001A2B3C4\n\toption ShortAddress '0003\n", {}, true},
};

TEST(SensorlistReads, GiveWhatTheCommandPrintsInEveryState) {
  for (const State &state : kStates) {
    SCOPED_TRACE(state.name);
    make_state(state);
    for (const char *address : kAddresses) {
      SCOPED_TRACE(address);
      const Read command = by_command(address), read = in_process(address);
      if (state.malformed) {
        EXPECT_EQ(command.result, LineRead::kNoLine);
        EXPECT_EQ(read.result, LineRead::kNotRun) << "a package that cannot be parsed is no absent value";
        continue;
      }
      EXPECT_EQ(read.result, command.result);
      EXPECT_EQ(read.line, command.line);
    }
    // A buffer too small for the value keeps what the command's reader keeps of it.
    EXPECT_EQ(in_process("sensorlist.@00124B0001A2B3C4[].Long", 9).line, by_command("sensorlist.@00124B0001A2B3C4[].Long").line.substr(0, 8));
  }
  // The values the daemon asks for, as it reads them.
  make_state(kStates[0]);
  EXPECT_EQ(read_event_interval_wanted(kS1), 300);
  EXPECT_EQ(get_int_value("sensorlist.@%s[].RemoveSensor", kS1), 0);
  EXPECT_EQ(in_process("network.lan.proto").result, LineRead::kNotRun) << "only sensorlist is read";
}

// Each read sees what other processes changed since the last one, also a change of the same size
// committed right after it (within one tick of the file times), and a handler forked after the
// copy was taken sees what changed after the fork.
TEST(SensorlistReads, SeeChangesOfOtherProcesses) {
  make_state(kStates[0]);
  const char *address = "sensorlist.@00124B0001A2B3C4[].EventIntervalUserWanted";
  for (const char *value : {"400", "500", "600", "700"}) {
    shell(std::string("uci set sensorlist.@00124B0001A2B3C4[].EventIntervalUserWanted=") + value);
    EXPECT_EQ(in_process(address).line, std::string(value) + "\n") << "staged";
    shell("uci commit sensorlist");
    EXPECT_EQ(in_process(address).line, std::string(value) + "\n") << "committed";
  }
  // A file long settled, rewritten in place with as many bytes and its old modification time put
  // back: its change time still moves.
  std::ofstream(kSensorlistFile) << "config 00124B0001A2B3C4\n\toption EventIntervalUserWanted '111'\n";
  shell("rm -rf /tmp/.uci; touch -d '2020-01-01 00:00:00' /etc/config/sensorlist; sleep 1.2");
  EXPECT_EQ(in_process(address).line, "111\n");
  std::ofstream(kSensorlistFile) << "config 00124B0001A2B3C4\n\toption EventIntervalUserWanted '222'\n";
  shell("touch -d '2020-01-01 00:00:00' /etc/config/sensorlist");
  EXPECT_EQ(in_process(address).line, "222\n") << "rewritten in place";
  make_state(kStates[0]);
  int report[2];
  int go[2];
  ASSERT_EQ(pipe(report), 0);
  ASSERT_EQ(pipe(go), 0);
  std::fflush(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    char byte = 0;
    const bool started = read(go[0], &byte, 1) == 1;
    const std::string line = started ? in_process(address).line : "";
    const bool sent = write(report[1], line.data(), line.size()) == static_cast<ssize_t>(line.size());
    _exit(sent ? 0 : 1);
  }
  close(go[0]);
  close(report[1]);
  shell("uci set sensorlist.@00124B0001A2B3C4[].EventIntervalUserWanted=800; uci commit sensorlist");
  ASSERT_EQ(write(go[1], "g", 1), 1);
  close(go[1]);
  char seen[64] = {};
  const ssize_t n = read(report[0], seen, sizeof seen - 1);
  close(report[0]);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_EQ(std::string(seen, n > 0 ? static_cast<std::size_t>(n) : 0), "800\n") << "the forked reader";
}

// While another process commits again and again, every read gives one of the values committed,
// never a mix, an absent value or a failure, and once it stops the command's own.
TEST(SensorlistReads, HoldWhileCommitsLand) {
  make_state(kStates[0]);
  std::fflush(nullptr);
  const pid_t writer = fork();
  if (writer == 0) {
    for (int i = 0; i < 60; ++i)
      std::system(i % 2 == 0 ? "uci set sensorlist.@00124B0001A2B3C4[].ShortAddress=00AA; uci commit sensorlist"
                             : "uci set sensorlist.@00124B0001A2B3C4[].ShortAddress=0003; uci commit sensorlist");
    _exit(0);
  }
  const char *address = "sensorlist.@00124B0001A2B3C4[].ShortAddress";
  int reads = 0;
  for (int done = 0; done == 0; ++reads) {
    done = waitpid(writer, nullptr, WNOHANG);
    const Read read = in_process(address);
    ASSERT_EQ(read.result, LineRead::kLine);
    EXPECT_TRUE(read.line == "0003\n" || read.line == "00AA\n") << read.line;
  }
  EXPECT_GT(reads, 1);
  EXPECT_EQ(in_process(address).line, by_command(address).line);
}

}  // namespace
}  // namespace vorn::devices
