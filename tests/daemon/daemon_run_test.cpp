// The whole daemon in the router sandbox, against a scripted collector on 127.0.0.1:5000, a test
// stand-in for /usr/sbin/collector and a test cloud agent object on the bus.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
extern "C" {
#include <libubox/uloop.h>
}
#include <libubus.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "shared/txq.h"
#include "test_support.h"

namespace vorn {
namespace {

using test::Bytes;
using test::bytes;
using test::eventually;
using test::file_text;
using test::shell;
using namespace std::chrono_literals;

constexpr const char *kOutput = "/tmp/vorn_mgr.out";

std::size_t occurrences(const std::string &text, const std::string &line) {
  std::size_t count = 0;
  for (std::size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) ++count;
  return count;
}

bool output_has(const std::string &text) { return file_text(kOutput).find(text) != std::string::npos; }

// A cloud agent that answers "transmit" and "obtain" with an empty success.
pid_t start_cloud_agent() {
  pid_t pid = fork();
  if (pid != 0) return pid;
  uloop_init();
  ubus_context *context = ubus_connect(nullptr);
  if (context == nullptr) _exit(1);
  static auto answer = [](ubus_context *, ubus_object *, ubus_request_data *, const char *, blob_attr *) {
    return 0;
  };
  static const ubus_method methods[] = {UBUS_METHOD_NOARG("transmit", answer), UBUS_METHOD_NOARG("obtain", answer)};
  static ubus_object_type type = UBUS_OBJECT_TYPE("cloud_agent", methods);
  static ubus_object object{};
  object.name = "cloud_agent";
  object.type = &type;
  object.methods = methods;
  object.n_methods = 2;
  if (ubus_add_object(context, &object) != 0) _exit(1);
  ubus_add_uloop(context);
  uloop_run();
  _exit(0);
}

int listen_as_collector() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(5000);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 || listen(fd, 4) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

int accept_within(int listener, int seconds) {
  pollfd p{listener, POLLIN, 0};
  if (poll(&p, 1, seconds * 1000) <= 0) return -1;
  return accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
}

Bytes read_exactly(int fd, std::size_t count, int seconds = 10) {
  Bytes out;
  while (out.size() < count) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, seconds * 1000) <= 0) break;
    std::uint8_t buffer[256];
    ssize_t n = read(fd, buffer, std::min(sizeof buffer, count - out.size()));
    if (n <= 0) break;
    out.insert(out.end(), buffer, buffer + n);
  }
  return out;
}

