// ubusd against hostile or broken clients (runs in the router sandbox): garbage, truncated and
// oversized messages, a client that never reads, and no descriptor leaks.
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <libubus.h>

#include "support/bus_test_support.h"
#include "ubus_wire.h"
#include "unique_fd.h"

namespace {

using bus_test::BlobBuf;
using bus_test::Context;
using ubus_wire::Message;
using ubus_wire::Receiver;
using Clock = std::chrono::steady_clock;

// A client speaking the wire format by hand.
class RawClient {
 public:
  explicit RawClient(const char *path = UBUS_UNIX_SOCKET) {
    fd_.reset(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    strncpy(sa.sun_path, path, sizeof(sa.sun_path) - 1);
    if (connect(fd_.get(), reinterpret_cast<sockaddr *>(&sa), sizeof(sa)) != 0) fd_.reset();
    Message hello;
    if (!fd_ || !read_message(hello) || hello.type != UBUS_MSG_HELLO) fd_.reset();
  }
  bool ok() const { return static_cast<bool>(fd_); }

  bool send(const void *data, size_t len) {
    return ::send(fd_.get(), data, len, MSG_NOSIGNAL) == static_cast<ssize_t>(len);
  }
  bool send(const std::vector<uint8_t> &bytes) {
    return !bytes.empty() && send(bytes.data(), bytes.size());
  }

  bool read_message(Message &m, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    const auto deadline = Clock::now() + timeout;
    while (rx_.next(m) != Receiver::Status::kMessage) {
      if (!fill(deadline)) return false;
    }
    return true;
  }

  // True when the daemon closed the connection (after any data it had queued).
  bool closed_by_daemon(std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    const auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
      pollfd p{fd_.get(), POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      char buf[65536];
      const ssize_t n = recv(fd_.get(), buf, sizeof(buf), 0);
      if (n == 0 || (n < 0 && errno == ECONNRESET)) return true;
    }
    return false;
  }

 private:
  bool fill(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd p{fd_.get(), POLLIN, 0};
    if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) return false;
    uint8_t buf[4096];
    const ssize_t n = recv(fd_.get(), buf, sizeof(buf), 0);
    if (n <= 0) return false;
    rx_.append(buf, static_cast<size_t>(n));
    return true;
  }

  ubus_wire::UniqueFd fd_;
  Receiver rx_{ubus_wire::kMaxForwarded};
};

std::vector<uint8_t> lookup_message(uint16_t seq, const char *name) {
  ubus_wire::Builder b;
  b.str(ubus_wire::kAttrObjPath, name);
  return b.finish(UBUS_MSG_LOOKUP, seq, 0);
}

// The daemon still answers a normal client.
void expect_daemon_serves() {
  Context ctx(ubus_connect(nullptr));
  ASSERT_TRUE(ctx);
  uint32_t id = 0;
  EXPECT_EQ(UBUS_STATUS_NOT_FOUND, ubus_lookup_id(ctx.get(), "robustness.absent", &id));
  ubus_object obj{};
  obj.name = "robustness.alive";
  EXPECT_EQ(UBUS_STATUS_OK, ubus_add_object(ctx.get(), &obj));
}

TEST(UbusdRobustness, GarbageDropsOnlyTheClientThatSentIt) {
  std::vector<std::vector<uint8_t>> garbage;
  garbage.push_back(std::vector<uint8_t>(64, 0xff));  // not the protocol at all
  std::vector<uint8_t> bad_type = lookup_message(1, "x");
  bad_type[1] = 200;
  garbage.push_back(bad_type);
  std::vector<uint8_t> daemon_only = lookup_message(1, "x");
  daemon_only[1] = UBUS_MSG_HELLO;
  garbage.push_back(daemon_only);
  std::vector<uint8_t> bad_payload = lookup_message(1, "abc");
  bad_payload[sizeof(ubus_wire::MsgHeader) + 3] ^= 0x40;  // container length no longer matches
  garbage.push_back(bad_payload);
  std::vector<uint8_t> bad_string = lookup_message(1, "abc");
  bad_string.back() = 'z';  // name without its terminator
  garbage.push_back(bad_string);

  bus_test::ObjectServer server("robust.server");
  ASSERT_TRUE(server.ready());
  for (size_t i = 0; i < garbage.size(); ++i) {
    RawClient raw;
    ASSERT_TRUE(raw.ok());
    ASSERT_TRUE(raw.send(garbage[i]));
    EXPECT_TRUE(raw.closed_by_daemon()) << "garbage #" << i;
  }
  expect_daemon_serves();
  Context ctx(ubus_connect(nullptr));
  uint32_t id = 0;
  EXPECT_EQ(UBUS_STATUS_OK, ubus_lookup_id(ctx.get(), "robust.server", &id));
  EXPECT_EQ(UBUS_STATUS_OK, ubus_invoke(ctx.get(), id, "echo", nullptr, nullptr, nullptr, 3000));
}

TEST(UbusdRobustness, TruncatedAndStalledMessagesHarmNobodyElse) {
  const std::vector<uint8_t> whole = lookup_message(5, "robust.truncated");
  {
    RawClient raw;  // half a header, then gone
    ASSERT_TRUE(raw.ok());
    ASSERT_TRUE(raw.send(whole.data(), 6));
  }
  {
    RawClient raw;  // header and part of the payload, then gone
    ASSERT_TRUE(raw.ok());
    ASSERT_TRUE(raw.send(whole.data(), whole.size() - 4));
  }
  RawClient stalled;  // part of a message, and then nothing while others are served
  ASSERT_TRUE(stalled.ok());
  ASSERT_TRUE(stalled.send(whole.data(), whole.size() - 4));
  expect_daemon_serves();
  // The rest arrives late: the message is whole and answered.
  ASSERT_TRUE(stalled.send(whole.data() + whole.size() - 4, 4));
  Message m;
  ASSERT_TRUE(stalled.read_message(m));
  EXPECT_EQ(UBUS_MSG_STATUS, m.type);
  EXPECT_EQ(5, m.seq);
  EXPECT_EQ(static_cast<uint32_t>(UBUS_STATUS_NOT_FOUND), m.u32(ubus_wire::kAttrStatus));
}

// As the router's daemon does, a client that sends a message over the size limit is dropped.
TEST(UbusdRobustness, OversizedMessageDropsItsClient) {
  RawClient raw;
  ASSERT_TRUE(raw.ok());
  const uint32_t len = UBUS_MAX_MSGLEN + 4096;
  ubus_wire::MsgHeader h{ubus_wire::kVersion, UBUS_MSG_SEND_EVENT, htobe16(77), 0, htobe32(len)};
  std::vector<uint8_t> big(sizeof(h) + len, 0);
  memcpy(big.data(), &h, sizeof(h));
  raw.send(big);  // may fail part-way once the daemon has closed the connection
  EXPECT_TRUE(raw.closed_by_daemon());
  expect_daemon_serves();
}

TEST(UbusdRobustness, ClientThatNeverReadsIsDroppedWithoutBlockingOthers) {
  RawClient slow;
  ASSERT_TRUE(slow.ok());
  ubus_wire::Builder listen;
  listen.u32(ubus_wire::kAttrHandler, 1).str(ubus_wire::kAttrPattern, "flood");
  ASSERT_TRUE(slow.send(listen.finish(UBUS_MSG_ADD_LISTENER, 1, 0)));
  Message m;
  ASSERT_TRUE(slow.read_message(m));
  ASSERT_EQ(0u, m.u32(ubus_wire::kAttrStatus, 99));

  Context sender(ubus_connect(nullptr));
  ASSERT_TRUE(sender);
  BlobBuf payload;
  blobmsg_add_string(&payload.b, "fill", std::string(30000, 'f').c_str());
  const auto start = Clock::now();
  int sent = 0;
  for (int i = 0; i < 300; ++i)  // ~9 MB for a reader that takes nothing
    sent += ubus_send_event(sender.get(), "flood", payload.b.head) == UBUS_STATUS_OK;
  EXPECT_EQ(300, sent);
  EXPECT_LT(std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start).count(), 20);
  EXPECT_TRUE(slow.closed_by_daemon(std::chrono::seconds(10)));
  expect_daemon_serves();
}

