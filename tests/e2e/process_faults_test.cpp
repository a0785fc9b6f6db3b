// The daemon's process model under faults, one after the other on one running gateway: a second
// daemon started beside it, the command process killed in the middle of commands, joins racing
// queued removals of the same sensor, a writer that dies inside the link semaphore, a collector
// that stops reading, and a link closed. After each the gateway sends again. And a writer killed
// inside the link semaphore whose process id goes to another program.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <semaphore.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <atomic>
#include <cstring>

#include "gateway_run.h"
#include "request_queue.h"
#include "process_probe.h"

namespace sim::test {
namespace {

constexpr const char *kRacer = "00124B0003000041";
constexpr const char *kSteady = "00124B0003000042";
constexpr const char *kRacerSensor =
    R"({"ExtAddress":"00124B0003000041","ShortAddress":"0041","ModelName":"VT-PF1","ModelVersion":"2.0.0.1","Channels":[{"Name":"Temperature","Type":1,"Unit":"C"}]})";
constexpr const char *kSteadySensor =
    R"({"ExtAddress":"00124B0003000042","ShortAddress":"0042","ModelName":"VT-PF2","Channels":[{"Name":"Humidity","Type":2,"Unit":"%RH"}]})";
constexpr key_t kDeviceListKey = 5888;

long long received(const char *kind) { return count_of(bus_call("collector_sim", "stats").get(), "Received", kind); }

// A device-list request posted to the queue reaches the collector within `seconds`.
bool queue_is_served(Queue &queue, int seconds) {
  const long long before = received("APP_GET_DEVICE_ARRAY_REQ");
  return queue.post(6) && eventually([&] { return received("APP_GET_DEVICE_ARRAY_REQ") > before; }, seconds);
}

// Handlers of frames: every vorn_mgr process but the main and the command process.
std::size_t handlers_alive() {
  const std::size_t all = processes_named("vorn_mgr");
  return all > 2 ? all - 2 : 0;
}

void set_socket_buffers(const char *size) {
  for (const char *path : {"/proc/sys/net/ipv4/tcp_wmem", "/proc/sys/net/ipv4/tcp_rmem"})
    std::ofstream(path) << size << " " << size << " " << size;
}

class ProcessFaults : public GatewayRun {
 protected:
  void TearDown() override {
    if (collector_stopped_ > 0) kill(collector_stopped_, SIGCONT);
    if (sleeper_ > 0) {
      kill(sleeper_, SIGKILL);
      waitpid(sleeper_, nullptr, 0);
    }
    GatewayRun::TearDown();
    set_socket_buffers("4096 131072 6291456");
  }
  pid_t collector_stopped_ = -1;
  pid_t sleeper_ = -1;
};

TEST_F(ProcessFaults, GatewaySendsAgainAfterEachFault) {
  // Small link buffers, so that a collector that stops reading soon stops taking frames.
  set_socket_buffers("4096");
  start_gateway(std::string(R"({"TimeScale":30,"Sensors":[)") + kRacerSensor + "," + kSteadySensor + "]}");
  ASSERT_TRUE(eventually([] { return !sensor_option(kSteady, "ModelVersion").empty(); }, 120)) << shell("uci show sensorlist");
  Queue queue;
  ASSERT_TRUE(queue.attached());
  const int device_list = shmget(kDeviceListKey, 0, 0);

  // A second daemon finds the first, says so and ends, touching nothing of the first one's.
  {
    const std::size_t mark = daemon_output().size();
    pid_t second = start_program({"/usr/sbin/vorn_mgr"}, "/tmp/second_vorn_mgr.out");
    int status = 0;
    ASSERT_TRUE(eventually([&] { return waitpid(second, &status, WNOHANG) == second; }, 30));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 0);
    EXPECT_NE(file_text("/tmp/second_vorn_mgr.out").find("already running"), std::string::npos)
        << file_text("/tmp/second_vorn_mgr.out");
    EXPECT_EQ(shmget(kDeviceListKey, 0, 0), device_list) << "the segments of the first daemon are kept";
    EXPECT_EQ(daemon_output(mark).find("The collector closed the link"), std::string::npos);
    EXPECT_TRUE(queue_is_served(queue, 30));
  }

