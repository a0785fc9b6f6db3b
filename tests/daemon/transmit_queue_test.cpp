// The TX request queue: slot claiming across processes and what the transmit thread sends.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <set>

#include "app/transmit_thread.h"
#include "app/txq_requests.h"
#include "core/link_frame.h"
#include "shared/segments.h"
#include "shared/txq.h"
#include "test_support.h"

namespace vorn::shared {
namespace {

using test::Bytes;
using test::bytes;
using test::capture_stdout;

class TransmitQueue : public testing::Test {
 protected:
  static void SetUpTestSuite() { create_shared_state(); }
  void SetUp() override {
    attachment_ = std::make_unique<SegmentAttachment>(core::daemon_state.txq_segment_id);
    txq_ = static_cast<TxqSegment *>(attachment_->address());
    std::memset(txq_, 0, sizeof *txq_);
  }
  void post(int slot, std::int32_t api, Bytes payload = {}) {
    std::copy(payload.begin(), payload.end(), txq_->slots[slot].payload);
    publish_txq_slot(&txq_->slots[slot], api);
  }
  std::unique_ptr<SegmentAttachment> attachment_;
  TxqSegment *txq_ = nullptr;
  test::LinkPair link;
};

TEST_F(TransmitQueue, ProducersInSeveralProcessesNeverShareASlot) {
  constexpr int kProducers = 8;
  for (int p = 0; p < kProducers; ++p) {
    if (fork() == 0) {
      // Each producer claims what it can and marks the slot with its own number.
      for (int tries = 0; tries < 200; ++tries) {
        TxqSlot *slot = claim_txq_slot(txq_);
        if (slot == nullptr) break;
        slot->payload[0] = static_cast<std::uint8_t>(p + 1);
        slot->payload[1]++;
        publish_txq_slot(slot, 3);
      }
      _exit(0);
    }
  }
  for (int p = 0; p < kProducers; ++p) wait(nullptr);
  for (const TxqSlot &slot : txq_->slots) {
    EXPECT_EQ(slot.state, kSlotReady);
    EXPECT_EQ(slot.payload[1], 1) << "a slot was filled by two producers";
  }
  EXPECT_EQ(claim_txq_slot(txq_), nullptr) << "the queue is full";
}

TEST_F(TransmitQueue, AbandonedClaimLeavesNoPartialRequest) {
  TxqSlot *slot = claim_txq_slot(txq_);
  ASSERT_EQ(slot, &txq_->slots[0]);
  EXPECT_EQ(claim_txq_slot(txq_), &txq_->slots[1]);
  slot->payload[0] = 9;
  abandon_txq_slot(slot);
  EXPECT_EQ(slot->state, kSlotFree);
  EXPECT_EQ(slot->payload[0], 0);
  EXPECT_EQ(claim_txq_slot(txq_), &txq_->slots[0]);
}

TEST_F(TransmitQueue, SlotsAreServedInSlotOrderNotPostingOrder) {
  app::TransmitCursor cursor{3};
  post(7, core::APP_OAD_STATUS_REQ);       // frame ends 0x17
  post(2, core::APP_GET_DEVICE_ARRAY_REQ); // frame ends 0x06
  txq_->slots[5].state = kSlotFilling;  // still being filled: skipped however long it stays so
  txq_->slots[5].tx_api_id = 3;
  for (int step = 0; step < 10; ++step) app::serve_next_txq_slot(txq_, cursor);
  EXPECT_EQ(link.sent(), bytes({0, 0, 0x0A, 0x17, 0, 0, 0x0A, 0x06}));
  EXPECT_EQ(cursor.index, 3);
  EXPECT_EQ(txq_->slots[7].state, kSlotFree);
  EXPECT_EQ(txq_->slots[7].tx_api_id, 0);
  EXPECT_EQ(txq_->slots[5].state, kSlotFilling);
}

TEST_F(TransmitQueue, FixedFramesOfTheQueueIdentifiers) {
  app::serve_txq_request(core::APP_SET_JOIN_PERMIT_REQ, bytes({1}).data());
  EXPECT_EQ(link.sent(), bytes({0x04, 0x00, 0x0A, 0x0B, 0xC0, 0xD4, 0x01, 0x00}));
  std::uint8_t closed[kTxqPayloadSize] = {};
  app::serve_txq_request(core::APP_SET_JOIN_PERMIT_REQ, closed);
  EXPECT_EQ(link.sent(), bytes({0x04, 0x00, 0x0A, 0x0B, 0, 0, 0, 0}));
  std::uint8_t get_value[kTxqPayloadSize] = {'0', '0', '1', 'A', 0x34, 0x12};
  app::serve_txq_request(core::APP_GET_DEVICE_VALUE_REQ, get_value);
  EXPECT_EQ(link.sent(), bytes({0x04, 0x00, 0x0A, 0x19, 0x1A, 0x00, 0x34, 0x12}));
  std::uint8_t cancel[kTxqPayloadSize] = {7};
  app::serve_txq_request(core::APP_CANCEL_OAD_REQ, cancel);
  EXPECT_EQ(link.sent(), bytes({0x01, 0x00, 0x0A, 0x28, 0x07}));
  app::serve_txq_request(core::APP_CANCEL_MSP430_OAD_REQ, cancel);
  EXPECT_EQ(link.sent(), bytes({0x01, 0x00, 0x0A, 0x25, 0x07}));
}

TEST_F(TransmitQueue, SensorOadStartCarriesIndexAndName) {
  std::uint8_t payload[kTxqPayloadSize] = {5, 'a', 'b', 'c', 'd', 'e'};
  app::serve_txq_request(core::APP_SENSOR_OAD_START_REQ, payload);
  EXPECT_EQ(link.sent(), bytes({0x06, 0x00, 0x0A, 0x14, 0x05, 'a', 'b', 'c', 'd', 'e'}));
}

TEST_F(TransmitQueue, OutOfRangeIndexesAndUnknownIdsSendNothing) {
  std::uint8_t zero[kTxqPayloadSize] = {0};
  std::uint8_t too_big[kTxqPayloadSize] = {101};
  EXPECT_EQ(capture_stdout([&] { app::serve_txq_request(core::APP_CANCEL_OAD_REQ, zero); }), "Unable to cancel the OAD process\n");
  EXPECT_EQ(capture_stdout([&] { app::serve_txq_request(core::APP_CANCEL_OAD_REQ, too_big); }), "Unable to cancel the OAD process\n");
  EXPECT_EQ(capture_stdout([&] { app::serve_txq_request(core::APP_CANCEL_MSP430_OAD_REQ, zero); }), "Unable to cancel the MSP430 OAD process\n");
  EXPECT_EQ(capture_stdout([&] { app::serve_txq_request(core::APP_SENSOR_OAD_START_REQ, too_big); }), "Can't process sensor OAD\n");
  EXPECT_EQ(capture_stdout([&] { app::serve_txq_request(99, zero); }), "Unknow TX API ID!.\n");
  EXPECT_TRUE(link.sent(50).empty());

  post(4, 99);
  app::TransmitCursor cursor{4};
  capture_stdout([&] { app::serve_next_txq_slot(txq_, cursor); });
  EXPECT_EQ(txq_->slots[4].state, kSlotFree) << "an unknown request still frees its slot";
}

TEST_F(TransmitQueue, OadFileTextFillingThePayloadIsSentCutAndReported) {
  std::uint8_t payload[kTxqPayloadSize];
  std::memset(payload, 'f', sizeof payload);
  testing::internal::CaptureStderr();
  app::serve_txq_request(core::APP_OAD_FILE_REQ, payload);
  std::string error = testing::internal::GetCapturedStderr();
  Bytes sent = link.sent();
  ASSERT_EQ(sent.size(), 4u + 127u);
  EXPECT_EQ(sent[0], 127);
  EXPECT_EQ(sent[3], 21);
  EXPECT_NE(error.find("longer than 127"), std::string::npos);

  std::uint8_t short_text[kTxqPayloadSize] = {'f', 'w', '.', 'b', 'i', 'n'};
  app::serve_txq_request(core::APP_OAD_FILE_REQ, short_text);
  EXPECT_EQ(link.sent(), bytes({6, 0, 0x0A, 21, 'f', 'w', '.', 'b', 'i', 'n'}));
}

TEST_F(TransmitQueue, SetSensorIsFollowedByAConfigRequestToTheSameSensor) {
  std::uint8_t payload[kTxqPayloadSize] = {'0', '0', '1', '2', 3, 0, 1, 0, 0x2C, 0x01, 0, 0};
  capture_stdout([&] { app::serve_txq_request(core::APP_SET_SENSOR_REQ, payload); });
  Bytes sent = link.sent();
  ASSERT_EQ(sent.size(), 16u + 13u);
  EXPECT_EQ(sent[3], 26);
  EXPECT_EQ(sent[6], 0x12);
  EXPECT_EQ(Bytes(sent.begin() + 16, sent.end()),
            bytes({0x09, 0x00, 0x0A, 0x0D, 0x01, 0x12, 0x00, 0x60, 0xEA, 0x00, 0x00, 0x38, 0x00}));
}

TEST_F(TransmitQueue, SetDeviceValueConsumesFieldsInFlagOrder) {
  std::uint8_t payload[kTxqPayloadSize] = {'0', '0', '0', '9', 0x07, 0x00};
  std::int32_t integer = -2;
  double value = 21.5;
  std::memcpy(payload + 6, &integer, 4);
  std::memcpy(payload + 10, &value, 8);
  payload[18] = 2;  // block of two bytes
  payload[20] = 0xAA;
  payload[21] = 0xBB;
  app::serve_txq_request(core::APP_SET_DEVICE_VALUE_REQ, payload);
  EXPECT_EQ(link.sent(), bytes({0x12, 0x00, 0x0A, 0x18, 0x10, 0x00, 0x09, 0x00, 0x07, 0x00, 0xFE, 0xFF, 0xFF,
                                0xFF, 21, 0, 0x88, 0x13, 2, 0, 0xAA, 0xBB}));
}

}  // namespace
}  // namespace vorn::shared
