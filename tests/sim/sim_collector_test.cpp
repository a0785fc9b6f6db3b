// The simulated collector on its own, with this test in the daemon's place on 127.0.0.1:5000:
// the requests of the link tables, written here byte by byte, and what the collector and its
// sensors answer.
#include <arpa/inet.h>
#include <gateway_lib/download_records.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <functional>

#include "gateway_run.h"

namespace sim::test {
namespace {

using Frame = std::vector<std::uint8_t>;

Frame hex(const std::string &text) {
  Frame out;
  std::istringstream in(text);
  std::string byte;
  while (in >> byte) out.push_back(static_cast<std::uint8_t>(std::stoul(byte, nullptr, 16)));
  return out;
}

// The daemon's end of the link: sends request bytes, collects the collector's frames.
class DaemonEnd {
 public:
  bool connect_to_collector() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(5000);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return connect(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
  }
  ~DaemonEnd() {
    if (fd_ >= 0) close(fd_);
  }
  void send(const Frame &frame) { ASSERT_EQ(write(fd_, frame.data(), frame.size()), static_cast<ssize_t>(frame.size())); }

  // The next frame (header included) that `wanted` accepts, reading for up to `seconds`; others
  // are passed over. Empty when none came.
  Frame next(const std::function<bool(const Frame &)> &wanted, int seconds = 20) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    for (;;) {
      while (buffer_.size() >= 4 && buffer_.size() >= 4u + (buffer_[0] | buffer_[1] << 8)) {
        const std::size_t size = 4u + (buffer_[0] | buffer_[1] << 8);
        Frame frame(buffer_.begin(), buffer_.begin() + static_cast<long>(size));
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<long>(size));
        EXPECT_EQ(frame[2], 0x4A) << "type byte of a collector frame";
        if (wanted(frame)) return frame;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      pollfd p{fd_, POLLIN, 0};
      if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return {};
      std::uint8_t bytes[4096];
      const ssize_t n = read(fd_, bytes, sizeof bytes);
      if (n <= 0) return {};
      buffer_.insert(buffer_.end(), bytes, bytes + n);
    }
  }