  // The command process killed in the middle of commands, eleven times: no queue slot is lost.
  // The command process serves commands once its status object is on the bus (it registers that
  // after its event handler).
  const auto command_process_serving = [] { return bool(bus_call("vorn_mgr", "status")); };
  for (int kill_count = 0; kill_count < 11; ++kill_count) {
    ASSERT_TRUE(eventually(command_process_serving, 60));
    const pid_t command_process = command_process_of(daemon_);
    ASSERT_GT(command_process, 0);
    std::system((std::string("ubus send vorn_mgr '{\"SetEventTimer\":\"") + kSteady + "\",\"TimeBase\":\"" +
                 std::to_string(100 + kill_count) + "\"}'").c_str());
    usleep(static_cast<useconds_t>(5000 + 4000 * kill_count));
    kill(command_process, SIGKILL);
    ASSERT_TRUE(eventually([&] { const pid_t now = command_process_of(daemon_); return now > 0 && now != command_process; }, 30));
  }
  EXPECT_TRUE(eventually([&] { return queue.free_slots() == 10; }, 30)) << queue.free_slots() << " slots free";
  {
    const long long before = received("APP_GET_DEVICE_ARRAY_REQ");
    ASSERT_TRUE(eventually(command_process_serving, 60));
    std::system("ubus send vorn_mgr '{\"GetDevList\":null}'");
    EXPECT_TRUE(eventually([&] { return received("APP_GET_DEVICE_ARRAY_REQ") > before; }, 30));
  }

  // Joins of one sensor racing queued removals of it: no handler is left waiting on a lock or a
  // pipe it inherited, and the queue goes on being served.
  {
    const std::string removal = std::string("0041 ") + kRacer;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(8);
    for (int round = 0; std::chrono::steady_clock::now() < until; ++round) {
      if (!bus_call("collector_sim", "rejoin", std::string(R"({"ID":")") + kRacer + "\"}"))
        bus_call("collector_sim", "add", kRacerSensor);
      if (round % 3 == 0) queue.post(15, removal);
      usleep(20 * 1000);
    }
    EXPECT_TRUE(eventually([] { return handlers_alive() == 0; }, 60)) << handlers_alive() << " handlers still alive";
    EXPECT_TRUE(queue_is_served(queue, 30));
  }

  // A writer killed inside the link semaphore: it is released, once, and frames flow again.
  {
    const std::size_t mark = daemon_output().size();
    const pid_t writer = fork();
    if (writer == 0) {
      sem_t *semaphore = sem_open("/vorn_mgr_sem", 0);
      if (semaphore != SEM_FAILED) sem_wait(semaphore);
      raise(SIGKILL);
    }
    waitpid(writer, nullptr, 0);
    EXPECT_TRUE(queue_is_served(queue, 60));
    EXPECT_EQ(daemon_lines("The link semaphore was left taken by process", mark), 1u) << daemon_output(mark);
  }

  // The collector stops reading for 30 s: writes give up, the link is made again, and once the
  // collector reads again the gateway sends to it.
  {
    const std::size_t mark = daemon_output().size();
    for (const ProcessInfo &p : all_processes())
      if (p.name == "collector" && p.state != 'Z') collector_stopped_ = p.pid;
    ASSERT_GT(collector_stopped_, 0);
    kill(collector_stopped_, SIGSTOP);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    // Requests of 124 bytes (a file name for the collector), so the buffers fill soon.
    while (std::chrono::steady_clock::now() < until) {
      queue.post(21, std::string(120, 'f'));
      usleep(20 * 1000);
    }
    EXPECT_GE(daemon_lines("the collector took nothing of it", mark), 1u) << daemon_output(mark);
    EXPECT_GE(daemon_lines("making the link again", mark), 1u);
    kill(collector_stopped_, SIGCONT);
    collector_stopped_ = -1;
    EXPECT_TRUE(eventually([&] { return daemon_lines("Get Network Info:\n", mark) >= 1; }, 120)) << daemon_output(mark);
    EXPECT_TRUE(queue_is_served(queue, 60));
  }

