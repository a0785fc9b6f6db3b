// The installed /usr/bin/uci inside the router sandbox: the daemon's command shapes through the
// shell, many writers at once, SIGKILL in the middle of a commit or a set, and damaged files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "config_text.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
const std::string kConfig = "/etc/config/sensorlist";

// Built with sanitizers or run under emulation, every run of the tool costs some fifteen times
// more: the process-level stress runs fewer rounds there to stay bounded (the full counts run in
// the plain build).
#if defined(__SANITIZE_ADDRESS__) || defined(VORN_USER_MODE_EMULATION)
constexpr int kSlowdown = 5;
#else
constexpr int kSlowdown = 1;
#endif

std::string read_text(const std::string& path) {
  std::ostringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

void write_text(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

struct Shell {
  int status;
  std::string out, err;
};

// Runs COMMAND with /bin/sh as the daemon does, capturing both outputs.
Shell sh(const std::string& command) {
  const std::string err_file = "/tmp/uci_router_test.stderr";
  FILE* pipe = popen(("(" + command + ") 2>" + err_file).c_str(), "r");
  if (!pipe) return {-1, "", "popen failed"};
  std::string out;
  char buffer[4096];
  for (std::size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
  int status = pclose(pipe);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out, read_text(err_file)};
}

// Starts /usr/bin/uci with ARGS, its output thrown away.
pid_t spawn_uci(const std::vector<std::string>& args) {
  std::vector<char*> argv{const_cast<char*>("uci")};
  for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  if (posix_spawn(&pid, "/usr/bin/uci", &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

// Raw wait status of the finished process, or -1.
int wait_for(pid_t pid) {
  int status = -1;
  if (pid <= 0 || waitpid(pid, &status, 0) != pid) return -1;
  return status;
}

int run_uci(const std::vector<std::string>& args) {
  int status = wait_for(spawn_uci(args));
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool parse(const std::string& text, uci::Package& package) {
  uci::ParseError error;
  return uci::parse_config(text, package, error);
}

class Router : public ::testing::Test {
 protected:
  void SetUp() override {
    // These tests replace /etc/config/sensorlist: never on the host.
    char host[64] = {};
    gethostname(host, sizeof host - 1);
    ASSERT_TRUE(std::string(host) == "router" && access("/usr/bin/uci", X_OK) == 0)
        << "run inside tools/router-sandbox";
    fs::remove_all("/tmp/.uci");
    write_text(kConfig, "");
  }
};

TEST_F(Router, DaemonCommandShapesThroughTheShell) {
  EXPECT_EQ(sh("uci -q add sensorlist 00124B0001A2B3C4 >/dev/null && "
               "uci set sensorlist.@00124B0001A2B3C4[].ShortAddress=\"0003\" && "
               "uci commit sensorlist; sync; uci show sensorlist | grep ShortAddress | cut -d\"@\" -f2")
                .out,
            "00124B0001A2B3C4[0].ShortAddress='0003'\n");
  sh("uci -q add sensorlist Coprocessor; uci set sensorlist.@Coprocessor[].StartCount=0; "
     "uci set sensorlist.@Coprocessor[].ModelVersion=\"0.9.0.05\"; "
     "uci set sensorlist.@00124B0001A2B3C4[].ModelVersion=\"2.5.2.4\"; uci commit sensorlist; sync");
  struct Case {
    const char* command;
    const char* out;
    const char* err;
    int status;
  };
  const Case cases[] = {
      {"uci -q get sensorlist.@00124B0001A2B3C4[]", "00124B0001A2B3C4\n", "", 0},
      {"uci -q get sensorlist.@Coprocessor[]", "Coprocessor\n", "", 0},
      {"uci -q get sensorlist.@00124B0001A2B3C4[].ShortAddress", "0003\n", "", 0},
      {"uci -q get sensorlist.@00124B0001A2B3C4[].RemoveSensor", "", "", 1},
      {"uci -q get sensorlist.@0000000000000001[].ShortAddress", "", "", 1},
      {"uci get sensorlist.@00124B0001A2B3C4[0].ModelVersion", "2.5.2.4\n", "", 0},
      {"uci get sensorlist.@00124B0001A2B3C4[0].ModelName", "", "uci: Entry not found\n", 1},
      {"uci show sensorlist.@00124B0001A2B3C4[0].ModelVersion | cut -d\"'\" -f2", "2.5.2.4\n", "", 0},
      {"uci -q get sensorlist.@Coprocessor[].StartCount", "0\n", "", 0},
      {"uci -q get gateway.main.register_name", "GW00124B00A1B2C3\n", "", 0},
      {"uci show gateway",
       "gateway.main=gateway\ngateway.main.register_name='GW00124B00A1B2C3'\n"
       "gateway.main.cloud_ubus_name='cloud_agent'\ngateway.main.region='10'\n", "", 0},
      {"uci -q delete sensorlist.@00124B0001A2B3C4[]; uci commit sensorlist; sync; "
       "uci -q get sensorlist.@00124B0001A2B3C4[]", "", "", 1},
      {"cat /etc/config/sensorlist",
       "\nconfig Coprocessor\n\toption StartCount '0'\n\toption ModelVersion '0.9.0.05'\n", "", 0},
  };
  for (const Case& c : cases) {
    Shell ran = sh(c.command);
    EXPECT_EQ(ran.out, c.out) << c.command;
    EXPECT_EQ(ran.err, c.err) << c.command;
    EXPECT_EQ(ran.status, c.status) << c.command;
  }
}

// Each of several processes runs its own groups of set + commit; runs a worker per process.
template <typename Worker>
void run_processes(int count, Worker worker) {
  std::vector<pid_t> children;
  for (int k = 0; k < count; ++k) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) _exit(worker(k));
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = wait_for(pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "worker failed: " << status;
  }
}

// Holds an exclusive lock on a file of the test's own for its lifetime, as the daemon holds its
// sensorlist lock around every write sequence.
class WriteLock {
 public:
  WriteLock() : fd_(open("/tmp/uci_router_test.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0600)) {
    while (fd_ >= 0 && flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
    }
  }
  ~WriteLock() {
    if (fd_ >= 0) close(fd_);
  }
  WriteLock(const WriteLock&) = delete;
  WriteLock& operator=(const WriteLock&) = delete;

 private:
  int fd_;
};

// The tool locks no more than the router's own: writers that set and commit at once lose changes
// without a word (every command still exits 0), and lose none when each takes a lock of its own
// around its set and commit.
TEST_F(Router, WritersLoseChangesWithoutALockOfTheirOwnAndNoneWithOne) {
  constexpr int kGroups = 200 / kSlowdown;
  for (bool locked : {false, true}) {
    std::string text;
    for (int k = 0; k < 8; ++k) text += "config W" + std::to_string(k) + "\n";
    write_text(kConfig, text);
    fs::remove_all("/tmp/.uci");
    run_processes(8, [locked](int k) {
      int failures = 0;
      for (int i = 0; i < kGroups; ++i) {
        std::optional<WriteLock> lock;
        if (locked) lock.emplace();
        std::string target = "sensorlist.@W" + std::to_string(k) + "[].o" + std::to_string(i);
        failures += run_uci({"set", target + "=" + std::to_string(i * 10 + k)}) != 0;
        failures += run_uci({"commit", "sensorlist"}) != 0;
      }
      return failures == 0 ? 0 : 1;
    });
    uci::Package package;
    ASSERT_TRUE(parse(read_text(kConfig), package));
    ASSERT_EQ(package.sections.size(), 8u);
    std::size_t kept = 0;
    for (int k = 0; k < 8; ++k) {
      const uci::Section& section = package.sections[static_cast<std::size_t>(k)];
      kept += section.options.size();
      for (const uci::Option& option : section.options)
        EXPECT_EQ(option.values[0], std::to_string(std::stoi(option.name.substr(1)) * 10 + k));
      if (locked) {
        EXPECT_EQ(section.options.size(), static_cast<std::size_t>(kGroups)) << section.type;
      }
    }
    std::printf("%s: %zu of %d changes kept\n", locked ? "with a lock" : "without a lock", kept,
                8 * kGroups);
  }
}

// Others adding and deleting sections between a writer's steps never redirect its changes. Each
// command runs under the lock: the tool's own races are the test above.
TEST_F(Router, AddsAndDeletesOfOthersDoNotMoveAWritersChanges) {
  constexpr int kRounds = 40 / kSlowdown;  // even: every second round deletes the oldest
  run_processes(4, [](int k) {
    std::string type = "V" + std::to_string(k);
    int failures = 0;
    auto step = [&failures](const std::vector<std::string>& args) {
      WriteLock lock;
      failures += run_uci(args) != 0;
    };
    for (int i = 0; i < kRounds; ++i) {
      step({"add", "sensorlist", type});
      step({"set", "sensorlist.@" + type + "[-1].n=" + std::to_string(i)});
      step({"commit", "sensorlist"});
      if (i % 2 == 1) {
        step({"delete", "sensorlist.@" + type + "[0]"});
        step({"commit", "sensorlist"});
      }
    }
    return failures == 0 ? 0 : 1;
  });
  uci::Package package;
  ASSERT_TRUE(parse(read_text(kConfig), package));
  for (int k = 0; k < 4; ++k) {
    std::vector<std::string> values;
    for (const auto& section : package.sections)
      if (section.type == "V" + std::to_string(k))
        values.push_back(section.options.empty() ? "?" : section.options[0].values[0]);
    std::vector<std::string> expected;
    for (int n = kRounds / 2; n < kRounds; ++n) expected.push_back(std::to_string(n));
    EXPECT_EQ(values, expected) << "V" << k;
  }
}

// A big package, so that a commit takes long enough to be killed in the middle of writing.
constexpr int kBigSections = 3000 / kSlowdown;

void write_big_package() {
  std::string text;
  for (int i = 0; i < kBigSections; ++i) {
    text += "config Big\n\toption toggle 'start'\n";
    for (int o = 0; o < 6; ++o) text += "\toption field" + std::to_string(o) + " 'value " + std::to_string(i) + "'\n";
  }
  write_text(kConfig, text);
  ASSERT_EQ(run_uci({"set", "sensorlist.@Big[0].toggle=begin"}), 0);
  ASSERT_EQ(run_uci({"commit", "sensorlist"}), 0);
}

// Kills `uci ARGS` after a random delay up to about its full running time.
void kill_midway(const std::vector<std::string>& args, long max_delay_us, std::mt19937& random) {
  pid_t pid = spawn_uci(args);
  ASSERT_GT(pid, 0);
  long us = static_cast<long>(random() % static_cast<unsigned long>(max_delay_us));
  timespec delay{us / 1000000, us % 1000000 * 1000};
  nanosleep(&delay, nullptr);
  kill(pid, SIGKILL);
  wait_for(pid);
}

// One and a half times the running time of `uci ARGS`, which is run for that.
long running_time_us(const std::vector<std::string>& args) {
  auto start = std::chrono::steady_clock::now();
  run_uci(args);
  auto took = std::chrono::steady_clock::now() - start;
  return std::max<long>(1000, std::chrono::duration_cast<std::chrono::microseconds>(took).count() * 3 / 2);
}

// As with the router's tool, a killed commit leaves the old file or the new one, never a mix; its
// changes are then committed, still staged, or (killed after it emptied the staged changes but
// before its new file was in place) lost.
TEST_F(Router, KillDuringCommitLeavesTheOldOrTheNewFile) {
  write_big_package();
  run_uci({"set", "sensorlist.@Big[0].toggle=timing"});
  long window = running_time_us({"commit", "sensorlist"});
  std::mt19937 random(4242);
  int committed = 0, staged = 0, lost = 0;
  int pending = 0;  // rounds whose changes are staged and not yet committed
  for (int round = 0; round < 40 / kSlowdown; ++round) {
    std::string before = read_text(kConfig);
    std::string value = "v" + std::to_string(round);
    ASSERT_EQ(run_uci({"add", "sensorlist", "Round"}), 0);
    ASSERT_EQ(run_uci({"set", "sensorlist.@Big[0].toggle=" + value}), 0);
    uci::Package expected;
    ASSERT_TRUE(parse(before, expected));
    std::string old_toggle = expected.sections[0].find_option("toggle")->values[0];
    std::size_t rounds_before = expected.sections.size() - static_cast<std::size_t>(kBigSections);
    ++pending;
    for (int r = 0; r < pending; ++r) expected.sections.push_back(uci::Section{"Round", "", "", {}});
    expected.sections[0].set_option("toggle", value);
    std::string after_commit = uci::format_config(expected);

    kill_midway({"commit", "sensorlist"}, window, random);
    std::string now = read_text(kConfig);
    ASSERT_TRUE(now == before || now == after_commit) << "round " << round << ": mixed file";
    std::string seen_toggle = value;
    std::size_t seen_rounds = rounds_before + static_cast<std::size_t>(pending);
    if (now == after_commit) {
      ++committed;
      pending = 0;
    } else if (!sh("uci changes sensorlist").out.empty()) {
      ++staged;
    } else {
      ++lost;
      pending = 0;
      seen_toggle = old_toggle;
      seen_rounds = rounds_before;
    }
    EXPECT_EQ(sh("uci get sensorlist.@Big[0].toggle").out, seen_toggle + "\n") << "round " << round;
    EXPECT_EQ(sh("uci show sensorlist | grep -c '=Round$'").out, std::to_string(seen_rounds) + "\n");
  }
  std::printf("killed commits: %d committed, %d left staged, %d lost (window %ld us)\n", committed,
              staged, lost, window);
  ASSERT_EQ(run_uci({"commit", "sensorlist"}), 0);
  uci::Package package;
  EXPECT_TRUE(parse(read_text(kConfig), package));
}

TEST_F(Router, KillDuringSetLeavesTheOldOrTheNewStagedChanges) {
  write_big_package();
  long window = running_time_us({"set", "sensorlist.@Big[0].toggle=timing"});
  std::mt19937 random(99);
  std::string previous = "timing";
  for (int round = 0; round < 40 / kSlowdown; ++round) {
    std::string value = "s" + std::to_string(round);
    kill_midway({"set", "sensorlist.@Big[0].toggle=" + value}, window, random);
    Shell seen = sh("uci get sensorlist.@Big[0].toggle");
    ASSERT_TRUE(seen.out == previous + "\n" || seen.out == value + "\n") << seen.out << seen.err;
    previous = seen.out.substr(0, seen.out.size() - 1);
  }
  ASSERT_EQ(run_uci({"commit", "sensorlist"}), 0);
  EXPECT_EQ(sh("uci get sensorlist.@Big[0].toggle").out, previous + "\n");
}

// Garbage in the committed and the staged file: the tool answers 0 or 1, never dies of a signal,
// and a commit either refuses (file untouched) or writes a file that parses.
TEST_F(Router, DamagedFilesNeverCrashTheTool) {
  const std::string config = "config T\n\toption a '1'\n\tlist l 'x'\nconfig U 'u'\n\toption b \"2\"\n";
  ASSERT_EQ(run_uci({"add", "sensorlist", "T"}), 0);  // a staged file to start from
  write_text(kConfig, config);
  std::string staged = read_text("/tmp/.uci/sensorlist");
  staged += ".\t#0\ta\tnew\n-\t#1\n=\tu\tT\n";
  std::mt19937 random(2024);
  for (int round = 0; round < 120 / kSlowdown; ++round) {
    std::string c = config, s = staged;
    for (std::string* text : {&c, &s}) {
      for (int edits = static_cast<int>(random() % 3); edits > 0; --edits) {
        std::size_t at = random() % text->size();
        (*text)[at] = static_cast<char>(random() % 2 ? random() : "'\"\\\n\t#$"[random() % 7]);
      }
    }
    write_text(kConfig, c);
    write_text("/tmp/.uci/sensorlist", s);
    uci::Package package;
    bool valid = parse(c, package);
    for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
             {"show", "sensorlist"}, {"get", "sensorlist.@T[0].a"}, {"changes"},
             {"set", "sensorlist.@T[-1].a=z"}, {"commit", "sensorlist"}}) {
      int status = wait_for(spawn_uci(args));
      ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) <= 1) << args[0] << " status " << status;
    }
    std::string after = read_text(kConfig);
    if (valid) {
      EXPECT_TRUE(parse(after, package)) << after;
    } else {
      EXPECT_EQ(after, c);
    }
  }
}

}  // namespace
