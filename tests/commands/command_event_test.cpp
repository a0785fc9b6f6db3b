// Cloud commands: real "ubus send vorn_mgr" events to a running command process, and what they
// leave in the TXQ, in sensorlist and in the download records.
#include <fcntl.h>
#include <gateway_lib/download_records.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "../devices/device_fixture.h"
#include "commands/command_event.h"
#include "core/command_process.h"
#include "core/link_frame.h"
#include "shared/transmit_thread.h"
#include "shared/txq.h"

namespace vorn::commands {
namespace {

using namespace vorn::test;
using namespace std::chrono_literals;

constexpr const char *kOutput = "/tmp/command_process.out";
constexpr std::uint8_t kSensorIndex = 0x1A;  // sensorlist ShortAddress 001A

std::string file_text(const char *path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

bool output_has(const std::string &text) { return file_text(kOutput).find(text) != std::string::npos; }

template <typename Condition>
bool eventually(Condition condition, int seconds = 30) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

// "none", or the status of the sensor's download record.
template <typename Record>
std::string record_status(int (*get)(const char *, Record *), void (*release)(Record *)) {
  Record record{};
  const int found = get(kSensorText, &record);
  std::string out = found == 1 ? "status " + std::to_string(record.status) : "none";
  release(&record);
  return out;
}
std::string oad_state() { return record_status(get_oad_sensor, free_single_oad_obj); }
std::string upgrade_state() { return record_status(get_upgrade_sensor, free_single_upgrade_obj); }

class CommandProcess : public DeviceFixture {
 protected:
  void SetUp() override {
    DeviceFixture::SetUp();
    std::system("rm -f /etc/config/gateway_platform.sqlite* /tmp/x /tmp/001A");
    add_section(kSensorText, "ShortAddress=001A");
    capture_stdout([] { shared::device_list_add(kSensorIndex, kSensor); });
    std::fflush(stdout);
    command_process_ = fork();
    if (command_process_ == 0) {
      const int out = open(kOutput, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0644);
      dup2(out, STDOUT_FILENO);
      dup2(out, STDERR_FILENO);
      close(out);
      setvbuf(stdout, nullptr, _IOLBF, 0);
      core::run_command_process();
    }
    txq_attachment_ = std::make_unique<shared::SegmentAttachment>(core::daemon_state.txq_segment_id);
    ASSERT_TRUE(eventually([] { return output_has("connected as "); })) << file_text(kOutput);
  }
  void TearDown() override {
    kill(command_process_, SIGTERM);
    waitpid(command_process_, nullptr, 0);
  }
  shared::TxqSegment &txq() { return *static_cast<shared::TxqSegment *>(txq_attachment_->address()); }
  int txq_attachments() {
    shmid_ds info{};
    shmctl(core::daemon_state.txq_segment_id, IPC_STAT, &info);
    return static_cast<int>(info.shm_nattch);
  }
  // Sends the command, then a marker that is refused without using the queue; events are served
  // in order, so once the marker's line is out the command has been handled completely.
  void send(const std::string &message) {
    ASSERT_EQ(message.find('\''), std::string::npos);
    ASSERT_EQ(shell("ubus send vorn_mgr '" + message + "' 2>&1"), "");
    const std::string marker = "mark-" + std::to_string(++markers_);
    shell("ubus send vorn_mgr '{\"RemoveDev\":\"" + marker + "\"}'");
    ASSERT_TRUE(eventually([&] { return output_has("RemoveDev \"" + marker + "\" refused"); })) << file_text(kOutput);
  }
  std::unique_ptr<shared::SegmentAttachment> txq_attachment_;
  pid_t command_process_ = -1;
  int markers_ = 0;
};

struct Case {
  std::string message;
  std::int32_t tx_api_id;      // 0: no slot stays used
  Bytes payload;               // start of the slot's payload; the rest is zero
  const char *log;             // a line the command writes, or nullptr
  Bytes frame;                 // what the transmit thread sends for the slot (checked when given)
  void (*prepare)();           // store state the command meets, or nullptr
  std::string (*observe)();    // store state the command leaves, compared with `observed`
  const char *observed;
};

Bytes with_text(Bytes head, const std::string &text) {
  head.insert(head.end(), text.begin(), text.end());
  return head;
}

std::string removal_mark() { return uci_get(std::string("sensorlist.@") + kSensorText + "[].RemoveSensor"); }
std::string interval_wish() {
  return uci_get(std::string("sensorlist.@") + kSensorText + "[].EventIntervalUserWanted");
}
std::string injected_file() { return file_size("/tmp/x") >= 0 ? "created" : "absent"; }
void oad_begun() { set_oad_sensor(kSensorText, "/tmp/m.bin", 1, 0); }
void oad_running() { set_oad_sensor(kSensorText, "/tmp/m.bin", 1, 40); }
void oad_unknown_status() { set_oad_sensor(kSensorText, "/tmp/m.bin", 5, 0); }
void upgrade_without_progress() {
  set_upgrade_sensor(kSensorText, "/tmp/r.bin", 1, 0);
  std::ofstream("/tmp/001A") << "{\"process\":0}";
}
void upgrade_with_progress() {
  set_upgrade_sensor(kSensorText, "/tmp/r.bin", 1, 0);
  std::ofstream("/tmp/001A") << "{\"process\":30}";
}

TEST_F(CommandProcess, EachCommandFillsAtMostOneSlotAndChangesOnlyItsStore) {
  const std::string long_value(200, 'A');
  const std::string text_127(127, 't'), text_128(128, 't'), file_126(126, 'f'), file_127(127, 'f');
  std::uint8_t real[8];
  const double value = 12.34;
  std::memcpy(real, &value, sizeof real);
  const core::FixedPoint fixed = core::split_fixed_point(value);
  const Bytes set_value_payload = with_text(
      {'0', '0', '1', 'A', 7, 0, 0xD2, 0x02, 0x96, 0x49, real[0], real[1], real[2], real[3], real[4], real[5],
       real[6], real[7], 11, 0},
      "Just Do It!");
  const auto byte = [](unsigned v) { return static_cast<std::uint8_t>(v); };
  const Bytes set_value_frame = with_text({27, 0, 0x0A, 24, 25, 0, 0x1A, 0, 7, 0, 0xD2, 0x02, 0x96, 0x49,
                                           byte(fixed.integer), byte(fixed.integer >> 8u), byte(fixed.fraction),
                                           byte(fixed.fraction >> 8u), 11, 0},
                                          "Just Do It!");

  const Case cases[] = {
      {R"({"GetDevList":null})", 6, {}, nullptr, {0, 0, 0x0A, 6}},
      {R"({"RemoveDev":null})", 0, {}},
      {R"({"RemoveDev":null,"GetOADStatus":1})", 23, {1}},
      {R"({"SetEventTimer":"00124B0001A2B3C4","TimeBase":"300"})", 26, {'0', '0', '1', 'A', 3, 0, 1, 0, 0x2C, 1, 0, 0},
       "Update EventInterval(300) to 001A\n", {}, nullptr, interval_wish, "300"},
      {R"({"SetEventTimer":"00124B0001A2B3C4","TimeBase":300,"JoinNetwork_Enable":1})", 11, {1}, nullptr,
       {4, 0, 0x0A, 0x0B, 0xC0, 0xD4, 0x01, 0x00}, nullptr, interval_wish, "300"},
      {R"({"SetEventTimer":"00124B0001A2B3C4","TimeBase":"0"})", 0, {}, "TimeBase is not an interval above 0"},
      {R"({"SetEventTimer":"00124B0001A2B3C4","TimeBase":"-20"})", 0, {}, "refused", {}, nullptr, interval_wish, "300"},
      {R"({"JoinNetwork_Enable":256})", 11, {0}, nullptr, {4, 0, 0x0A, 0x0B, 0, 0, 0, 0}},
      {R"({"GetOADStatus":0})", 0, {}},
      {R"({"GetOADStatus":101,"GetDevVal":"00124B0001A2B3C4"})", 0, {}},
      {R"({"GetOADStatus":1})", 23, {1}, "Got the payload of GetOADStatus is 1\n", {0, 0, 0x0A, 0x17}},
      {R"({"GetOADStatus":100})", 23, {100}},
      {R"({"SensorOADSelect":5,"GetOADStatus":1})", 0, {}},
      {R"({"SensorOADSelect":5,"OADFile":"fw.bin"})", 20, {5, 'f', 'w', '.', 'b', 'i', 'n'}, nullptr,
       {7, 0, 0x0A, 0x14, 5, 'f', 'w', '.', 'b', 'i', 'n'}},
      {R"({"SensorOADSelect":5,"OADFile":"fw\u0007.bin"})", 0, {}, "not printable ASCII"},
      {R"({"SensorOADSelect":101,"OADFile":"fw.bin"})", 0, {}},
      {R"({"GetOADFile":"image.bin"})", 21, with_text({}, "image.bin"), "Got the payload is image.bin\n"},
      {R"({"GetOADFile":")" + text_127 + R"("})", 21, with_text({}, text_127)},
      {R"({"GetOADFile":")" + text_128 + R"("})", 0, {}, "longer than 127 characters"},
      {R"({"GetOADFile":7,"GetOADStatus":1})", 0, {}},
      {R"({"Msp430OADSelect":26,"OADFile":")" + file_126 + R"("})", 36, with_text({kSensorIndex}, file_126)},
      {R"({"Msp430OADSelect":26,"OADFile":")" + file_127 + R"("})", 0, {}, "longer than 126 characters"},
      {R"({"Msp430OADSelect":27,"OADFile":"/tmp/m.bin"})", 0, {}},  // no sensor at 27
      {R"({"CancelMsp430OAD":26})", 37, {kSensorIndex}, nullptr, {1, 0, 0x0A, 0x25, kSensorIndex}, oad_begun,
       oad_state, "none"},
      {R"({"CancelMsp430OAD":26})", 37, {kSensorIndex}, nullptr, {}, oad_running, oad_state, "status 4"},
      {R"({"CancelMsp430OAD":26})", 0, {}, nullptr, {}, oad_unknown_status, oad_state, "none"},
      {R"({"CancelMsp430OAD":27})", 0, {}, nullptr, {}, oad_running, oad_state, "status 1"},
      {R"({"CancelRFOAD":26})", 40, {kSensorIndex}, nullptr, {1, 0, 0x0A, 0x28, kSensorIndex}, upgrade_without_progress,
       upgrade_state, "none"},
      {R"({"CancelRFOAD":26})", 40, {kSensorIndex}, nullptr, {}, upgrade_with_progress, upgrade_state, "status 4"},
      {R"({"SetDevVal":"00124B0001A2B3C4"})", 24, set_value_payload, nullptr, set_value_frame},
      {R"({"GetDevVal":"00124B0001A2B3C4"})", 25, {'0', '0', '1', 'A', 7, 0}, nullptr,
       {4, 0, 0x0A, 0x19, 0x1A, 0, 7, 0}},
      {R"({"GetEventTimer":"00124B0001A2B3C4"})", 27, {'0', '0', '1', 'A', 1, 0, 1, 0}},
      {R"({"GetEventTimer":"0011223344556677"})", 0, {}},  // no such sensor
      {R"({"SetDevVal":"00124B0001A2B3CZ","GetDevVal":"00124B0001A2B3C4"})", 0, {}, "16 hexadecimal digits"},
      {R"({"Unknown":1})", 0, {}},
      // Values meant to reach a shell: refused before anything runs.
      {R"({"RemoveDev":"0011223344556677;touch /tmp/x"})", 0, {}, "\"0011223344556677;touch /...\" refused", {},
       nullptr, injected_file, "absent"},
      {R"({"RemoveDev":")" + long_value + R"("})", 0, {}, "refused", {}, nullptr, injected_file, "absent"},
      {R"j({"SetEventTimer":"$(touch /tmp/x)","TimeBase":"300"})j", 0, {}, "refused", {}, nullptr, injected_file,
       "absent"},
      {R"({"GetEventTimer":"00124B0001A2B3C4\";touch /tmp/x;\""})", 0, {}, "refused", {}, nullptr, injected_file,
       "absent"},
      {R"({"RemoveDev":"00124B0001A2B3C4","GetDevList":null})", 0, {}, nullptr, {}, nullptr, removal_mark, "1"},
  };

