// The bus client API against the router's ubusd (runs in the router sandbox).
#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <unistd.h>

extern "C" {
#include <libubox/blobmsg_json.h>
}
#include <libubus.h>

// The router's header leaves the message size limit to its build, which sets 1 MiB.
#ifndef UBUS_MAX_MSGLEN
#define UBUS_MAX_MSGLEN 1048576
#endif

#include "support/bus_test_support.h"

namespace {

using bus_test::BlobBuf;
using bus_test::Context;
using bus_test::ObjectServer;
using Clock = std::chrono::steady_clock;

long long elapsed_ms(Clock::time_point since) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
}

uint32_t lookup(ubus_context *ctx, const char *name) {
  uint32_t id = 0;
  EXPECT_EQ(UBUS_STATUS_OK, ubus_lookup_id(ctx, name, &id)) << name;
  return id;
}

struct Replies {
  std::vector<std::string> texts;
  void *priv_seen = nullptr;
};

void collect(ubus_request *req, int type, blob_attr *msg) {
  EXPECT_EQ(UBUS_MSG_DATA, type);
  auto *r = static_cast<Replies *>(req->priv);
  r->priv_seen = req->priv;
  r->texts.push_back(bus_test::to_json(msg));
}

TEST(BusCalls, ReplyDataReachesTheHandlerWithItsPrivatePointer) {
  ObjectServer server("test.echo");
  ASSERT_TRUE(server.ready());
  Context ctx(ubus_connect(nullptr));
  ASSERT_TRUE(ctx);
  EXPECT_NE(0u, ctx->local_id);
  const uint32_t id = lookup(ctx.get(), "test.echo");

  // As the daemon calls the cloud agent: string fields of text length + 1.
  BlobBuf b;
  const char *text = R"({"ID":"00124B0001A2B3C4"})";
  blobmsg_add_field(&b.b, BLOBMSG_TYPE_STRING, "id", "vorn_mgr", strlen("vorn_mgr") + 1);
  blobmsg_add_field(&b.b, BLOBMSG_TYPE_STRING, "msg", text,
                    static_cast<unsigned>(strlen(text)) + 1);
  Replies replies;
  EXPECT_EQ(UBUS_STATUS_OK,
            ubus_invoke_fd(ctx.get(), id, "echo", b.b.head, collect, &replies, 3000, -1));
  ASSERT_EQ(1u, replies.texts.size());
  EXPECT_EQ(&replies, replies.priv_seen);
  EXPECT_TRUE(bus_test::json_same(
      R"({"id":"vorn_mgr","msg":"{\"ID\":\"00124B0001A2B3C4\"}","seen":true})", replies.texts[0]))
      << replies.texts[0];

  // Several replies, all before the call returns, in order.
  Replies many;
  EXPECT_EQ(UBUS_STATUS_OK, ubus_invoke(ctx.get(), id, "multi", nullptr, collect, &many, 3000));
  EXPECT_EQ((std::vector<std::string>{R"({"n":0})", R"({"n":1})", R"({"n":2})"}), many.texts);
}

TEST(BusCalls, FailuresComeBackAsStatuses) {
  ObjectServer server("test.status");
  ASSERT_TRUE(server.ready());
  Context ctx(ubus_connect(nullptr));
  ASSERT_TRUE(ctx);
  const uint32_t id = lookup(ctx.get(), "test.status");
  uint32_t unused = 0;
  EXPECT_EQ(UBUS_STATUS_NOT_FOUND, ubus_lookup_id(ctx.get(), "test.nobody", &unused));
  EXPECT_EQ(UBUS_STATUS_PERMISSION_DENIED,
            ubus_invoke(ctx.get(), id, "fail", nullptr, nullptr, nullptr, 3000));
  EXPECT_EQ(UBUS_STATUS_METHOD_NOT_FOUND,
            ubus_invoke(ctx.get(), id, "nope", nullptr, nullptr, nullptr, 3000));
  EXPECT_EQ(UBUS_STATUS_NOT_FOUND,
            ubus_invoke(ctx.get(), id ^ 0x5a5a5a5a, "echo", nullptr, nullptr, nullptr, 3000));
  EXPECT_EQ(UBUS_STATUS_NOT_SUPPORTED,
            ubus_invoke_fd(ctx.get(), id, "echo", nullptr, nullptr, nullptr, 3000, 0));

  // Over the size limit: refused before anything is sent; the connection stays usable.
  BlobBuf big;
  const std::string blob(UBUS_MAX_MSGLEN + 16, 'x');
  blobmsg_add_string(&big.b, "big", blob.c_str());
  EXPECT_EQ(UBUS_STATUS_INVALID_ARGUMENT,
            ubus_invoke(ctx.get(), id, "echo", big.b.head, nullptr, nullptr, 3000));
  EXPECT_EQ(UBUS_STATUS_OK, ubus_invoke(ctx.get(), id, "echo", nullptr, nullptr, nullptr, 3000));
  EXPECT_STREQ("Not found", ubus_strerror(UBUS_STATUS_NOT_FOUND));
  EXPECT_STREQ("Unknown error", ubus_strerror(-3));
}

TEST(BusCalls, TimeOutWithoutHangingAndConnectionStaysUsable) {
  ObjectServer server("test.slow");
  ASSERT_TRUE(server.ready());
  Context ctx(ubus_connect(nullptr));
  ASSERT_TRUE(ctx);
  const uint32_t id = lookup(ctx.get(), "test.slow");
  BlobBuf b;
  blobmsg_add_u32(&b.b, "ms", 1500);
  Replies replies;
  const auto start = Clock::now();
  EXPECT_EQ(UBUS_STATUS_TIMEOUT,
            ubus_invoke_fd(ctx.get(), id, "sleep", b.b.head, collect, &replies, 200, -1));
  EXPECT_LT(elapsed_ms(start), 1200);
  EXPECT_TRUE(replies.texts.empty());
  // A negative timeout times out at once, the call sent all the same.
  BlobBuf quick;
  blobmsg_add_u32(&quick.b, "ms", 0);
  const auto at_once = Clock::now();
  EXPECT_EQ(UBUS_STATUS_TIMEOUT,
            ubus_invoke(ctx.get(), id, "sleep", quick.b.head, collect, &replies, -1));
  EXPECT_LT(elapsed_ms(at_once), 1000);
  // The late replies of the timed-out calls must not be taken for this one's.
  EXPECT_EQ(UBUS_STATUS_OK,
            ubus_invoke(ctx.get(), id, "sleep", quick.b.head, collect, &replies, 5000));
  ASSERT_EQ(1u, replies.texts.size());
  EXPECT_EQ(R"({"slept":0})", replies.texts[0]);
}

// Calls and events that arrive while a synchronous call waits are served after it returns, as
// by the router's library: at once outside an event loop, from the loop inside one.
Replies *g_queue_replies = nullptr;
int g_queue_events = 0;
size_t g_replies_at_event = 0;

TEST(BusCalls, EventsArrivingDuringASynchronousCallWaitUntilItReturns) {
  ObjectServer server("test.queue");
  ASSERT_TRUE(server.ready());
  Context ctx(ubus_connect(nullptr)), sender(ubus_connect(nullptr));
  ASSERT_TRUE(ctx && sender);
  const uint32_t id = lookup(ctx.get(), "test.queue");
  ubus_event_handler listener{};
  listener.cb = [](ubus_context *, ubus_event_handler *, const char *, blob_attr *) {
    ++g_queue_events;
    g_replies_at_event = g_queue_replies->texts.size();
  };
  ASSERT_EQ(UBUS_STATUS_OK, ubus_register_event_handler(ctx.get(), &listener, "queue.*"));
  Replies replies;
  g_queue_replies = &replies;
  BlobBuf slow;
  blobmsg_add_u32(&slow.b, "ms", 400);
  auto call_while_an_event_comes = [&](const char *event) {
    std::thread poke([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      BlobBuf empty;
      EXPECT_EQ(UBUS_STATUS_OK, ubus_send_event(sender.get(), event, empty.b.head));
    });
    EXPECT_EQ(UBUS_STATUS_OK,
              ubus_invoke(ctx.get(), id, "sleep", slow.b.head, collect, &replies, 5000));
    poke.join();
  };
  call_while_an_event_comes("queue.one");
  EXPECT_EQ(1, g_queue_events);  // outside a loop: served before the call returned
  EXPECT_EQ(1u, g_replies_at_event);  // and after its reply

  ASSERT_EQ(0, uloop_init());
  ubus_add_uloop(ctx.get());
  call_while_an_event_comes("queue.two");
  EXPECT_EQ(1, g_queue_events);  // inside a loop: not yet
  uloop_run_timeout(300);
  EXPECT_EQ(2, g_queue_events);
  EXPECT_EQ(2u, g_replies_at_event);
  ctx.reset();
  uloop_done();
}

// As with the router's daemon, nothing tells the caller that the owner died: it waits out its
// timeout.
TEST(BusCalls, CallerWaitsOutItsTimeoutWhenTheObjectOwnerIsKilledMidCall) {
  ObjectServer server("test.victim");
  ASSERT_TRUE(server.ready());
  Context ctx(ubus_connect(nullptr));
  ASSERT_TRUE(ctx);
  const uint32_t id = lookup(ctx.get(), "test.victim");
  std::thread killer([&] {
    if (server.wait_hanging(std::chrono::seconds(10))) server.kill_now();
  });
  const auto start = Clock::now();
  const int rc = ubus_invoke(ctx.get(), id, "hang", nullptr, nullptr, nullptr, 1500);
  const auto took = elapsed_ms(start);
  killer.join();
  EXPECT_EQ(UBUS_STATUS_TIMEOUT, rc);
  EXPECT_GE(took, 1400);
  EXPECT_LT(took, 10000);
  // Its object is gone with it, and the name is free again.
  uint32_t again = 0;
  EXPECT_EQ(UBUS_STATUS_NOT_FOUND, ubus_lookup_id(ctx.get(), "test.victim", &again));
  ubus_object obj{};
  obj.name = "test.victim";
  EXPECT_EQ(UBUS_STATUS_OK, ubus_add_object(ctx.get(), &obj));
}

TEST(BusObjects, NamesAreUniqueUntilRemoved) {
  Context a(ubus_connect(nullptr)), b(ubus_connect(nullptr));
  ASSERT_TRUE(a && b);
  ubus_object first{}, second{};
  first.name = second.name = "test.unique";
  ASSERT_EQ(UBUS_STATUS_OK, ubus_add_object(a.get(), &first));
  EXPECT_NE(0u, first.id);
  EXPECT_NE(UBUS_STATUS_OK, ubus_add_object(b.get(), &second));
  EXPECT_EQ(first.id, lookup(b.get(), "test.unique"));
  EXPECT_EQ(UBUS_STATUS_OK, ubus_remove_object(a.get(), &first));
  EXPECT_EQ(UBUS_STATUS_OK, ubus_add_object(b.get(), &second));
  EXPECT_EQ(UBUS_STATUS_NOT_FOUND, ubus_remove_object(a.get(), &first));
}

int g_pings = 0;

int on_ping(ubus_context *ctx, ubus_object *, ubus_request_data *req, const char *, blob_attr *) {
  ++g_pings;
  BlobBuf b;
  blobmsg_add_u8(&b.b, "pong", 1);
  return ubus_send_reply(ctx, req, b.b.head);
}

// As with the router's library, a connection's own objects are not served while it waits for a
// synchronous call: calling one of them from the same connection waits out the timeout, and the
// call is served once the wait is over, its reply too late.
TEST(BusCalls, ObjectsOfTheCallingConnectionAreServedOnlyAfterItsWait) {
  static const ubus_method methods[] = {UBUS_METHOD_NOARG("ping", on_ping)};
  static ubus_object_type type = UBUS_OBJECT_TYPE("self", methods);
  Context ctx(ubus_connect(nullptr));
  ASSERT_TRUE(ctx);
  ubus_object obj{};
  obj.name = "test.self";
  obj.type = &type;  // methods taken from the type
  ASSERT_EQ(UBUS_STATUS_OK, ubus_add_object(ctx.get(), &obj));
  Replies replies;
  EXPECT_EQ(UBUS_STATUS_TIMEOUT,
            ubus_invoke(ctx.get(), obj.id, "ping", nullptr, collect, &replies, 300));
  EXPECT_EQ(1, g_pings);
  EXPECT_TRUE(replies.texts.empty());
}

// The daemon's report path: a call whose reply handler makes a second call on a new connection.
struct NestedState {
  std::string outer_reply;
  std::string inner_reply;
  int inner_rc = -1;
};

void on_inner_reply(ubus_request *req, int, blob_attr *msg) {
  static_cast<NestedState *>(req->priv)->inner_reply = bus_test::to_json(msg);
}

void on_outer_reply(ubus_request *req, int, blob_attr *msg) {
  auto *state = static_cast<NestedState *>(req->priv);
  state->outer_reply = bus_test::to_json(msg);
  uloop_init();
  ubus_context *inner = ubus_connect(nullptr);
  if (!inner) return;
  uint32_t id = 0;
  if (ubus_lookup_id(inner, "test.agent", &id) == UBUS_STATUS_OK) {
    static blob_buf obtain_buf;
    blob_buf_init(&obtain_buf, 0);
    blobmsg_add_string(&obtain_buf, "msg", "inner");
    state->inner_rc =
        ubus_invoke_fd(inner, id, "echo", obtain_buf.head, on_inner_reply, state, 3000, -1);
    blob_buf_free(&obtain_buf);
  }
  ubus_free(inner);
  uloop_done();
}

TEST(BusCalls, NestedCallOnASecondConnectionInsideAReplyHandler) {
  ObjectServer server("test.agent");
  ASSERT_TRUE(server.ready());
  uloop_init();
  Context outer(ubus_connect(nullptr));
  ASSERT_TRUE(outer);
  const uint32_t id = lookup(outer.get(), "test.agent");
  BlobBuf b;
  blobmsg_add_string(&b.b, "msg", "outer");
  NestedState state;
  EXPECT_EQ(UBUS_STATUS_OK,
            ubus_invoke_fd(outer.get(), id, "echo", b.b.head, on_outer_reply, &state, 3000, -1));
  EXPECT_EQ(UBUS_STATUS_OK, state.inner_rc);
  EXPECT_EQ(R"({"msg":"outer","seen":true})", state.outer_reply);
  EXPECT_EQ(R"({"msg":"inner","seen":true})", state.inner_reply);
  outer.reset();
  uloop_done();
}

struct EventLog {
  ubus_event_handler handler{};
  std::vector<std::string> seen;
};

int g_events_wanted = 0;

void log_event(ubus_context *, ubus_event_handler *ev, const char *type, blob_attr *msg) {
  auto *log = reinterpret_cast<EventLog *>(ev);
  log->seen.push_back(std::string(type) + " " + bus_test::to_json(msg));
  if (--g_events_wanted == 0) uloop_end();
}

TEST(BusEvents, DeliveredToEveryMatchingListenerAndWildcards) {
  ASSERT_EQ(0, uloop_init());
  Context a(ubus_connect(nullptr)), b(ubus_connect(nullptr)), sender(ubus_connect(nullptr));
  ASSERT_TRUE(a && b && sender);
  EventLog exact, wildcard, gone;
  exact.handler.cb = wildcard.handler.cb = gone.handler.cb = log_event;
  ASSERT_EQ(UBUS_STATUS_OK, ubus_register_event_handler(a.get(), &exact.handler, "sensor.temp"));
  ASSERT_EQ(UBUS_STATUS_OK, ubus_register_event_handler(b.get(), &wildcard.handler, "sensor.*"));
  // A second matching pattern of the same handler does not double the delivery.
  ASSERT_EQ(UBUS_STATUS_OK, ubus_register_event_handler(b.get(), &wildcard.handler, "sensor.temp"));
  ASSERT_EQ(UBUS_STATUS_OK, ubus_register_event_handler(b.get(), &gone.handler, "*"));
  ASSERT_EQ(UBUS_STATUS_OK, ubus_unregister_event_handler(b.get(), &gone.handler));
  ubus_add_uloop(a.get());
  ubus_add_uloop(b.get());

  BlobBuf temp, hum;
  blobmsg_add_u32(&temp.b, "value", 21);
  blobmsg_add_string(&hum.b, "value", "high");
  EXPECT_EQ(UBUS_STATUS_OK, ubus_send_event(sender.get(), "sensor.temp", temp.b.head));
  EXPECT_EQ(UBUS_STATUS_OK, ubus_send_event(sender.get(), "sensor.hum", hum.b.head));
  EXPECT_EQ(UBUS_STATUS_OK, ubus_send_event(sender.get(), "sensorless", nullptr));
  g_events_wanted = 3;
  uloop_run_timeout(5000);
  uloop_run_timeout(100);  // anything that should not come

  EXPECT_EQ((std::vector<std::string>{R"(sensor.temp {"value":21})"}), exact.seen);
  EXPECT_EQ(
      (std::vector<std::string>{R"(sensor.temp {"value":21})", R"(sensor.hum {"value":"high"})"}),
      wildcard.seen);
  EXPECT_TRUE(gone.seen.empty());
  a.reset();
  b.reset();
  uloop_done();
}

TEST(BusLoad, HundredClientsAtOnce) {
  ObjectServer server("test.many");
  ASSERT_TRUE(server.ready());
  int go[2];
  ASSERT_EQ(0, pipe(go));
  std::vector<std::unique_ptr<bus_test::Child>> clients;
  for (int i = 0; i < 100; ++i) {
    clients.push_back(std::make_unique<bus_test::Child>([&go, i] {
      close(go[1]);
      ubus_context *ctx = ubus_connect(nullptr);  // all connected before any calls
      char byte;
      if (!ctx || read(go[0], &byte, 1) != 0) return 2;
      uint32_t id = 0;
      BlobBuf b;
      blobmsg_add_u32(&b.b, "client", static_cast<uint32_t>(i));
      Replies replies;
      int rc = ubus_lookup_id(ctx, "test.many", &id);
      if (rc == UBUS_STATUS_OK)
        rc = ubus_invoke(ctx, id, "echo", b.b.head, collect, &replies, 10000);
      ubus_free(ctx);
      const std::string want = R"({"client":)" + std::to_string(i) + R"(,"seen":true})";
      return rc == UBUS_STATUS_OK && replies.texts.size() == 1 && replies.texts[0] == want ? 0 : 1;
    }));
  }
  close(go[0]);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  close(go[1]);  // start them all together
  int ok = 0;
  for (auto &c : clients) ok += c->wait(std::chrono::seconds(25)) == 0;
  EXPECT_EQ(100, ok);
}

}  // namespace
