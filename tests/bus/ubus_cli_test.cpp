// The ubus command as the daemon and people use it (runs in the router sandbox).
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include <gtest/gtest.h>

extern "C" {
#include <libubox/blobmsg_json.h>
}
#include <libubus.h>

#include "support/bus_test_support.h"

namespace {

using bus_test::CommandResult;
using bus_test::Context;
using bus_test::run_command;

const std::string kUbus = "/usr/bin/ubus";

struct Received {
  ubus_event_handler handler{};
  std::string text;
};

void remember(ubus_context *, ubus_event_handler *ev, const char *, blob_attr *msg) {
  // What the daemon's command handler does with the event message.
  char *text = blobmsg_format_json_with_cb(msg, true, nullptr, nullptr, -1);
  reinterpret_cast<Received *>(ev)->text = text ? text : "<unformattable>";
  free(text);
  uloop_end();
}

// Runs `ubus send EVENT JSON` while a listener waits for the event; returns the formatted text.
std::string send_and_receive(const char *event, const std::string &json, CommandResult &result) {
  uloop_init();
  Context ctx(ubus_connect(nullptr));
  Received got;
  got.handler.cb = remember;
  if (!ctx || ubus_register_event_handler(ctx.get(), &got.handler, event) != UBUS_STATUS_OK)
    return "<no listener>";
  ubus_add_uloop(ctx.get());
  std::thread sender([&] { result = run_command({kUbus, "send", event, json}); });
  uloop_run_timeout(10000);
  sender.join();
  ctx.reset();
  uloop_done();
  return got.text;
}

TEST(UbusCommand, SendOfTheCloudCommandReachesTheHandlerUnchanged) {
  CommandResult result;
  const std::string text = send_and_receive("vorn_mgr", R"({"GetDevList":null})", result);
  EXPECT_EQ(0, result.status) << result.err;
  EXPECT_TRUE(bus_test::json_same(R"({"GetDevList":null})", text)) << text;
  bus_test::Json doc = bus_test::parse_json(text);
  ASSERT_TRUE(doc);
  json_object *value = nullptr;
  EXPECT_TRUE(json_object_object_get_ex(doc.get(), "GetDevList", &value));
  EXPECT_EQ(nullptr, value);
}

TEST(UbusCommand, SendAcceptsSingleQuotedJsonAsTheDaemonWritesIt) {
  CommandResult result;
  const std::string text = send_and_receive("controld", "{'action':4}", result);
  EXPECT_EQ(0, result.status) << result.err;
  EXPECT_EQ(R"({"action":4})", text);
}

TEST(UbusCommand, CallListAndFailures) {
  bus_test::ObjectServer server("cli.echo");
  ASSERT_TRUE(server.ready());

  CommandResult call = run_command({kUbus, "call", "cli.echo", "echo", R"({"a":1,"b":"two"})"});
  EXPECT_EQ(0, call.status) << call.err;
  EXPECT_TRUE(bus_test::json_same(R"({"a":1,"b":"two","seen":true})", call.out)) << call.out;

  // Exit statuses and messages as the router's tool gives them (standard error is no terminal).
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string err;  // its start
  };
  const Case cases[] = {
      {{"call", "cli.missing", "echo"}, 4, "Command failed: Not found\n"},
      {{"-S", "call", "cli.missing", "echo"}, 4, ""},
      {{"call", "cli.echo", "nope"}, 253, "Command failed: ubus call cli.echo nope (Method not found)\n"},
      {{"-S", "call", "cli.echo", "nope"}, 3, ""},
      {{"call", "cli.echo", "echo", "{oops"}, 244,
       "Command failed: ubus call cli.echo echo {oops (Parsing message data failed)\n"},
      {{"-t", "1", "call", "cli.echo", "sleep", R"({"ms":3000})"}, 249,
       "Command failed: ubus call cli.echo sleep {\"ms\":3000} (Request timed out)\n"},
      {{"send", "x", "{oops"}, 12, "Command failed: Parsing message data failed\n"},
      {{"list", "cli.missing"}, 4, "Command failed: Not found\n"},
      {{"-t", "1", "wait_for", "cli.never"}, 7, "Command failed: Request timed out\n"},
      {{"call", "cli.echo"}, 254, "Usage: "},
      {{"frobnicate"}, 254, "Usage: "},
      {{}, 1, "Usage: "},
      {{"-x", "list"}, 1, std::string(kUbus) + ": invalid option -- 'x'\nUsage: "},
      {{"-s", "/tmp/no-such.sock", "send", "x"}, 255, "Failed to connect to ubus\n"},
      {{"-s", "/tmp/no-such.sock", "frobnicate"}, 255, "Failed to connect to ubus\n"},
      {{"-S", "-s", "/tmp/no-such.sock", "list"}, 255, ""},
  };
  for (const Case &c : cases) {
    std::vector<std::string> argv{kUbus};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    CommandResult ran = run_command(argv);
    const std::string shown = c.args.empty() ? "" : c.args.back();
    EXPECT_EQ(c.status, ran.status) << shown << ": " << ran.err;
    if (c.err.empty()) {
      EXPECT_EQ("", ran.err) << shown;
    } else {
      EXPECT_EQ(c.err, ran.err.substr(0, c.err.size())) << shown;
    }
  }

