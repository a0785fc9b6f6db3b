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

#include <cstring>

#include "../devices/device_fixture.h"
#include "app/command_process.h"
#include "app/txq_requests.h"
#include "commands/command_event.h"
#include "core/byte_order.h"
#include "core/link_frame.h"
#include "data/retrieved_settings.h"
#include "shared/txq.h"

namespace vorn::commands {
namespace {

using namespace vorn::test;

constexpr const char *kOutput = "/tmp/command_process.out";
constexpr std::uint8_t kIndex = 0x1A;  // the sensor's ShortAddress 001A

bool output_has(const std::string &text) { return file_text(kOutput).find(text) != std::string::npos; }

template <typename Record>
std::string record_status(int (*get)(const char *, Record *), void (*release)(Record *)) {
  Record record{};
  std::string out = get(kSensorText, &record) == 1 ? std::to_string(record.status) : "none";
  release(&record);
  return out;
}

// Everything a command may change besides the TXQ, in one line.
std::string store_state() {
  const std::string section = std::string("sensorlist.@") + kSensorText + "[].";
  return "oad " + record_status(get_oad_sensor, free_single_oad_obj) + ", upgrade " +
         record_status(get_upgrade_sensor, free_single_upgrade_obj) + ", wish [" +
         uci_get(section + "EventIntervalUserWanted") + "], remove [" + uci_get(section + "RemoveSensor") + "]";
}

Bytes with_text(Bytes head, const std::string &text) {
  head.insert(head.end(), text.begin(), text.end());
  return head;
}

struct Case {
  std::string message;
  std::int32_t tx_api_id;       // 0: no slot stays used
  Bytes payload;                // start of the slot's payload; the rest is zero
  Bytes frame;                  // what the transmit thread then sends, when given
  const char *log;              // part of what the command logs, when given
  const char *store;            // part of store_state() afterwards, when given
  int status = -1, progress = 0;  // both download records met, and the progress file (status -1: none)
  bool served = false;            // handed to the transmit thread even without a frame: it must send none
};

class CommandProcess : public DeviceFixture {
 protected:
  void SetUp() override {
    DeviceFixture::SetUp();
    std::system("rm -f /etc/config/gateway_platform.sqlite* /tmp/x /tmp/001A");
    add_section(kSensorText, "ShortAddress=001A");
    capture_stdout([] { shared::device_list_add(kIndex, kSensor); });
    std::fflush(stdout);
    unlink(kOutput);  // the last test's "connected as" must not pass for this process's
    command_process_ = fork();
    if (command_process_ == 0) {
      const int out = open(kOutput, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0644);
      dup2(out, STDOUT_FILENO);
      dup2(out, STDERR_FILENO);
      close(out);
      setvbuf(stdout, nullptr, _IOLBF, 0);
      app::run_command_process();
    }
    txq_attachment_ = std::make_unique<shared::SegmentAttachment>(core::daemon_state.txq_segment_id);
    ASSERT_TRUE(eventually([] { return output_has("connected as "); })) << file_text(kOutput);
  }
  void TearDown() override {
    kill(command_process_, SIGTERM);
    waitpid(command_process_, nullptr, 0);
  }
  shared::TxqSegment &txq() { return *static_cast<shared::TxqSegment *>(txq_attachment_->address()); }
  Bytes txq_bytes() {
    const auto *start = reinterpret_cast<const std::uint8_t *>(&txq());
    return Bytes(start, start + sizeof txq());
  }
  int txq_attachments() {
    shmid_ds info{};
    shmctl(core::daemon_state.txq_segment_id, IPC_STAT, &info);
    return static_cast<int>(info.shm_nattch);
  }
  // Sends the command, then a marker that is refused without using the queue; events are served
  // in order, so once the marker's line is out the command has been handled completely.
  void send(const std::string &message) {
    ASSERT_EQ(shell("ubus send vorn_mgr '" + message + "' 2>&1"), "");
    const std::string marker = "mark-" + std::to_string(++markers_);
    shell("ubus send vorn_mgr '{\"RemoveDev\":\"" + marker + "\"}'");
    ASSERT_TRUE(eventually([&] { return output_has("RemoveDev \"" + marker + "\" refused"); })) << file_text(kOutput);
  }
  void check_command(const Case &c);
  std::unique_ptr<shared::SegmentAttachment> txq_attachment_;
  pid_t command_process_ = -1;
  int markers_ = 0;
};


// Sends one command of a table and checks the slot it leaves, the frame the transmit thread makes
// of it, the lines said about it (by the command process or the transmit thread) and the stores.
void CommandProcess::check_command(const Case &c) {
  SCOPED_TRACE(c.message.substr(0, 80));
  std::memset(&txq(), 0, sizeof txq());
  if (c.status >= 0) {
    set_oad_sensor(kSensorText, "/tmp/m.bin", c.status, c.progress);
    set_upgrade_sensor(kSensorText, "/tmp/r.bin", c.status, c.progress);
    std::ofstream("/tmp/001A") << "{\"process\":" << c.progress << "}";
  }
  const std::size_t log_before = file_text(kOutput).size();
  std::string transmit_log;
  send(c.message);
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
    if (c.frame.empty() && !c.served) continue;
    transmit_log += capture_stdout([&] { app::serve_txq_request(slot.tx_api_id, slot.payload); });
    EXPECT_EQ(link.sent(c.frame.empty() ? 50 : 200), c.frame);
  }
  EXPECT_EQ(used, c.tx_api_id != 0 ? 1 : 0);
  EXPECT_TRUE(c.log == nullptr || file_text(kOutput).find(c.log, log_before) != std::string::npos ||
              transmit_log.find(c.log) != std::string::npos)
      << c.log;
  // (A download's record is written by a process of its own after the request is sent.)
  EXPECT_TRUE(c.store == nullptr || eventually([&] { return store_state().find(c.store) != std::string::npos; }))
      << store_state();
  EXPECT_EQ(file_size("/tmp/x"), -1);
  EXPECT_EQ(txq_attachments(), 1) << "the command process detached the TXQ";
}

TEST_F(CommandProcess, EachCommandFillsAtMostOneSlotAndChangesOnlyItsStore) {
  const std::string text_127(127, 't'), text_128(128, 't'), file_126(126, 'f'), file_127(127, 'f');
  std::uint8_t real[8];
  const double value = 12.34;
  std::memcpy(real, &value, sizeof real);
  const core::FixedPoint fixed = core::split_fixed_point(value);
  const auto byte = [](unsigned v) { return static_cast<std::uint8_t>(v); };
  const Bytes set_value = with_text({'0', '0', '1', 'A', 7, 0, 0xD2, 0x02, 0x96, 0x49, real[0], real[1], real[2],
                                     real[3], real[4], real[5], real[6], real[7], 11, 0},
                                    "Just Do It!");
  const Bytes set_value_frame = with_text({27, 0, 0x0A, 24, 25, 0, 0x1A, 0, 7, 0, 0xD2, 0x02, 0x96, 0x49,
                                           byte(fixed.integer), byte(fixed.integer >> 8u), byte(fixed.fraction),
                                           byte(fixed.fraction >> 8u), 11, 0},
                                          "Just Do It!");
  const Case cases[] = {
      {R"({"GetDevList":null})", 6, {}, {0, 0, 0x0A, 6}},
      {R"({"RemoveDev":null})", 0, {}},
      {R"({"SetEventTimer":"00124B0001A2B3C4","TimeBase":"300"})", 26, {'0', '0', '1', 'A', 3, 0, 1, 0, 0x2C, 1, 0, 0},
       {}, "Update EventInterval(300) to 001A\n", "wish [300]"},
      {R"({"SetEventTimer":"00124B0001A2B3C4","TimeBase":300,"JoinNetwork_Enable":1})", 11, {1},
       {4, 0, 0x0A, 0x0B, 0xC0, 0xD4, 0x01, 0x00}},
      {R"({"SetEventTimer":"00124B0001A2B3C4","TimeBase":"-20"})", 0, {}, {}, "TimeBase is not an interval",
       "wish [300]"},
      {R"({"JoinNetwork_Enable":256})", 11, {0}, {4, 0, 0x0A, 0x0B, 0, 0, 0, 0}},
      {R"({"GetOADStatus":0})", 0, {}},
      {R"({"GetOADStatus":101,"GetDevVal":"00124B0001A2B3C4"})", 0, {}},
      {R"({"GetOADStatus":1})", 23, {1}, {0, 0, 0x0A, 0x17}, "Got the payload of GetOADStatus is 1\n"},
      {R"({"GetOADStatus":100})", 23, {100}},
      {R"({"SensorOADSelect":5,"GetOADStatus":1})", 0, {}},
      {R"({"SensorOADSelect":5,"OADFile":"fw.bin"})", 20, {5, 'f', 'w', '.', 'b', 'i', 'n'},
       {7, 0, 0x0A, 0x14, 5, 'f', 'w', '.', 'b', 'i', 'n'}},
      {R"({"SensorOADSelect":5,"OADFile":"fw\u0007.bin"})", 0, {}, {}, "not printable ASCII"},
      {R"({"GetOADFile":"image.bin"})", 21, with_text({}, "image.bin"), {}, "Got the payload is image.bin\n"},
      {R"({"GetOADFile":")" + text_127 + R"("})", 21, with_text({}, text_127)},
      {R"({"GetOADFile":")" + text_128 + R"("})", 0, {}, {}, "longer than 127 characters"},
      {R"({"Msp430OADSelect":26,"OADFile":")" + file_126 + R"("})", 36, with_text({kIndex}, file_126)},
      {R"({"Msp430OADSelect":26,"OADFile":")" + file_127 + R"("})", 0, {}, {}, "longer than 126 characters"},
      {R"({"Msp430OADSelect":27,"OADFile":"/tmp/m.bin"})", 0, {}},  // no sensor at 27
      {R"({"CancelMsp430OAD":26})", 37, {kIndex}, {1, 0, 0x0A, 0x25, kIndex}, nullptr, "oad none", 1, 0},
      {R"({"CancelMsp430OAD":26})", 37, {kIndex}, {}, nullptr, "oad 4", 1, 40},
      {R"({"CancelMsp430OAD":26})", 0, {}, {}, nullptr, "oad none", 5, 0},
      {R"({"CancelRFOAD":26})", 40, {kIndex}, {1, 0, 0x0A, 0x28, kIndex}, nullptr, "upgrade none", 1, 0},
      {R"({"CancelRFOAD":26})", 40, {kIndex}, {}, nullptr, "upgrade 4", 1, 30},
      {R"({"SetDevVal":"00124B0001A2B3C4"})", 24, set_value, set_value_frame},
      {R"({"GetDevVal":"00124B0001A2B3C4"})", 25, {'0', '0', '1', 'A', 7, 0}, {4, 0, 0x0A, 0x19, 0x1A, 0, 7, 0}},
      {R"({"GetEventTimer":"00124B0001A2B3C4"})", 27, {'0', '0', '1', 'A', 1, 0, 1, 0}},
      {R"({"SetDevVal":"00124B0001A2B3CZ","GetDevVal":"00124B0001A2B3C4"})", 0, {}, {}, "16 hexadecimal digits"},
      {R"({"Unknown":1})", 0, {}},
      // Values meant for a shell are refused before anything runs (no /tmp/x, checked for all).
      {R"({"RemoveDev":"0011223344556677;touch /tmp/x"})", 0, {}, {}, "\"0011223344556677;touch /...\" refused"},
      {R"({"RemoveDev":")" + std::string(200, 'A') + R"("})", 0, {}, {}, "refused", "remove []"},
      {R"j({"SetEventTimer":"$(touch /tmp/x)","TimeBase":"300"})j", 0, {}, {}, "refused"},
      {R"({"RemoveDev":"00124B0001A2B3C4","GetDevList":null})", 0, {}, {}, nullptr, "remove [1]"},
  };

  for (const Case &c : cases) check_command(c);
  EXPECT_EQ(kill(command_process_, 0), 0) << "the command process survived every command";
}

// Values from the cloud that a sensor, the radio or a firmware reader cannot take: intervals a
// sensor's 16-bit field does not hold, permit-join values wider than 32 bits, firmware files that
// climb out of their folder, are no regular file or are too large for the request's size field,
// and retrieved settings that are out of range or repeat the interval thousands of times.
TEST_F(CommandProcess, CloudValuesASensorOrItsFirmwareCannotTakeAreRefused) {
  ASSERT_EQ(std::system("rm -rf /tmp/fw && mkdir -p /tmp/fw/dir && : > /tmp/fw/ok.bin && mkfifo /tmp/fw/pipe &&"
                        "truncate -s 5G /tmp/fw/5g.bin && truncate -s 4294967296 /tmp/fw/4g.bin &&"
                        "truncate -s 4294967295 /tmp/fw/max.bin"), 0);
  const Bytes closes = {4, 0, 0x0A, 0x0B, 0, 0, 0, 0}, opens = {4, 0, 0x0A, 0x0B, 0xC0, 0xD4, 0x01, 0x00};
  const Case cases[] = {
      {R"({"SetEventTimer":"00124B0001A2B3C4","TimeBase":"65536"})", 0, {}, {}, "above 65535 seconds", "wish []"},
      {R"({"SetEventTimer":"00124B0001A2B3C4","TimeBase":"65535"})", 26, {'0', '0', '1', 'A', 3, 0, 1, 0, 0xFF, 0xFF, 0, 0},
       {}, "Update EventInterval(65535) to 001A\n", "wish [65535]"},
      {R"({"JoinNetwork_Enable":4294967296})", 11, {0}, closes},
      {R"({"JoinNetwork_Enable":2147483648})", 11, {0}, closes},
      {R"({"JoinNetwork_Enable":-256})", 11, {0}, closes},
      {R"({"JoinNetwork_Enable":4294967297})", 11, {1}, opens},
      {R"({"SensorOADSelect":5,"OADFile":"/tmp/fw/../../etc/config/gateway"})", 0, {}, {}, "holds a \"..\" component"},
      {R"({"SensorOADSelect":5,"OADFile":"/tmp/fw/pipe"})", 0, {}, {}, "names no regular file"},
      {R"({"SensorOADSelect":5,"OADFile":"/tmp/fw/dir"})", 0, {}, {}, "names no regular file"},
      {R"({"SensorOADSelect":5,"OADFile":"/tmp/fw..bin"})", 20, with_text({5}, "/tmp/fw..bin")},
      {R"({"GetOADFile":"../../etc/shadow"})", 0, {}, {}, "GetOADFile \"../../etc/shadow\" refused: holds a \"..\" component"},
      {R"({"GetOADFile":"/tmp/fw/pipe"})", 0, {}, {}, "names no regular file"},
      {R"({"GetOADFile":"/tmp/fw/ok.bin"})", 21, with_text({}, "/tmp/fw/ok.bin")},
      {R"({"Msp430OADSelect":26,"OADFile":"/dev/null"})", 0, {}, {}, "names no regular file", "oad none"},
      {R"({"Msp430OADSelect":26,"OADFile":"/tmp/fw/ok.bin\n"})", 0, {}, {}, "not printable ASCII", "oad none"},
      // Accepted by the command, refused where the size is announced: nothing sent, nothing recorded.
      {R"({"Msp430OADSelect":26,"OADFile":"/tmp/fw/5g.bin"})", 36, with_text({kIndex}, "/tmp/fw/5g.bin"), {},
       "5368709120 bytes do not fit the request's 32-bit size", "oad none", -1, 0, true},
      {R"({"Msp430OADSelect":26,"OADFile":"/tmp/fw/4g.bin"})", 36, with_text({kIndex}, "/tmp/fw/4g.bin"), {},
       "4294967296 bytes do not fit", "oad none", -1, 0, true},
      {R"({"Msp430OADSelect":26,"OADFile":"/tmp/fw/max.bin"})", 36, with_text({kIndex}, "/tmp/fw/max.bin"),
       with_text({20, 0, 0x0A, 0x24, kIndex, 0xFF, 0xFF, 0xFF, 0xFF}, "/tmp/fw/max.bin"), nullptr, "oad 1"},
  };
  for (const Case &c : cases) check_command(c);
  EXPECT_EQ(entry(kIndex).oad_image_size, 0xFFFFFFFFu) << "kept in full";
  EXPECT_STREQ(entry(kIndex).oad_image_path, "/tmp/fw/max.bin");

  // Retrieved settings: one request at most, the last interval the sensor can hold.
  std::string repeated = "[";
  for (int i = 1; i <= 3000; ++i) repeated += (i > 1 ? "," : "") + std::string(R"({"Key":"EventInterval","Value":)") + std::to_string(i) + "}";
  repeated += "]";
  const struct {
    std::string body;
    int queued;  // the interval of the one request queued, 0: none
    const char *line;
  } retrieved[] = {
      {R"([{"Key":"EventInterval","Value":0}])", 0, "'EventInterval' 0 for 00124B0001A2B3C4 is not an interval above 0 seconds"},
      {R"([{"Key":"EventInterval","Value":-5}])", 0, "'EventInterval' -5 for 00124B0001A2B3C4 is not an interval above 0"},
      {R"([{"Key":"EventInterval","Value":70000}])", 0, "above 65535 seconds"},
      {R"([{"Key":"EventInterval","Value":600},{"Key":"EventInterval","Value":-5}])", 600, "'EventInterval' -5"},
      {repeated, 3000, "gave 3000 'EventInterval' values: only the last, 3000, is sent"},
  };
  for (const auto &r : retrieved) {
    SCOPED_TRACE(r.body.substr(0, 80));
    std::memset(&txq(), 0, sizeof txq());
    json_object *body = json_tokener_parse(r.body.c_str());
    const std::string out = capture_stdout([&] { data::handle_retrieved_message(kSensorText, 2, body); });
    json_object_put(body);
    EXPECT_NE(out.find(r.line), std::string::npos) << out.substr(0, 400);
    int used = 0;
    for (const shared::TxqSlot &slot : txq().slots) {
      if (slot.state == shared::kSlotFree) continue;
      ++used;
      EXPECT_EQ(slot.tx_api_id, 26);
      EXPECT_EQ(Bytes(slot.payload, slot.payload + 12),
                bytes({'0', '0', '1', 'A', 3, 0, 1, 0, r.queued & 0xFF, (r.queued >> 8) & 0xFF, 0, 0}));
    }
    EXPECT_EQ(used, r.queued != 0 ? 1 : 0);
  }
}

TEST_F(CommandProcess, ElevenCommandsWithTenPendingSlots) {
  for (int i = 1; i <= 10; ++i) send(R"({"GetOADStatus":)" + std::to_string(i) + "}");
  const Bytes full = txq_bytes();
  for (const shared::TxqSlot &slot : txq().slots) EXPECT_EQ(slot.state, shared::kSlotReady);
  send(R"({"GetDevList":null})");
  EXPECT_TRUE(output_has("TX Message Queue buffer was full!\n"));
  EXPECT_EQ(txq_bytes(), full);
  EXPECT_EQ(txq_attachments(), 1);
}

TEST_F(CommandProcess, DownloadProgressIsReadOnlyFromAWholeJsonDocument) {
  std::string page(4096, ' ');  // a document that ends exactly where its mapping ends
  page.replace(0, 13, "{\"process\":7}");
  const std::pair<const char *, int> cases[] = {
      {nullptr, -1}, {"{\"process\":55}\n", 55}, {"{\"process\":\"55\"}", -1}, {"{\"process\":", -1}, {"", -1},
      {page.c_str(), 7}};
  for (const auto &[content, expected] : cases) {
    std::remove("/tmp/001A");
    if (content != nullptr) std::ofstream("/tmp/001A") << content;
    int progress = -1;
    read_download_progress(kSensorText, &progress);
    EXPECT_EQ(progress, expected) << (content != nullptr ? content : "(no file)");
  }
  std::remove("/tmp/001A");
  ASSERT_EQ(mkfifo("/tmp/001A", 0600), 0);
  int progress = -1;
  read_download_progress(kSensorText, &progress);  // a FIFO nobody writes must not hang it
  read_download_progress("0011223344556677", &progress);  // no ShortAddress
  EXPECT_EQ(progress, -1);

  char text[core::kExtAddressTextSize] = {};
  for (int index : {0, 27, 101}) ext_text_for_short_address(index, text);
  EXPECT_EQ(text[0], '\0');
  ext_text_for_short_address(kIndex, text);
  EXPECT_STREQ(text, kSensorText);
}

}  // namespace
}  // namespace vorn::commands