TEST(UbusdRobustness, NoDescriptorLeftOpenAfterAnyKindOfClient) {
  // A daemon of its own, so that clients of other tests cannot blur the count.
  const std::string socket = "/tmp/fd-count.sock";
  bus_test::PrivateDaemon private_daemon(socket);
  ASSERT_TRUE(private_daemon.serving());
  const pid_t daemon = private_daemon.pid();
  const int baseline = bus_test::settled_fd_count(daemon);
  ASSERT_GT(baseline, 0);
  {
    std::vector<Context> clients;
    std::vector<ubus_object> objects(50);
    std::vector<std::string> names(50);
    std::vector<ubus_event_handler> listeners(50);
    for (int i = 0; i < 50; ++i) {
      clients.emplace_back(ubus_connect(socket.c_str()));
      ASSERT_TRUE(clients.back());
      names[i] = "leak." + std::to_string(i);
      objects[i].name = names[i].c_str();
      EXPECT_EQ(UBUS_STATUS_OK, ubus_add_object(clients.back().get(), &objects[i]));
      listeners[i].cb = [](ubus_context *, ubus_event_handler *, const char *, blob_attr *) {};
      EXPECT_EQ(UBUS_STATUS_OK,
                ubus_register_event_handler(clients.back().get(), &listeners[i], "leak.*"));
    }
    EXPECT_GT(bus_test::count_fds(daemon), baseline + 40);
    bus_test::ObjectServer victim("leak.victim", socket.c_str());
    ASSERT_TRUE(victim.ready());
    std::thread killer([&] {
      if (victim.wait_hanging(std::chrono::seconds(10))) victim.kill_now();
    });
    uint32_t id = 0;
    ASSERT_EQ(UBUS_STATUS_OK, ubus_lookup_id(clients[0].get(), "leak.victim", &id));
    EXPECT_EQ(UBUS_STATUS_TIMEOUT,  // its owner died: waited out
              ubus_invoke(clients[0].get(), id, "hang", nullptr, nullptr, nullptr, 1000));
    killer.join();
    RawClient garbage(socket.c_str());
    garbage.send(std::vector<uint8_t>(32, 0xee));
    RawClient cut(socket.c_str());
    const auto msg = lookup_message(1, "leak.cut");
    cut.send(msg.data(), msg.size() / 2);
    clients.clear();
  }
  // The daemon notices closed clients asynchronously.
  int now = -1;
  for (int i = 0; i < 100 && now != baseline; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    now = bus_test::count_fds(daemon);
  }
  EXPECT_EQ(baseline, now);
}

}  // namespace
