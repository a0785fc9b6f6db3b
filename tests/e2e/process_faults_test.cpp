// The daemon's process model under faults, one after the other on one running gateway: a second
// daemon started beside it, the command process killed in the middle of commands, joins racing
// queued removals of the same sensor, a writer that dies inside the link semaphore, a collector
// that stops reading, and a link closed. After each the gateway sends again.
#include <semaphore.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <atomic>
#include <cstring>

#include "gateway_run.h"
#include "process_probe.h"

namespace sim::test {
namespace {

constexpr const char *kRacer = "00124B0003000041";
constexpr const char *kSteady = "00124B0003000042";
constexpr const char *kRacerSensor =
    R"({"ExtAddress":"00124B0003000041","ShortAddress":"0041","ModelName":"VT-PF1","ModelVersion":"2.0.0.1","Channels":[{"Name":"Temperature","Type":1,"Unit":"C"}]})";
constexpr const char *kSteadySensor =
    R"({"ExtAddress":"00124B0003000042","ShortAddress":"0042","ModelName":"VT-PF2","Channels":[{"Name":"Humidity","Type":2,"Unit":"%RH"}]})";

// The TX queue as a producer sees it: ten slots of a state, a request id and 128 payload bytes.
struct QueueSlot {
  std::int32_t state;  // 0 free, 1 being filled, 2 ready
  std::int32_t id;
  std::uint8_t payload[128];
};
static_assert(sizeof(QueueSlot) == 136);
constexpr key_t kQueueKey = 5168;
constexpr key_t kDeviceListKey = 5888;

class Queue {
 public:
  Queue() : slots_(static_cast<QueueSlot *>(shmat(shmget(kQueueKey, 0, 0), nullptr, 0))) {}
  ~Queue() {
    if (slots_ != reinterpret_cast<QueueSlot *>(-1)) shmdt(slots_);
  }
  bool attached() const { return slots_ != reinterpret_cast<QueueSlot *>(-1); }
  // Posts a request as the daemon's producers do; false when all ten slots stay taken for 5 s.
  bool post(std::int32_t id, const std::string &payload = "") {
    for (int tries = 0; tries < 500; ++tries) {
      for (int i = 0; i < 10; ++i) {
        std::atomic_ref<std::int32_t> state(slots_[i].state);
        std::int32_t free_state = 0;
        if (!state.compare_exchange_strong(free_state, 1)) continue;
        std::memset(slots_[i].payload, 0, sizeof slots_[i].payload);
        std::memcpy(slots_[i].payload, payload.data(), std::min(payload.size(), sizeof slots_[i].payload));
        slots_[i].id = id;
        state.store(2);
        return true;
      }
      usleep(10 * 1000);
    }
    return false;
  }
  int free_slots() const {
    int count = 0;
    for (int i = 0; i < 10; ++i) count += std::atomic_ref<std::int32_t>(slots_[i].state).load() == 0;
    return count;
  }

 private:
  QueueSlot *slots_;
};

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
    GatewayRun::TearDown();
    set_socket_buffers("4096 131072 6291456");
  }
  pid_t collector_stopped_ = -1;
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

}  // namespace
}  // namespace sim::test
