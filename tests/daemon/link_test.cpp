// The collector link: how frames are read off the socket and which ones a handler accepts.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "app/frame_dispatch.h"
#include "app/inbound_loop.h"
#include "core/link_io.h"
#include "test_support.h"

namespace vorn::core {
namespace {

using test::Bytes;
using test::bytes;
using test::capture_stdout;

class LinkReading : public testing::Test {
 protected:
  void collector_writes(const Bytes &data) {
    ASSERT_EQ(write(link.collector_end(), data.data(), data.size()), static_cast<ssize_t>(data.size()));
  }
  ReadOutcome read_one(InboundFrame &frame) { return read_link_frame(link.daemon_end(), frame); }
  test::LinkPair link;
};

TEST_F(LinkReading, WholeFrameIsReadWithItsHeader) {
  collector_writes(bytes({0x01, 0x00, 0x4A, 0x0A, 0x05}));
  InboundFrame frame;
  ASSERT_EQ(read_one(frame), ReadOutcome::kFrame);
  EXPECT_EQ(frame.received, 5u);
  EXPECT_EQ(frame.bytes[3], 0x0A);
  EXPECT_EQ(frame.bytes[4], 0x05);
}

TEST_F(LinkReading, OutboundTypeByteIsDiscardedHeaderOnly) {
  collector_writes(bytes({0x01, 0x00, 0x0A, 0x0A, 0x01, 0x00, 0x4A, 0x0A, 0x05}));
  InboundFrame frame;
  EXPECT_EQ(read_one(frame), ReadOutcome::kSkipped);
  // The four bytes after the discarded header are read as the next header.
  ASSERT_EQ(read_one(frame), ReadOutcome::kFrame);
  EXPECT_EQ(frame.bytes[3], 0x0A);
}

TEST_F(LinkReading, ShortPayloadIsHandedOnWithWhatArrived) {
  Bytes data = bytes({30, 0x00, 0x4A, 0x09});
  data.resize(4 + 20, 0x55);
  collector_writes(data);
  InboundFrame frame;
  ASSERT_EQ(read_one(frame), ReadOutcome::kFrame);
  EXPECT_EQ(frame.received, 24u);
  std::string out = capture_stdout([&] { app::handle_frame(frame.bytes.get(), frame.received); });
  EXPECT_EQ(out.substr(0, out.find('\n') + 1), "(24) Data Length not match, Reject!\n");
}

TEST_F(LinkReading, ClosedLinkIsNoticedAtOnce) {
  shutdown(link.collector_end(), SHUT_WR);
  InboundFrame frame;
  EXPECT_EQ(read_one(frame), ReadOutcome::kLinkDown);
}

TEST_F(LinkReading, LinkClosedInsideAPayloadIsNoticed) {
  collector_writes(bytes({0x08, 0x00, 0x4A, 0x01}));
  shutdown(link.collector_end(), SHUT_WR);
  InboundFrame frame;
  EXPECT_EQ(read_one(frame), ReadOutcome::kLinkDown);
}

// Makes every later fork of this process fail with EAGAIN, as when the process table is full: the
// process becomes an unprivileged user allowed no processes beyond those it already has. (A seccomp
// filter would do too, but user-mode emulation refuses to install one.)
bool forbid_fork() {
  const rlimit none{0, 0};
  return setgid(65534) == 0 && setuid(65534) == 0 && setrlimit(RLIMIT_NPROC, &none) == 0;
}

TEST(HandlerProcesses, AFailedForkDropsTheFrameAndReadingGoesOn) {
  int err[2];
  ASSERT_EQ(pipe(err), 0);
  pid_t child = fork();
  if (child == 0) {
    dup2(err[1], STDERR_FILENO);
    if (!forbid_fork()) _exit(3);
    InboundFrame frame;
    frame.bytes.reset(static_cast<std::uint8_t *>(std::calloc(5, 1)));
    frame.bytes[3] = 12;
    frame.received = 5;
    app::handle_in_new_process(frame);  // must return, not wait for a child that does not exist
    app::handle_in_new_process(frame);
    _exit(0);
  }
  close(err[1]);
  int status = 0;
  waitpid(child, &status, 0);
  char text[512] = {};
  ssize_t n = read(err[0], text, sizeof text - 1);
  close(err[0]);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  ASSERT_GT(n, 0);
  EXPECT_NE(std::string(text).find("fork failed"), std::string::npos) << text;
  EXPECT_NE(std::string(text).find("frame of API id 12 dropped"), std::string::npos) << text;
}

std::string dispatch(const Bytes &frame) {
  return capture_stdout([&] { app::handle_frame(frame.data(), frame.size()); });
}

Bytes frame_of(std::uint8_t api_id, std::size_t length) {
  Bytes frame(4 + length, 0);
  frame[0] = static_cast<std::uint8_t>(length);
  frame[1] = static_cast<std::uint8_t>(length >> 8);
  frame[2] = 0x4A;
  frame[3] = api_id;
  return frame;
}

TEST(FrameLengthRules, EveryInboundIdRejectsAWrongLength) {
  const struct {
    std::uint8_t id;
    std::size_t wrong;
    const char *message;
  } cases[] = {
      {0, 18, "APP_DEVICE_JOINED_IND - Wrong length!\n"},
      {1, 9, "APP_DEVICE_LEFT_IND - Wrong length!\n"},
      {2, 20, "APP_NWK_INFO_IND - Wrong length!\n"},
      {5, 55, "APP_GET_NWK_INFO_CNF - Wrong length!\n"},
      {7, 0, "APP_GET_DEVICE_ARRAY_CNF - Wrong length!\n"},
      {8, 12, "APP_DEVICE_NOTACTIVE_UPDATE_IND - Wrong length!\n"},
      {9, 0, "APP_DEVICE_DATA_RX_IND - Wrong length!\n"},
      {10, 2, "APP_COLLECTOR_STATE_CNG_IND - Wrong length!\n"},
      {12, 3, "APP_SET_JOIN_PERMIT_CNF - Wrong length!\n"},
      {14, 5, "APP_TX_DATA_CNF - Wrong length!\n"},
  };
  for (const auto &c : cases) EXPECT_EQ(dispatch(frame_of(c.id, c.wrong)), c.message) << int(c.id);
}

TEST(FrameLengthRules, UnknownIdsAreRejectedWithADumpWhateverTheirLength) {
  for (std::uint8_t id : {3, 4, 6, 11, 13, 15, 200, 255}) {
    std::string out = dispatch(frame_of(id, 2));
    EXPECT_EQ(out.substr(0, 23), "Unknow API ID, Reject!\n") << int(id);
    EXPECT_NE(out.find("|  "), std::string::npos) << "the frame is dumped";
  }
}

TEST(FrameLengthRules, ConfirmationsPrintTheirResult) {
  Bytes join = frame_of(12, 4);
  join[4] = 0x2A;
  EXPECT_EQ(dispatch(join), "Set Join Permit Result: 0x2A\n");
  Bytes tx = frame_of(14, 4);
  tx[5] = 0x01;
  std::string out = dispatch(tx);
  EXPECT_NE(out.find("Tx Data Request Result: 0x100\n"), std::string::npos) << out;
  EXPECT_EQ(out[0], '[');
}

TEST(DeviceArray, ListingStopsAtTheEndOfThePayload) {
  Bytes frame = frame_of(7, 3 + 18 * 2);
  frame[4] = 0;   // status
  frame[5] = 5;   // claims five devices, holds two
  frame[4 + 3 + 2] = 0x12;
  frame[4 + 3 + 4] = 0xC4;
  frame[4 + 3 + 18 + 2] = 0x13;
  std::string out = dispatch(frame);
  EXPECT_NE(out.find("Device number: 5\nDevice 1:\n\tShort Address: 0012\n\tExt. Address: 00000000000000C4\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("Device 2:\n\tShort Address: 0013\n"), std::string::npos);
  EXPECT_EQ(out.find("Device 3:"), std::string::npos);
  EXPECT_NE(out.find("claims more than the 2 entries"), std::string::npos);

  Bytes empty = frame_of(7, 3);
  EXPECT_EQ(dispatch(empty), "Get Device List:\nStatus: 0\nDevice number: 0\n");
  EXPECT_NE(dispatch(frame_of(7, 1)).find("Device number: missing"), std::string::npos);
}

}  // namespace
}  // namespace vorn::core