 private:
  int fd_ = -1;
  Frame buffer_;
};

// Frames by API id, and data indications by the sensor command (application frame byte 1, at
// frame offset 4 + 3 + 1) of a short address.
auto api(std::uint8_t id) {
  return [id](const Frame &f) { return f[3] == id; };
}
auto sensor_frame(std::uint16_t short_address, std::uint8_t command) {
  return [=](const Frame &f) {
    return f[3] == 9 && f.size() > 8 && f[4] == 2 && (f[5] | f[6] << 8) == short_address && f[8] == command;
  };
}

TEST(SimCollector, AnswersTheRequestsOfTheLinkTables) {
  std::ofstream("/etc/collector_sim.json") << R"({"TimeScale":60,"Sensors":[
    {"ExtAddress":"00124B0001A2B3C1","ShortAddress":"0001","ModelName":"VT-MSP","ModelVersion":"2.5.2.4",
     "SensorVersion":"1.0.0.0","EventInterval":60,"Channels":[{"Name":"Temperature","Type":1,"Unit":"V"}]},
    {"ExtAddress":"00124B0001A2B3C2","ShortAddress":"0002","Style":"config","EventInterval":60,
     "Channels":[{"Name":"Humidity","Type":2,"Unit":"%RH","Base":50,"Amplitude":0}]}]})";
  std::system("mkdir -p /etc/msp430/VT-MSP && echo 1.2.0.0 > /etc/msp430/VT-MSP/msp_ver.txt; rm -f /tmp/collector_ready");
  pid_t collector = start_program({"/usr/sbin/collector"}, "/tmp/collector.out");
  ASSERT_TRUE(eventually([] { return file_text("/tmp/collector_ready") == "1"; }, 20));
  DaemonEnd daemon;
  ASSERT_TRUE(daemon.connect_to_collector());
  EXPECT_EQ(daemon.next(api(2))[24], 3) << "network information, state Started";
  EXPECT_EQ(daemon.next(api(10)), hex("01 00 4A 0A 03"));

  daemon.send(hex("00 00 0A 03"));
  const Frame info = daemon.next(api(5));
  ASSERT_EQ(info.size(), 58u);
  EXPECT_EQ(std::string(info.begin() + 26, info.begin() + 39), "VORN-COPRO-US");

  // The later firmware introduces itself and waits for the answer with its tag.
  EXPECT_EQ(daemon.next(api(0)), hex("13 00 4A 00 00 00 01 00 C1 B3 A2 01 00 4B 12 00 00 00 00 00 00 00 00"));
  const Frame identification = daemon.next(sensor_frame(1, 0x22));
  ASSERT_GE(identification.size(), 7u + 165 + 21 + 9);
  const Frame tag(identification.begin() + 7 + 12, identification.begin() + 7 + 20);
  Frame answer = hex("17 00 0A 23 13 00 01 00 23");
  answer.insert(answer.end(), tag.begin(), tag.end());
  for (int b : {0xC4, 0xFF, 0, 0, 0x3C, 0, 0x7B, 0, 0, 0}) answer.push_back(static_cast<std::uint8_t>(b));
  daemon.send(answer);
  EXPECT_FALSE(daemon.next(sensor_frame(1, 0x05)).empty()) << "identified, it reports";

  // The older firmware reports first, then answers a configuration request with its ConfigRsp.
  const Frame data = daemon.next(sensor_frame(2, 0x05));
  EXPECT_EQ(data.size(), 7u + 12 + 6 + 4 * 9 + 4 + 2) << "four channel blocks";
  EXPECT_EQ(Frame(data.begin() + 7 + 18 + 5, data.begin() + 7 + 18 + 7), hex("32 00")) << "about 50: whole part 50 first";
  daemon.send(hex("09 00 0A 0D 01 02 00 60 EA 00 00 38 00"));
  EXPECT_EQ(daemon.next(api(14)), hex("04 00 4A 0E 00 00 00 00"));
  const Frame config = daemon.next(sensor_frame(2, 0x02));
  ASSERT_EQ(config.size(), 7u + 122);
  EXPECT_EQ(Frame(config.begin() + 7 + 14, config.begin() + 7 + 18), hex("01 01 00 02"));
  EXPECT_EQ(Frame(config.end() - 2, config.end()), hex("3C 00")) << "its interval, 60 s";

  // Set and get the event interval of the older sensor.
  daemon.send(hex("0C 00 0A 1A 0A 00 02 00 03 00 01 00 78 00 00 00"));
  EXPECT_EQ(daemon.next(sensor_frame(2, 0x19)), hex("07 00 4A 09 02 02 00 C4 19 03 00"));
  daemon.send(hex("10 00 0A 1B 0E 00 02 00 03 00 01 00 00 00 00 00 00 00 00 00"));
  EXPECT_EQ(daemon.next(sensor_frame(2, 0x1B)), hex("0D 00 4A 09 02 02 00 C4 1B 03 00 01 00 78 00 00 00"));

  // An MSP430 download: progress in the OAD record, then the version of the model's version file.
  daemon.send(hex("10 00 0A 24 01 00 10 00 00 2F 74 6D 70 2F 66 77 2E 62 69 6E"));
  EXPECT_TRUE(eventually([] {
    oad_obj record{};
    const bool done = get_oad_sensor("00124B0001A2B3C1", &record) == 1 && record.status == 3 && record.progress == 100;
    free_single_oad_obj(&record);
    return done;
  }, 30));
  const Frame updated = daemon.next(sensor_frame(1, 0x22));
  ASSERT_GE(updated.size(), 7u + 130);
  EXPECT_EQ(Frame(updated.begin() + 7 + 126, updated.begin() + 7 + 130), hex("01 02 00 00"));

  daemon.send(hex("04 00 0A 0B C0 D4 01 00"));
  EXPECT_EQ(daemon.next(api(12)), hex("04 00 4A 0C 00 00 00 00"));
  EXPECT_EQ(daemon.next(api(10)), hex("01 00 4A 0A 05")) << "Join Open";
  daemon.send(hex("00 00 0A 06"));
  const Frame devices = daemon.next(api(7));
  ASSERT_EQ(devices.size(), 4u + 3 + 2 * 18);
  EXPECT_EQ(Frame(devices.begin() + 4, devices.begin() + 7), hex("00 02 00"));

  // A reply with a tag the sensor never sent is counted, not believed; removal by the newer
  // request brings the Disassociation Response, then the left indication.
  daemon.send(hex("12 00 0A 21 0E 00 01 00 21 09 09 09 09 09 09 09 09 00 C4 FF 0A 00"));
  daemon.send(hex("0A 00 0A 26 01 00 C1 B3 A2 01 00 4B 12 00"));
  EXPECT_EQ(daemon.next(sensor_frame(1, 0x2A)), hex("0F 00 4A 09 02 01 00 C4 2A C1 B3 A2 01 00 4B 12 00 01 00"));
  EXPECT_EQ(daemon.next(api(1)), hex("08 00 4A 01 C1 B3 A2 01 00 4B 12 00"));
  const Json stats = bus_call("collector_sim", "stats");
  EXPECT_EQ(int_member(stats.get(), "Unmatched"), 1);
  EXPECT_EQ(count_of(stats.get(), "Answered", "IdentificationRequest"), 1);
  EXPECT_EQ(int_member(stats.get(), "Rejected"), 0);
  stop_program(collector);
  EXPECT_EQ(file_text("/tmp/collector.out").find("Sanitizer"), std::string::npos) << file_text("/tmp/collector.out");
}