  CommandResult list = run_command({kUbus, "list"});
  EXPECT_EQ(0, list.status);
  EXPECT_NE(std::string::npos, list.out.find("cli.echo\n"));
  CommandResult verbose = run_command({kUbus, "list", "-v", "cli.echo"});
  EXPECT_EQ(0, verbose.status);
  EXPECT_EQ(0u, verbose.out.find("'cli.echo' @"));
  EXPECT_NE(std::string::npos, verbose.out.find("\t\"sleep\":{\"ms\":\"Integer\"}\n"));

}

TEST(UbusCommand, ListenPrintsOneLinePerEvent) {
  bus_test::Spawned listen({kUbus, "-t", "10", "listen", "cli.*"});
  Context ctx(ubus_connect(nullptr));
  ASSERT_TRUE(ctx);
  // Until the listener is registered, events go nowhere: repeat a marker until it shows.
  bool ready = false;
  for (int i = 0; i < 100 && !ready; ++i) {
    ubus_send_event(ctx.get(), "cli.sync", nullptr);
    ready =
        listen.poll_output(std::chrono::milliseconds(100)).find("cli.sync") != std::string::npos;
  }
  ASSERT_TRUE(ready);
  bus_test::BlobBuf b;
  blobmsg_add_string(&b.b, "line", "one\ntwo");
  ubus_send_event(ctx.get(), "cli.data", b.b.head);
  ubus_send_event(ctx.get(), "other", b.b.head);
  std::string out;
  for (int i = 0; i < 50 && out.find("cli.data") == std::string::npos; ++i)
    out = listen.poll_output(std::chrono::milliseconds(100));
  const size_t at = out.find("{ \"cli.data\": ");
  ASSERT_NE(std::string::npos, at) << out;
  const std::string line = out.substr(at, out.find('\n', at) - at);
  EXPECT_EQ(R"({ "cli.data": {"line":"one\ntwo"} })", line);
  EXPECT_EQ(std::string::npos, out.find("other"));
}

TEST(UbusCommand, WaitForReturnsOnceTheObjectAppears) {
  bus_test::Spawned waiting({kUbus, "-t", "10", "wait_for", "cli.late"});
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  Context ctx(ubus_connect(nullptr));
  ASSERT_TRUE(ctx);
  ubus_object obj{};
  obj.name = "cli.late";
  ASSERT_EQ(UBUS_STATUS_OK, ubus_add_object(ctx.get(), &obj));
  EXPECT_EQ(0, waiting.wait(std::chrono::seconds(8)));

}

}  // namespace