void send_bytes(int fd, const Bytes &data) {
  ASSERT_EQ(write(fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
  std::this_thread::sleep_for(100ms);  // one frame per read, as the collector writes them
}

// Another process posts a request into the TXQ, as the command process does.
void post_from_another_process(std::int32_t tx_api_id, const Bytes &payload) {
  pid_t pid = fork();
  if (pid == 0) {
    int id = shmget(5168, 0, 0);
    auto *txq = static_cast<shared::TxqSegment *>(shmat(id, nullptr, 0));
    shared::TxqSlot *slot = shared::claim_txq_slot(txq);
    if (slot == nullptr) _exit(1);
    std::copy(payload.begin(), payload.end(), slot->payload);
    shared::publish_txq_slot(slot, tx_api_id);
    shmdt(txq);
    _exit(0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

void post_join_permit_from_another_process() { post_from_another_process(11, bytes({1})); }

Bytes frame(std::uint8_t api, Bytes payload) {
  Bytes out = bytes({static_cast<int>(payload.size() & 0xFF), static_cast<int>(payload.size() >> 8), 0x4A, api});
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

Bytes nwk_info_cnf() {
  Bytes payload(54, 0);
  payload[0] = 1;
  payload[1] = 1, payload[2] = 2, payload[3] = 3, payload[4] = 4;
  for (int i = 0; i < 8; ++i) payload[9 + i] = static_cast<std::uint8_t>(0x10 + i);
  std::string("SUB1G-MOD-US").copy(reinterpret_cast<char *>(payload.data() + 22), 32);
  return frame(5, payload);
}

bool vorn_mgr_processes_left() { return !shell("pgrep -x vorn_mgr").empty(); }

class DaemonRun : public testing::Test {
 protected:
  void SetUp() override {
    std::ofstream("/usr/sbin/collector") << "#!/bin/sh\necho 1 > /tmp/collector_ready\n"
                                            "while :; do sleep 1; done\n";
    std::system("chmod +x /usr/sbin/collector");
    std::system("uci -q add sensorlist Coprocessor >/dev/null; uci set sensorlist.@Coprocessor[].StartCount=2;"
                "uci commit sensorlist");
    cloud_agent_ = start_cloud_agent();
    ASSERT_TRUE(eventually([] { return shell("ubus list").find("cloud_agent") != std::string::npos; }, 5));
    std::system("ubus listen controld > /tmp/controld.events 2>&1 &");
    listener_ = listen_as_collector();
    ASSERT_GE(listener_, 0);
  }
  void TearDown() override {
    if (daemon_ > 0 && kill(daemon_, 0) == 0) {
      kill(daemon_, SIGKILL);
      waitpid(daemon_, nullptr, 0);
    }
    kill(cloud_agent_, SIGTERM);
    waitpid(cloud_agent_, nullptr, 0);
    std::system("killall -q -9 collector vorn_mgr cm_restart ubus");
    if (listener_ >= 0) close(listener_);
  }
  void start_daemon(const char *argument = nullptr) {
    std::fflush(stdout);
    daemon_ = fork();
    if (daemon_ == 0) {
      int out = open(kOutput, O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(out, STDOUT_FILENO);
      dup2(out, STDERR_FILENO);
      close(out);
      execl("/usr/sbin/vorn_mgr", "vorn_mgr", argument, static_cast<char *>(nullptr));
      _exit(127);
    }
  }
  pid_t daemon_ = -1;
  pid_t cloud_agent_ = -1;
  int listener_ = -1;
};

TEST_F(DaemonRun, StartsServesTheLinkReconnectsAndShutsDown) {
  start_daemon();
  int link = accept_within(listener_, 30);
  ASSERT_GE(link, 0) << file_text(kOutput);
  EXPECT_TRUE(output_has("StartCount = 3\n"));
  EXPECT_TRUE(output_has("Sub1g Region: 10\n"));
  EXPECT_EQ(file_text("/etc/collector.cfg"), file_text("/etc/vorn_cfg/collector_US915_HiPA.cfg"));
  EXPECT_TRUE(eventually([] { return output_has("connected to the collector..\n"); }, 5));
  EXPECT_TRUE(eventually([] { return output_has("connected as "); }, 5)) << "command process on the bus";

  EXPECT_EQ(read_exactly(link, 4), bytes({0x00, 0x00, 0x0A, 0x03})) << "network information request";

  send_bytes(link, nwk_info_cnf());
  // The handler's writes land one by one, then its commit. Between the commit emptying the staged
  // changes and its new file landing, the router's uci shows neither: the values are read together.
  const auto coprocessor = [] {
    return shell("for option in ModelName ModelVersion ExtAddress StartCount; do "
                 "uci -q get sensorlist.@Coprocessor[].$option; done");
  };
  EXPECT_TRUE(eventually([&] { return coprocessor() == "SUB1G-MOD-US\n1.2.3.04\n1716151413121110\n0\n"; }))
      << coprocessor() << file_text(kOutput);

  send_bytes(link, frame(10, bytes({5})));
  EXPECT_TRUE(eventually([] { return file_text("/tmp/controld.events").find("\"action\":4") != std::string::npos; }))
      << file_text("/tmp/controld.events");

  post_join_permit_from_another_process();
  EXPECT_EQ(read_exactly(link, 8), bytes({0x04, 0x00, 0x0A, 0x0B, 0xC0, 0xD4, 0x01, 0x00}));

  // Garbage, a frame of the wrong type, a truncated frame and an unknown id are dropped; the next
  // good frame is handled.
  send_bytes(link, bytes({0xFF, 0xFF, 0x00}));
  EXPECT_TRUE(eventually([] { return output_has("(3) Data Length not match, Reject!\n"); })) << file_text(kOutput);
  send_bytes(link, bytes({0x02, 0x00, 0x0A, 0x0C}));
  Bytes truncated = bytes({30, 0x00, 0x4A, 0x09});
  truncated.resize(24, 0x11);
  send_bytes(link, truncated);
  // The collector pauses: the rest of the payload never comes.
  EXPECT_TRUE(eventually([] { return output_has("(24) Data Length not match, Reject!\n"); }));
  send_bytes(link, frame(4, bytes({1, 2})));
  send_bytes(link, frame(12, bytes({0x2A, 0, 0, 0})));
  EXPECT_TRUE(eventually([] { return output_has("Set Join Permit Result: 0x2A\n"); })) << file_text(kOutput);
  EXPECT_TRUE(eventually([] { return output_has("Unknow API ID, Reject!\n"); }));

  // The collector closes the link: the daemon connects again and the new link carries requests.
  close(link);
  link = accept_within(listener_, 30);
  ASSERT_GE(link, 0) << file_text(kOutput);
  EXPECT_EQ(read_exactly(link, 4), bytes({0x00, 0x00, 0x0A, 0x03}));
  post_join_permit_from_another_process();
  EXPECT_EQ(read_exactly(link, 8), bytes({0x04, 0x00, 0x0A, 0x0B, 0xC0, 0xD4, 0x01, 0x00}));

  // SIGTERM ends every process of the daemon and removes both segments.
  kill(daemon_, SIGTERM);
  int status = 0;
  waitpid(daemon_, &status, 0);
  daemon_ = -1;
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_TRUE(eventually([] { return !vorn_mgr_processes_left(); }, 10)) << shell("ps -ef");
  EXPECT_EQ(shmget(5168, 0, 0), -1);
  EXPECT_EQ(shmget(5888, 0, 0), -1);
  EXPECT_TRUE(output_has("Disconnect to the server..\n"));
  close(link);

  // The daemon forks for every frame while its output goes to a file: nothing is printed twice.
  std::string out = file_text(kOutput);
  EXPECT_EQ(occurrences(out, "StartCount = 3\n"), 1u);
  EXPECT_EQ(occurrences(out, "Socket successfully created..\n"), 2u) << "start and reconnection";
  EXPECT_EQ(occurrences(out, "Get Network Info:\n"), 1u);
}

// The command process is started again when it ends, at most once a second, and the next cloud
// command is carried out; a stop leaves neither a daemon process nor a zombie behind.
TEST_F(DaemonRun, CommandProcessIsRestartedAndServesTheNextCommand) {
  start_daemon();
  int link = accept_within(listener_, 30);
  ASSERT_GE(link, 0) << file_text(kOutput);
  EXPECT_EQ(read_exactly(link, 4), bytes({0x00, 0x00, 0x0A, 0x03}));
  ASSERT_TRUE(eventually([] { return output_has("connected as "); })) << file_text(kOutput);
  const auto command_process = [this] {
    return std::atoi(shell("pgrep -P " + std::to_string(daemon_) + " -x vorn_mgr").c_str());
  };

  std::chrono::steady_clock::time_point restarted[2];
  for (int round = 0; round < 2; ++round) {
    const pid_t pid = command_process();
    ASSERT_GT(pid, 0) << shell("ps -ef");
    kill(pid, SIGKILL);
    ASSERT_TRUE(eventually([&] { return occurrences(file_text(kOutput), "connected as ") == round + 2u; }))
        << file_text(kOutput);
    restarted[round] = std::chrono::steady_clock::now();
    EXPECT_EQ(occurrences(file_text(kOutput), "Command process restarted as "), round + 1u);
    EXPECT_TRUE(output_has("The command process " + std::to_string(pid) + " was ended by signal 9\n"));
  }
  // The second process was killed at once: its restart waited for a second after the first.
  EXPECT_GE(restarted[1] - restarted[0], 800ms);

  std::system("ubus send vorn_mgr '{\"GetDevList\":null}'");
  EXPECT_EQ(read_exactly(link, 4), bytes({0x00, 0x00, 0x0A, 0x06})) << file_text(kOutput);

  kill(daemon_, SIGTERM);
  waitpid(daemon_, nullptr, 0);
  daemon_ = -1;
  EXPECT_TRUE(eventually([] { return !vorn_mgr_processes_left(); }, 10)) << shell("ps -ef");
  EXPECT_TRUE(eventually([] { return shell("ps -eo stat= | grep -c '^Z'") == "0\n"; }, 10))
      << shell("ps -eo pid,stat,comm");
  close(link);
}

// A sensor's Identification Request through the running daemon's handler process: the 27-byte
// Identification Response with its tag and RSSI, then the time synchronisation.
TEST_F(DaemonRun, IdentificationRequestIsAnsweredThenTheClockSet) {
  start_daemon();
  int link = accept_within(listener_, 30);
  ASSERT_GE(link, 0) << file_text(kOutput);
  EXPECT_EQ(read_exactly(link, 4), bytes({0x00, 0x00, 0x0A, 0x03}));
  const Bytes tag = bytes({0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88});
  Bytes payload = bytes({2, 0x03, 0x00, 0xD8, 0x22, 0xC4, 0xB3, 0xA2, 0x01, 0x00, 0x4B, 0x12, 0x00, 0x01, 0x00});
  payload.insert(payload.end(), tag.begin(), tag.end());
  payload.resize(3 + 174, 0);  // identity, no channels, trailer
  send_bytes(link, frame(9, payload));

  Bytes reply = read_exactly(link, 27 + 16, 30);
  ASSERT_EQ(reply.size(), 43u) << file_text(kOutput);
  Bytes response = bytes({0x17, 0x00, 0x0A, 0x23, 0x13, 0x00, 0x03, 0x00, 0x23});
  response.insert(response.end(), tag.begin(), tag.end());
  for (int b : {0xD8, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x7B, 0x00, 0x00, 0x00}) response.push_back(static_cast<std::uint8_t>(b));
  EXPECT_EQ(Bytes(reply.begin(), reply.begin() + 27), response);
  EXPECT_EQ(Bytes(reply.begin() + 27, reply.begin() + 39),
            bytes({0x0C, 0x00, 0x0A, 0x1A, 0x0A, 0x00, 0x03, 0x00, 0x03, 0x00, 0x04, 0x00}))
      << "SyncTime: set-sensor command 4";
  close(link);
}

TEST_F(DaemonRun, DebugSwitchDumpsEveryReceivedFrame) {
  start_daemon("-d1");
  int link = accept_within(listener_, 30);
  ASSERT_GE(link, 0) << file_text(kOutput);
  read_exactly(link, 4);
  send_bytes(link, frame(4, bytes({0xAB})));
  EXPECT_TRUE(eventually([] { return output_has("Unknow API ID, Reject!\n"); })) << file_text(kOutput);
  std::string out = file_text(kOutput);
  EXPECT_NE(out.find("From Server (5 byte):\n01 00 4A 04 AB "), std::string::npos) << out;
  close(link);
}

TEST_F(DaemonRun, SecondDebugLevelIsAccepted) {
  start_daemon("-d2");
  int link = accept_within(listener_, 30);
  ASSERT_GE(link, 0) << file_text(kOutput);
  send_bytes(link, frame(4, bytes({0xAB})));
  EXPECT_TRUE(eventually([] { return output_has("Unknow API ID, Reject!\n"); }));
  EXPECT_FALSE(output_has("From Server"));
  close(link);
}

// Frames in pieces, a stalled payload, a queued removal whose unused byte is 0, a join racing a
// re-join of one sensor, and an orderly stop that reports nothing as failed.
TEST_F(DaemonRun, ReadsFramesInPiecesAndStopsQuietly) {
  start_daemon();
  int link = accept_within(listener_, 30);
  ASSERT_GE(link, 0) << file_text(kOutput);
  read_exactly(link, 4);

  // Each frame goes once the daemon has handed on the one before, so that it is reading when the
  // first piece comes; the second piece follows well within the time the rest may take.
  auto send_in_pieces = [link](const Bytes &whole, std::size_t split, const char *handled) {
    send_bytes(link, Bytes(whole.begin(), whole.begin() + static_cast<long>(split)));
    send_bytes(link, Bytes(whole.begin() + static_cast<long>(split), whole.end()));
    EXPECT_TRUE(eventually([handled] { return output_has(handled); })) << handled << file_text(kOutput);
  };
  Bytes device_array = bytes({0, 1, 0});
  device_array.resize(21, 0x33);
  send_in_pieces(frame(12, bytes({0x2A, 0, 0, 0})), 2, "Set Join Permit Result: 0x2A\n");  // inside the header
  send_in_pieces(frame(14, bytes({0x07, 0, 0, 0})), 4, "Tx Data Request Result: 0x7\n");   // after the header
  send_in_pieces(frame(7, device_array), 10, "\tShort Address: 3333\n");                   // inside the payload
  Bytes stalled = bytes({30, 0x00, 0x4A, 0x09});
  stalled.resize(24, 0x11);
  send_in_pieces(stalled, 24, "(24) Data Length not match, Reject!\n");  // the rest never comes
  send_bytes(link, frame(12, bytes({0x2B, 0, 0, 0})));
  EXPECT_TRUE(eventually([] { return output_has("Set Join Permit Result: 0x2B\n"); })) << file_text(kOutput);
  std::string out = file_text(kOutput);
  EXPECT_EQ(occurrences(out, "Set Join Permit Result: 0x2A\n"), 1u) << out;
  EXPECT_EQ(occurrences(out, "Tx Data Request Result: 0x7\n"), 1u) << out;
  EXPECT_EQ(occurrences(out, "Get Device List:\n"), 1u) << out;
  EXPECT_EQ(occurrences(out, "\tShort Address: 3333\n"), 1u) << out;
  EXPECT_EQ(occurrences(out, "Data Length not match"), 1u) << out;
  EXPECT_EQ(occurrences(out, "(24) Data Length not match, Reject!\n"), 1u) << out;
  EXPECT_EQ(out.find("Unknow API ID"), std::string::npos) << out;
  EXPECT_EQ(out.find("Wrong length"), std::string::npos) << out;

  // A removal request whose unused fifth byte is 0 is sent whole.
  Bytes removal = bytes({'0', '0', '0', '5', 0});
  for (char c : std::string("0011223344556677")) removal.push_back(static_cast<std::uint8_t>(c));
  post_from_another_process(15, removal);
  EXPECT_EQ(read_exactly(link, 14),
            bytes({0x0A, 0x00, 0x0A, 0x0F, 0x05, 0x00, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11, 0x00}));

  // A join and a re-join of one sensor back to back leave it exactly one section. A slow uci
  // answers the section check late, so both handlers are sure to look before either adds.
  std::system("mv /usr/bin/uci /usr/bin/uci.real");
  std::ofstream("/usr/bin/uci") << "#!/bin/sh\n"
                                   "if [ \"$*\" = '-q get sensorlist.@0807060504030201[]' ]; then\n"
                                   "  out=$(/usr/bin/uci.real \"$@\"); sleep 0.5; [ -n \"$out\" ] && echo \"$out\"; exit 0\n"
                                   "fi\n"
                                   "exec /usr/bin/uci.real \"$@\"\n";
  std::system("chmod +x /usr/bin/uci");
  Bytes joined(19, 0);
  joined[2] = 0x07;
  for (int i = 0; i < 8; ++i) joined[4 + i] = static_cast<std::uint8_t>(i + 1);
  Bytes rejoined = joined;
  rejoined[18] = 1;
  Bytes both = frame(0, joined);
  Bytes second = frame(0, rejoined);
  both.insert(both.end(), second.begin(), second.end());
  send_bytes(link, both);
  EXPECT_TRUE(eventually([] { return occurrences(file_text(kOutput), "\tExt. Address: 0807060504030201\n") == 2; }));
  EXPECT_TRUE(eventually([] { return shell("uci -q get sensorlist.@0807060504030201[0].ShortAddress") == "0007\n"; }));
  std::this_thread::sleep_for(3s);  // both handlers past their database-file upkeep and commit
  EXPECT_EQ(shell("uci -q get sensorlist.@0807060504030201[1]"), "") << shell("uci show sensorlist");
  std::system("mv /usr/bin/uci.real /usr/bin/uci");

  kill(daemon_, SIGTERM);
  int status = 0;
  waitpid(daemon_, &status, 0);
  daemon_ = -1;
  EXPECT_TRUE(eventually([] { return !vorn_mgr_processes_left(); }, 10)) << shell("ps -ef");
  EXPECT_EQ(file_text(kOutput).find("failed"), std::string::npos) << file_text(kOutput);
  close(link);
}

}  // namespace
}  // namespace vorn