// The paced stream: SensorData at a fixed rate, round robin over the sensors that report, each
// frame's channel 0 reading the ms from the stream's start to its sending; every frame counted.
TEST(SimCollector, PacesSensorDataRoundRobinWithItsSendTimeInChannelZero) {
  std::ofstream("/etc/collector_sim.json") << R"({"TimeScale":1,"JoinSpacing":0.1,"Sensors":[
    {"ExtAddress":"00124B0001A2B3D1","ShortAddress":"0001","Style":"config","EventInterval":600,
     "Channels":[{"Name":"Temperature","Type":1,"Unit":"C"},{"Name":"Humidity","Type":2,"Unit":"%RH"}]},
    {"ExtAddress":"00124B0001A2B3D2","ShortAddress":"0002","Style":"config","EventInterval":600,
     "Channels":[{"Name":"Temperature","Type":1,"Unit":"C"}]},
    {"ExtAddress":"00124B0001A2B3D3","ShortAddress":"0003","Style":"config","Silent":true,
     "Channels":[{"Name":"Temperature","Type":1,"Unit":"C"}]}]})";
  std::system("rm -f /tmp/collector_ready");
  pid_t collector = start_program({"/usr/sbin/collector"}, "/tmp/collector.out");
  ASSERT_TRUE(eventually([] { return file_text("/tmp/collector_ready") == "1"; }, 20));
  DaemonEnd daemon;
  ASSERT_TRUE(daemon.connect_to_collector());
  ASSERT_TRUE(eventually([] { return member(bus_call("collector_sim", "pause").get(), "Paused") != nullptr; }, 20));
  for (int joined = 0; joined < 3; ++joined) ASSERT_FALSE(daemon.next(api(0)).empty()) << "join " << joined;
  EXPECT_EQ(int_member(bus_call("collector_sim", "stats").get(), "Reporting"), 2) << "the silent sensor does not report";
  EXPECT_NE(std::system(R"(ubus call collector_sim pace '{"Rate":-1}' >/dev/null 2>&1)"), 0) << "a negative rate is refused";

  const Json started = bus_call("collector_sim", "pace", R"({"Rate":200})");
  EXPECT_EQ(number_member(started.get(), "Rate"), 200);
  const auto begun = std::chrono::steady_clock::now();
  std::vector<std::uint16_t> senders;
  std::vector<int> stamps;
  const auto paced = [](const Frame &f) { return f[3] == 9 && f.size() > 34 && f[8] == 0x05; };
  while (std::chrono::steady_clock::now() - begun < std::chrono::seconds(1)) {
    const Frame frame = daemon.next(paced, 5);
    ASSERT_FALSE(frame.empty());
    senders.push_back(static_cast<std::uint16_t>(frame[5] | frame[6] << 8));
    stamps.push_back(frame[30] | frame[31] << 8);  // channel 0, whole milliseconds
  }
  bus_call("collector_sim", "pace", R"({"Rate":0})");
  for (Frame late = daemon.next(paced, 1); !late.empty(); late = daemon.next(paced, 1)) senders.push_back(0);
  const double elapsed_ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begun).count();

  const Json stats = bus_call("collector_sim", "stats");
  json_object *pacing = member(stats.get(), "Paced");
  EXPECT_EQ(int_member(pacing, "Sent"), static_cast<long long>(senders.size())) << "every paced frame counted";
  EXPECT_EQ(int_member(pacing, "Scheduled"), int_member(pacing, "Sent"));
  EXPECT_EQ(number_member(pacing, "Rate"), 0) << "stopped";
  EXPECT_GE(senders.size(), 20u) << "about 200 in the second the stream ran";
  EXPECT_LE(static_cast<double>(senders.size()), 200 * elapsed_ms / 1000 + 2) << "never ahead of its rate";
  EXPECT_EQ(count_of(stats.get(), "Sent", "SensorData"), int_member(pacing, "Sent"));
  for (std::size_t i = 0; i < stamps.size(); ++i) {
    EXPECT_EQ(senders[i], i % 2 == 0 ? senders[0] : 3 - senders[0]) << "round robin over 0001 and 0002, frame " << i;
    if (i > 0) {
      EXPECT_GE(stamps[i], stamps[i - 1]) << "send times only grow";
    }
  }
  EXPECT_GE(stamps.front(), 0);
  EXPECT_LE(stamps.back(), elapsed_ms);
  stop_program(collector);
  EXPECT_EQ(file_text("/tmp/collector.out").find("Sanitizer"), std::string::npos) << file_text("/tmp/collector.out");
}

}  // namespace
}  // namespace sim::test