  for (const Case &c : cases) {
    SCOPED_TRACE(c.message.substr(0, 80));
    std::memset(&txq(), 0, sizeof txq());
    if (c.prepare != nullptr) c.prepare();
    const std::size_t log_before = file_text(kOutput).size();
    send(c.message);
    const std::string log = file_text(kOutput).substr(log_before);

    int used = 0;
    for (shared::TxqSlot &slot : txq().slots) {
      if (slot.state == shared::kSlotFree) {
        EXPECT_EQ(slot.tx_api_id, 0) << "a slot given back keeps no request";
        continue;
      }
      ++used;
      EXPECT_EQ(slot.state, shared::kSlotReady);
      EXPECT_EQ(slot.tx_api_id, c.tx_api_id);
      Bytes expected = c.payload;
      expected.resize(shared::kTxqPayloadSize, 0);
      EXPECT_EQ(Bytes(slot.payload, slot.payload + shared::kTxqPayloadSize), expected);
      if (!c.frame.empty()) {
        capture_stdout([&] { shared::serve_txq_request(slot.tx_api_id, slot.payload); });
        EXPECT_EQ(link.sent(), c.frame);
      }
    }
    EXPECT_EQ(used, c.tx_api_id != 0 ? 1 : 0);
    if (c.log != nullptr) {
      EXPECT_NE(log.find(c.log), std::string::npos) << log;
    }
    if (c.observe != nullptr) {
      EXPECT_EQ(c.observe(), c.observed);
    }
    EXPECT_EQ(txq_attachments(), 1) << "the command process detached the TXQ";
  }
  EXPECT_EQ(kill(command_process_, 0), 0) << "the command process survived every command";
}

TEST_F(CommandProcess, ElevenCommandsWithTenPendingSlots) {
  for (int i = 0; i < 10; ++i) {
    SCOPED_TRACE(i);
    send(R"({"GetOADStatus":)" + std::to_string(i + 1) + "}");
  }
  const Bytes before(reinterpret_cast<std::uint8_t *>(&txq()), reinterpret_cast<std::uint8_t *>(&txq()) + sizeof txq());
  for (const shared::TxqSlot &slot : txq().slots) EXPECT_EQ(slot.state, shared::kSlotReady);
  send(R"({"GetDevList":null})");
  EXPECT_TRUE(output_has("TX Message Queue buffer was full!\n"));
  EXPECT_EQ(Bytes(reinterpret_cast<std::uint8_t *>(&txq()), reinterpret_cast<std::uint8_t *>(&txq()) + sizeof txq()),
            before);
  EXPECT_EQ(txq_attachments(), 1);
}

TEST_F(CommandProcess, DownloadProgressIsReadOnlyFromAWholeJsonDocument) {
  std::string page(4096, ' ');  // a document that ends exactly at the end of its mapping
  page.replace(0, 13, "{\"process\":7}");
  const struct {
    const char *content;  // nullptr: no file
    int expected;
  } cases[] = {
      {nullptr, -1}, {"{\"process\":55}\n", 55}, {"{\"process\":\"55\"}", -1}, {"{\"other\":5}", -1},
      {"not json", -1}, {"{\"process\":", -1}, {"", -1}, {page.c_str(), 7},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.content != nullptr ? c.content : "(no file)");
    std::remove("/tmp/001A");
    if (c.content != nullptr) std::ofstream("/tmp/001A") << c.content;
    int progress = -1;
    read_download_progress(kSensorText, &progress);
    EXPECT_EQ(progress, c.expected);
  }
  std::remove("/tmp/001A");
  ASSERT_EQ(mkfifo("/tmp/001A", 0600), 0);
  int progress = -1;
  read_download_progress(kSensorText, &progress);  // a FIFO nobody writes must not hang it
  EXPECT_EQ(progress, -1);
  read_download_progress("0011223344556677", &progress);  // no ShortAddress
  EXPECT_EQ(progress, -1);

  char text[core::kExtAddressTextSize] = {};
  for (int index : {0, 27, 101}) ext_text_for_short_address(index, text);
  EXPECT_EQ(text[0], '\0');
  ext_text_for_short_address(kSensorIndex, text);
  EXPECT_STREQ(text, kSensorText);
}

}  // namespace
}  // namespace vorn::commands
