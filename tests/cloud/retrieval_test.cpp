// The agent's answer to "transmit", the "obtain" it may lead to, the retrieved message that
// queues an event-interval request, and the bus failures a report must survive.
#include <sys/shm.h>

#include <chrono>
#include <thread>

#include "cloud/device_reports.h"
#include "cloud/json_document.h"
#include "cloud/measurement_reports.h"
#include "cloud/message_retrieval.h"
#include "cloud_fixture.h"
#include "data/retrieved_settings.h"
#include "shared/segments.h"
#include "shared/txq.h"

namespace vorn::cloud {
namespace {

using namespace vorn::test;
using Clock = std::chrono::steady_clock;

class CloudRetrieval : public CloudFixture {
 protected:
  void SetUp() override {
    CloudFixture::SetUp();
    std::ofstream("/etc/config/sensorlist", std::ios::trunc).flush();
    std::system("uci -q add sensorlist 00124B0001A2B3C4 >/dev/null; uci set sensorlist.@00124B0001A2B3C4[].ShortAddress=1A2B;"
                "uci commit sensorlist");
    shared::create_shared_state();
    set_retrieved_message_handler(data::handle_retrieved_message);  // as the daemon sets it at start
    txq_attachment = std::make_unique<shared::SegmentAttachment>(core::daemon_state.txq_segment_id);
  }
  void TearDown() override { txq_attachment.reset(); }
  shared::TxqSegment &txq() { return *static_cast<shared::TxqSegment *>(txq_attachment->address()); }
  // States of the ten slots, e.g. "2000000000".
  std::string slot_states() {
    std::string states;
    for (const shared::TxqSlot &slot : txq().slots) states += static_cast<char>('0' + slot.state);
    return states;
  }
  std::unique_ptr<shared::SegmentAttachment> txq_attachment;
};

const std::string kObtain = R"(obtain vorn_mgr {"ID":"00124B0001A2B3C4"})";
const Bytes kIntervalRequest = bytes({'1', 'A', '2', 'B', 3, 0, 1, 0, 0x58, 2, 0, 0});  // 600 for sensor 1A2B

TEST_F(CloudRetrieval, TransmitAnswerDecidesTheFetch) {
  struct Case {
    const char *reply;  // the whole "transmit" answer
    bool fetches;
    const char *printed;
  } cases[] = {
      {R"({"rc":"{\"SeqNo\":7,\"Timestamp\":1700000000,\"Result\":1,\"NewMsgArrived\":1}"})", true, ""},
      {R"({"rc":"{\"SeqNo\":7,\"Timestamp\":1700000000,\"Result\":1,\"NewMsgArrived\":0}"})", false, ""},
      {R"({"rc":"{\"SeqNo\":7,\"Timestamp\":1700000000,\"Result\":2,\"NewMsgArrived\":1}"})", false, ""},
      {R"({"rc":"{\"Timestamp\":1700000000,\"Result\":1,\"NewMsgArrived\":1}"})", false, ""},
      {R"({"rc":"{\"SeqNo\":\"7\",\"Timestamp\":1700000000,\"Result\":1,\"NewMsgArrived\":1}"})", false, ""},
      {R"({"rc":"not json"})", false, ""},
      {R"({"code":1})", false, "No return code received from server\r\n"},
  };
  for (const Case &c : cases) {
    SetUp();
    agent_file("reply.json", c.reply);
    std::string out = capture_stdout([&] { report_left(&report); });
    EXPECT_EQ(out, c.printed) << c.reply;
    std::vector<std::string> expected = {"transmit vorn_mgr " + envelope(0, R"({"Parent":""})")};
    if (c.fetches) expected.push_back(kObtain);
    EXPECT_EQ(calls(), expected) << c.reply;
  }
}

TEST_F(CloudRetrieval, RetrievedSettingsQueueTheEventInterval) {
  const std::string body = R"([{"Key":"EventInterval","Value":600},{"Key":"DeadBand","Value":3}])";
  auto message = [](const std::string &id, const std::string &gateway, const std::string &type_and_body) {
    return R"({"ID":")" + id + R"(","GatewayID":")" + gateway + R"(",)" + type_and_body + "}";
  };
  std::string as_string = R"("Type":2,"Body":")" + std::regex_replace(body, std::regex("\""), "\\\"") + "\"";
  const std::string queued = "Retrieve for update 00124B0001A2B3C4's 'EventInterval' to 600.\n";
  struct Case {
    const char *what;
    std::string held;
    const char *states;     // the ten slots afterwards
    std::string printed;    // a line that must appear ("" none)
  } cases[] = {
      {"body as a string", message(kSensorId, kGateway, as_string), "2000000000", queued},
      {"body as an array", message(kSensorId, kGateway, R"("Type":2,"Body":)" + body), "2000000000", queued},
      {"another gateway", message(kSensorId, "GW-ELSEWHERE", R"("Type":2,"Body":)" + body), "2000000000",
       "Retrieve GatewayID(GW-ELSEWHERE) is not for Me!!!\n"},
      {"type 3", message(kSensorId, kGateway, R"("Type":3,"Body":)" + body), "0000000000", ""},
      {"no type", message(kSensorId, kGateway, R"("Body":)" + body), "0000000000", ""},
      {"body not an array", message(kSensorId, kGateway, R"("Type":2,"Body":"{}")"), "0000000000", ""},
      {"value not an integer", message(kSensorId, kGateway, R"("Type":2,"Body":[{"Key":"EventInterval","Value":"600"}])"),
       "0000000000", "Retrieve 'EventInterval' for 00124B0001A2B3C4 is not a 32-bit integer, ignored.\n"},
      {"unknown sensor", message("00124B0001A2B3C5", kGateway, R"("Type":2,"Body":)" + body), "0000000000", ""},
      {"id too long", message("00124B0001A2B3C4;reboot", kGateway, R"("Type":2,"Body":)" + body), "0000000000",
       "Retrieve ID(00124B0001A2B3C4;reboot) is not a sensor id, dropped\n"},
      {"id not hexadecimal", message("00124B0001A2B3C;", kGateway, R"("Type":2,"Body":)" + body), "0000000000",
       "Retrieve ID(00124B0001A2B3C;) is not a sensor id, dropped\n"},
  };
  for (const Case &c : cases) {
    SetUp();
    agent_file("held.json", c.held);
    std::string out = capture_stdout([&] { report_joined(&report); });
    EXPECT_EQ(calls().size(), 2u) << c.what << ": one transmit, one obtain";
    EXPECT_NE(out.find("Retrieve Msg:\n" + c.held + "\r\n"), std::string::npos) << c.what << out;
    EXPECT_NE(out.find(c.printed), std::string::npos) << c.what << out;
    EXPECT_EQ(slot_states(), c.states) << c.what;
    if (c.states[0] == '2') {
      EXPECT_EQ(txq().slots[0].tx_api_id, 26) << c.what;
      EXPECT_EQ(Bytes(txq().slots[0].payload, txq().slots[0].payload + 12), kIntervalRequest) << c.what;
    }
  }
}