  // The link closed by the collector's end: the daemon reconnects and sends again.
  {
    const std::size_t mark = daemon_output().size();
    std::system("killall -q -9 collector");
    EXPECT_TRUE(eventually([&] { return daemon_lines("Get Network Info:\n", mark) >= 1; }, 120)) << daemon_output(mark);
    EXPECT_TRUE(queue_is_served(queue, 60));
  }

  EXPECT_TRUE(eventually([] { return handlers_alive() == 0; }, 60));
  EXPECT_EQ(kill(daemon_, 0), 0) << "the daemon lived through every fault";
  const std::string output = daemon_output();
  for (const char *trouble : {"Sanitizer", "runtime error:", "shmat failed"})
    EXPECT_EQ(output.find(trouble), std::string::npos)
        << trouble << " in:\n" << output.substr(output.find(trouble) > 1000 ? output.find(trouble) - 1000 : 0, 5000);
}

// Four buffered sensors, each with a Data Frame Request every real second, which its handler
// answers on the link.
std::string answering_network() {
  std::string sensors;
  for (int i = 1; i <= 4; ++i) {
    char sensor[320];
    std::snprintf(sensor, sizeof sensor,
                  R"(%s{"ExtAddress":"00124B00030000%02d","ShortAddress":"00%02d","ModelName":"VT-RP%d","Frames":"buffered",)"
                  R"("Records":1,"EventInterval":30,"Channels":[{"Name":"Level","Type":1,"Unit":"m"}]})",
                  i > 1 ? "," : "", 50 + i, 50 + i, i);
    sensors += sensor;
  }
  return R"({"TimeScale":30,"Sensors":[)" + sensors + "]}";
}

// The daemon's end of the collector link, taken from its main process (pidfd_getfd): a socket
// whose peer is port 5000. -1 when there is none.
int daemon_link_socket(pid_t main_process) {
  const int process = static_cast<int>(syscall(SYS_pidfd_open, main_process, 0));
  if (process < 0) return -1;
  int link = -1;
  for (int fd = 0; fd < 256 && link < 0; ++fd) {
    char target[64] = {};
    const std::string path = "/proc/" + std::to_string(main_process) + "/fd/" + std::to_string(fd);
    if (readlink(path.c_str(), target, sizeof target - 1) <= 0 || std::strncmp(target, "socket:", 7) != 0) continue;
    const int copy = static_cast<int>(syscall(SYS_pidfd_getfd, process, fd, 0));
    if (copy < 0) continue;
    sockaddr_in peer{};
    socklen_t size = sizeof peer;
    if (getpeername(copy, reinterpret_cast<sockaddr *>(&peer), &size) == 0 && peer.sin_family == AF_INET &&
        ntohs(peer.sin_port) == 5000)
      link = copy;
    else
      close(copy);
  }
  close(process);
  return link;
}

// Fills what the daemon may have on its way to a collector that reads nothing: download status
// requests (4 bytes, which the collector does not answer), each written whole, until no more fit.
// The daemon's next writer then waits in its write, inside the link semaphore.
bool fill_link(int link) {
  const int least = 1;
  setsockopt(link, SOL_SOCKET, SO_SNDBUF, &least, sizeof least);
  const std::uint8_t status_request[] = {0, 0, 0x0A, 0x17};
  for (int full = 0, i = 0; i < 1000000; ++i) {
    const ssize_t n = send(link, status_request, sizeof status_request, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n == sizeof status_request) {
      full = 0;
      continue;
    }
    if (n > 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return false;  // a frame cut: the test cannot go on
    if (++full == 20) return true;  // stays full
    usleep(10 * 1000);
  }
  return false;
}

// A frame handler blocked in a write to the link, inside the link semaphore: the only process
// that can be, and one whose kernel wait is that of a stream socket's full buffer (the main
// process's read of the link waits the same way, and is left out). 0 when there is none.
pid_t handler_writing_to_the_link(pid_t main_process) {
  const pid_t command_process = command_process_of(main_process);
  for (const ProcessInfo &p : all_processes()) {
    if (p.name != "vorn_mgr" || p.state == 'Z' || p.pid == main_process || p.pid == command_process) continue;
    const std::string wait = file_text(("/proc/" + std::to_string(p.pid) + "/wchan").c_str());
    if (wait == "wait_woken" || wait == "sk_stream_wait_memory") return p.pid;  // named so by later and earlier kernels
  }
  return 0;
}

// A process that runs `sleep 45` under the process id `pid`, set up through the PID namespace's
// last given id (the sandbox has a namespace of its own); -1 when another process took the id
// first every time.
pid_t sleeper_with_pid(pid_t pid) {
  for (int tries = 0; tries < 200; ++tries) {
    if (kill(pid, 0) == 0) {  // taken for now (a handler's command): wait for it to go
      usleep(10 * 1000);
      continue;
    }
    std::ofstream("/proc/sys/kernel/ns_last_pid") << pid - 1;
    const pid_t sleeper = fork();
    if (sleeper == 0) {
      execl("/bin/sleep", "sleep", "45", static_cast<char *>(nullptr));
      _exit(127);
    }
    if (sleeper == pid) return sleeper;
    kill(sleeper, SIGKILL);
    waitpid(sleeper, nullptr, 0);
  }
  return -1;
}

// A handler killed while its frame waits in the full link, whose process id then goes to another
// program: the link semaphore is still seen to be left by an ended holder, released once, and
// frames flow again long before that program ends.
TEST_F(ProcessFaults, AHoldersProcessIdGivenToAnotherProgramDoesNotKeepTheLinkTaken) {
  set_socket_buffers("4096");
  start_gateway(answering_network());
  ASSERT_TRUE(eventually([] {
    const Json stats = bus_call("collector_sim", "stats");
    return count_of(stats.get(), "Answered", "DataFrameRequest") >= 8;
  }, 120)) << json_text(bus_call("collector_sim", "stats").get());
  Queue queue;
  ASSERT_TRUE(queue.attached());

  const std::size_t mark = daemon_output().size();
  ASSERT_TRUE(bus_call("collector_sim", "stall", R"({"Seconds":120})"));
  const int link = daemon_link_socket(daemon_);
  ASSERT_GE(link, 0);
  const bool filled = fill_link(link);
  close(link);
  ASSERT_TRUE(filled);
  pid_t holder = 0;
  for (int tries = 0; tries < 1000 && (holder = handler_writing_to_the_link(daemon_)) == 0; ++tries) usleep(10 * 1000);
  ASSERT_GT(holder, 0) << daemon_output(mark);
  ASSERT_TRUE(bus_call("collector_sim", "pause"));  // fewer new processes to race for the id
  kill(holder, SIGKILL);
  ASSERT_TRUE(eventually([&] { return !process_info(holder); }, 10)) << "the killed handler was reaped";
  sleeper_ = sleeper_with_pid(holder);
  ASSERT_EQ(sleeper_, holder) << "the id went to the sleeper";
  ASSERT_TRUE(bus_call("collector_sim", "stall", R"({"Seconds":0})"));

  EXPECT_TRUE(queue_is_served(queue, 25)) << daemon_output(mark);
  EXPECT_EQ(kill(sleeper_, 0), 0) << "served while the id still names a running program";
  EXPECT_EQ(daemon_lines("The link semaphore was left taken by process " + std::to_string(holder) + ", which has ended", mark), 1u)
      << daemon_output(mark);
  ASSERT_TRUE(bus_call("collector_sim", "resume"));
  const long long answered = count_of(bus_call("collector_sim", "stats").get(), "Answered", "DataFrameRequest");
  EXPECT_TRUE(eventually([&] { return count_of(bus_call("collector_sim", "stats").get(), "Answered", "DataFrameRequest") >= answered + 4; }, 30));
}

}  // namespace
}  // namespace sim::test