TEST_F(CloudRetrieval, FullQueueIsWaitedForAndTheFirstFreeSlotTaken) {
  const char *text = R"([{"Key":"EventInterval","Value":600}])";
  JsonPtr body = parse_json(text, std::strlen(text));
  for (shared::TxqSlot &slot : txq().slots) slot.state = shared::kSlotReady;
  std::thread transmit_thread([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    shared::release_txq_slot(&txq().slots[6]);
    shared::release_txq_slot(&txq().slots[0]);
  });
  testing::internal::CaptureStderr();
  std::string out = capture_stdout([&] { data::handle_retrieved_message(kSensorId, 2, body.get()); });
  transmit_thread.join();
  EXPECT_NE(testing::internal::GetCapturedStderr().find("TX Message Queue buffer was full!\n"), std::string::npos);
  EXPECT_EQ(slot_states(), "2222220222") << "slot 0 taken, slot 6 still free";
  EXPECT_EQ(Bytes(txq().slots[0].payload, txq().slots[0].payload + 12), kIntervalRequest);
  txq().slots[6].state = shared::kSlotReady;

  // Once the daemon has shut down (the queue marked for removal) nobody frees a slot: give up.
  shmctl(core::daemon_state.txq_segment_id, IPC_RMID, nullptr);
  testing::internal::CaptureStderr();
  out = capture_stdout([&] { data::handle_retrieved_message(kSensorId, 2, body.get()); });
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(out, "TX Message Queue is gone, 'EventInterval' of 00124B0001A2B3C4 not sent.\n");
}

TEST_F(CloudRetrieval, DebugEchoFollowsTheAnswerHandlersLines) {
  core::daemon_state.debug_level = 2;
  agent_file("held.json", R"({"ID":"00124B0001A2B3C4","GatewayID":"GW00124B00A1B2C3","Type":2,"Body":[{"Key":"EventInterval","Value":600}]})");
  std::string out = capture_stdout([&] { report_left(&report); });
  std::string echo = "tMsg:\r\n" + envelope(0, R"({"Parent":""})") + "\r\n";
  ASSERT_GE(out.size(), echo.size()) << out;
  EXPECT_EQ(out.substr(out.size() - echo.size()), echo) << out;
  EXPECT_EQ(out.find("Retrieve Msg:\n"), 0u) << out;
  EXPECT_NE(out.find("'EventInterval' to 600.\n"), std::string::npos) << out;
}

TEST_F(CloudRetrieval, UnreachableAgentCostsOneLineAndABoundedWait) {
  struct Case {
    const char *what;
    std::function<void()> arrange;
    const char *printed;
  } cases[] = {
      {"agent slower than 3000 ms", [] { agent_file("delay_ms", "4500"); }, "ubus_invoke failed\n"},
      {"agent not on the bus", [] { core::daemon_state.cloud_agent_name = const_cast<char *>("no_such_agent"); },
       "ubus_lookup_id failed\n"},
      {"agent name unknown", [] { core::daemon_state.cloud_agent_name = nullptr; }, ""},
  };
  char *agent_name = core::daemon_state.cloud_agent_name;
  for (const Case &c : cases) {
    SetUp();
    c.arrange();
    auto start = Clock::now();
    EXPECT_EQ(capture_stdout([&] { report_left(&report); }), c.printed) << c.what;
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(30)) << c.what;
    core::daemon_state.cloud_agent_name = agent_name;
  }
  std::this_thread::sleep_for(std::chrono::seconds(2));  // the slow agent finishes its answer
}

// Records the sensor was answered for exist nowhere else: an agent gone from the bus is waited for
// and the report sent once it is back, but a call the agent may have taken is never made twice.
TEST_F(CloudRetrieval, AnsweredRecordsWaitForAnAbsentAgentAndAreNeverSentTwice) {
  float values[1] = {21.5f};
  shared::DataRecord record{1700000000, values, nullptr};
  shared::ChannelMeta meta{"Inlet", 1, "degC"};
  const auto answered = [&] {
    report.channel_count = 1, report.channel_meta = &meta, report.records = &record, report.record_count = 1;
    report.base_time = record.time, report.no_alarm = 1;
    return capture_stdout([&] { report_answered_records(&report); });
  };
  const std::string waiting = "\tRecords of 00124B0001A2B3C4 answered: waiting for Cloud_Agent\n";

  delete agent;  // away; back two seconds later
  std::thread comeback([] {
    std::this_thread::sleep_for(std::chrono::seconds(2));
    agent = new AgentProcess(core::daemon_state.cloud_agent_name);
  });
  std::string out = answered();
  comeback.join();
  EXPECT_EQ(out.rfind("ubus_lookup_id failed\n" + waiting, 0), 0u) << out;
  EXPECT_EQ(transmitted().size(), 1u) << out;

  SetUp();
  agent_file("delay_ms", "4500");
  EXPECT_EQ(answered(), "ubus_invoke failed\n") << "timed out, but the agent may have it";
  EXPECT_EQ(calls().size(), 1u);
  std::this_thread::sleep_for(std::chrono::seconds(2));  // the slow agent finishes its answer

  SetUp();
  char *agent_name = std::exchange(core::daemon_state.cloud_agent_name, nullptr);
  EXPECT_EQ(answered(), "") << "no agent name: nothing is waited for";
  core::daemon_state.cloud_agent_name = agent_name;
}

}  // namespace
}  // namespace vorn::cloud
