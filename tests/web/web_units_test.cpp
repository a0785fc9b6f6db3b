// vorn_web's pieces on their own: settings, request parameters, authentication, the page's file
// table, what is read from the shared-memory channels and uci, the history rings, and the model
// that turns successive looks at the gateway into availability, alarms, reports and histories.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

#include "api_params.h"
#include "gateway_model.h"
#include "live_values.h"
#include "login_throttle.h"
#include "page_commands.h"
#include "static_files.h"
#include "units_map_state.h"
#include "web_config.h"

namespace web {
namespace {

TEST(WebSettings, ListenAddressesAndWhenTheyMayBeServed) {
  const struct {
    const char *listen, *user, *password;
    bool parses;
    const char *problem;  // part of the problem, "" when servable
  } cases[] = {
      {"127.0.0.1:8080", "", "", true, ""},
      {"localhost:80", "", "", true, ""},
      {"127.3.4.5:1", "", "", true, ""},
      {"0.0.0.0:8080", "", "", true, "needs a user and a password"},
      {"192.168.1.1:443", "admin", "pw", true, ""},
      {"192.168.1.1:443", "admin", "", true, "both a user and a password"},
      {"127.0.0.1:8080", "", "pw", true, "both a user and a password"},
      {"127.0.0.1:8080", "a:b", "pw", true, "may not contain ':'"},
      {"127.0.0.1", "", "", false, ""},
      {"127.0.0.1:0", "", "", false, ""},
      {"127.0.0.1:65536", "", "", false, ""},
      {"127.0.0.1:80x", "", "", false, ""},
      {"example:80", "", "", false, ""},
      {"1.2.3:80", "", "", false, ""},
      {":80", "", "", false, ""},
  };
  for (const auto &c : cases) {
    WebConfig config;
    EXPECT_EQ(parse_listen(c.listen, config), c.parses) << c.listen;
    if (!c.parses) {
      EXPECT_EQ(config.host, "127.0.0.1") << c.listen << ": unchanged";
      continue;
    }
    config.user = c.user;
    config.password = c.password;
    const std::string problem = config_problem(config).value_or("");
    if (*c.problem == '\0') EXPECT_EQ(problem, "") << c.listen;
    else EXPECT_NE(problem.find(c.problem), std::string::npos) << c.listen << ": " << problem;
  }
}

TEST(WebParams, SensorIdsChannelsAndBasicAuthentication) {
  EXPECT_EQ(sensor_id_param("00124b0001a2b301"), "00124B0001A2B301");
  const char *bad_ids[] = {"", "00124B0001A2B30", "00124B0001A2B3011", "00124B0001A2B30G", "../../etc/passw", nullptr};
  for (const char *bad : bad_ids) EXPECT_FALSE(sensor_id_param(bad)) << (bad ? bad : "null");
  const struct {
    const char *text;
    int channel;  // -1: refused
  } channels[] = {{"0", 0}, {"9", 9}, {"09", 9}, {"10", -1}, {"-1", -1}, {"1x", -1}, {"", -1}, {"001", -1}, {" 1", -1}};
  for (const auto &c : channels) EXPECT_EQ(channel_param(c.text).value_or(-1), c.channel) << "'" << c.text << "'";

  EXPECT_EQ(base64_decode("YWRtaW46czNjcmV0IHBhc3M="), "admin:s3cret pass");
  EXPECT_EQ(base64_decode("YQ=="), "a");
  EXPECT_EQ(base64_decode("YWI="), "ab");
  for (const char *bad : {"YQ=", "Y===", "YQ==YQ==", "YW*i", "=YWI"}) EXPECT_FALSE(base64_decode(bad)) << bad;
  const struct {
    const char *header;
    bool matches;
  } logins[] = {
      {"Basic YWRtaW46czNjcmV0IHBhc3M=", true},
      {"Basic YWRtaW46czNjcmV0IHBhc3", false},   // cut
      {"Basic YWRtaW46czNjcmV0IHBhc3N4", false}, // one character more
      {"Basic YWRtaW46czNjcmV0IHBhc3Q=", false}, // last character differs
      {"basic YWRtaW46czNjcmV0IHBhc3M=", false},
      {"Bearer YWRtaW46czNjcmV0IHBhc3M=", false},
      {"Basic ", false},
      {nullptr, false},
  };
  for (const auto &login : logins)
    EXPECT_EQ(basic_auth_matches(login.header, "admin", "s3cret pass"), login.matches) << (login.header ? login.header : "null");
}

TEST(WebFiles, OnlyThePlainFilesOfTheFolderAreServed) {
  char folder[] = "/tmp/web_files_XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  const std::string dir = folder;
  for (const char *name : {"index.html", "app.js", ".hidden", "we ird.js"}) std::ofstream(dir + "/" + name) << name;
  ASSERT_EQ(mkdir((dir + "/sub").c_str(), 0755), 0);
  std::ofstream(dir + "/sub/page.html") << "sub";
  ASSERT_EQ(symlink("/etc/hostname", (dir + "/link.html").c_str()), 0);
  StaticFiles files;
  std::string problem;
  ASSERT_TRUE(files.load(dir, problem)) << problem;
  const struct {
    const char *path;
    const char *content;  // nullptr: not served
  } requests[] = {{"/", "index.html"}, {"/index.html", "index.html"}, {"/app.js", "app.js"}, {"/.hidden", nullptr},
                  {"/we ird.js", nullptr}, {"/sub/page.html", nullptr}, {"/sub", nullptr}, {"/link.html", nullptr},
                  {"/../index.html", nullptr}, {"//index.html", nullptr}, {"index.html", nullptr}, {"", nullptr}};
  for (const auto &r : requests) {
    const StaticFile *file = files.find(r.path);
    if (r.content == nullptr) {
      EXPECT_EQ(file, nullptr) << r.path;
    } else {
      ASSERT_NE(file, nullptr) << r.path;
      EXPECT_EQ(file->content, r.content) << r.path;
    }
  }
  EXPECT_EQ(files.find("/app.js")->content_type, "text/javascript; charset=utf-8");
  std::system(("rm -rf " + dir).c_str());
  StaticFiles none;
  EXPECT_FALSE(none.load(dir, problem));
}

TEST(WebSources, LiveReadingsChannelDescriptionsAndSensorlist) {
  const auto reading = parse_live_reading(
      R"({"ID":"00124B0001A2B301","Data":{"BaseTime":1700000000000,"Values":[{"Name":"Temperature","Values":[{"T":0,"V":21.50}]},)"
      R"({"Name":"Humidity","Values":[{"T":0,"V":"NaN"}]},{"Name":"Count","Values":[{"T":0,"V":7}]},{"Name":"None","Values":[]}]}})");
  ASSERT_TRUE(reading);
  EXPECT_EQ(reading->base_time_ms, 1700000000000.0);
  ASSERT_EQ(reading->channels.size(), 4u);
  EXPECT_EQ(reading->channels[0].name, "Temperature");
  EXPECT_EQ(reading->channels[0].value, 21.5);
  EXPECT_FALSE(reading->channels[1].value) << "NaN is a channel in error";
  EXPECT_EQ(reading->channels[2].value, 7.0);
  EXPECT_FALSE(reading->channels[3].value);
  for (const char *bad : {"", "{", "[]", R"({"Data":{}})", R"({"Data":{"Values":{}}})"}) EXPECT_FALSE(parse_live_reading(bad)) << bad;

  std::string meta(23 * 2 + 5, '\0');  // two entries and a partial third
  std::memcpy(&meta[0], "Temperature", 11);
  meta[17] = 1;
  std::memcpy(&meta[18], "\xC2\xB0" "C", 3);
  std::memset(&meta[23], 'N', 17);  // a name filling its field without a terminator
  std::memcpy(&meta[23 + 18], "ppmxx", 5);
  const auto channels = parse_channel_meta(meta);
  ASSERT_EQ(channels.size(), 2u);
  EXPECT_EQ(channels[0].name, "Temperature");
  EXPECT_EQ(channels[0].unit, "\xC2\xB0" "C");
  EXPECT_EQ(channels[0].type, 1);
  EXPECT_EQ(channels[1].name, std::string(17, 'N'));
  EXPECT_EQ(channels[1].unit, "ppmxx");

  const auto sections = parse_uci_show(
      "sensorlist.@Coprocessor[0]=Coprocessor\nsensorlist.@Coprocessor[0].ModelName='VORN-COPRO'\n"
      "sensorlist.@00124B0001A2B301[0]=00124B0001A2B301\nsensorlist.@00124B0001A2B301[0].ShortAddress='0001'\n"
      "sensorlist.@00124B0001A2B301[0].ModelName='a=b'\ngarbage\n=x\n");
  ASSERT_EQ(sections.size(), 2u);
  EXPECT_EQ(sections.at("Coprocessor").at("ModelName"), "VORN-COPRO");
  EXPECT_EQ(sections.at("00124B0001A2B301").at("ShortAddress"), "0001");
  EXPECT_EQ(sections.at("00124B0001A2B301").at("ModelName"), "a=b");
}

TEST(WebSources, TheUnitsMapTheDaemonWouldUse) {
  char folder[] = "/tmp/web_units_map_XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  const std::string map = std::string(folder) + "/map.json", factory = std::string(folder) + "/factory.json";
  const std::string good = R"([{"UID":1000,"Index":1,"IPSO":3303,"Name":"Temperature","Type":"Temperature","Unit":["°C"]}])";
  UnitsMapWatch watch(map, factory);
  // Each step changes the files (nullptr: removed, "": left as it is), then the state is read.
  const struct {
    const char *map, *factory, *state;
  } steps[] = {
      {nullptr, nullptr, "missing"},
      {nullptr, good.c_str(), "ok"},  // the daemon restores the map from the factory copy
      {nullptr, "[]", "unreadable"},
      {good.c_str(), "", "ok"},
      {"{", "", "unreadable"},  // there, so not restored: the daemon names no channel
      {R"([{"UID":1000,"Index":1,"IPSO":3303,"Name":"Temperature","Type":"Temperature"}])", "", "unreadable"},
      {R"({"Index":1})", "", "unreadable"},
      {good.c_str(), nullptr, "ok"},  // read again once changed
      {nullptr, nullptr, "missing"},
  };
  for (const auto &step : steps) {
    for (auto [path, content] : {std::pair{&map, step.map}, std::pair{&factory, step.factory}}) {
      if (content == nullptr) std::remove(path->c_str());
      else if (*content != '\0') std::ofstream(*path, std::ios::trunc) << content;
    }
    EXPECT_EQ(watch.state(), step.state) << (step.map ? step.map : "no map") << " / " << (step.factory ? step.factory : "no factory copy");
  }
  ASSERT_EQ(mkdir(map.c_str(), 0755), 0);
  EXPECT_EQ(watch.state(), "unreadable") << "a folder in its place";
  std::system((std::string("rm -rf ") + folder).c_str());
}

TEST(WebHistory, KeepsTheLastDayOrTwoThousandPoints) {
  HistoryRing ring;
  const std::uint32_t now = 1800000000, hour = 3600;
  for (std::uint32_t i = 0; i < 2500; ++i) ring.add({now - 2500 + i, float(i)}, now);  // one a second
  EXPECT_EQ(ring.points().size(), HistoryRing::kMaxPoints);
  EXPECT_EQ(ring.points().front().value, 500) << "the oldest go first";
  HistoryRing daily;
  for (std::uint32_t i = 0; i < 30; ++i) daily.add({now + i * hour, float(i)}, now + i * hour);  // one an hour
  EXPECT_EQ(daily.points().size(), 25u) << "24 h back from the newest, both ends included";
  daily.expire(now + 100 * hour);
  EXPECT_TRUE(daily.points().empty());
}

SensorView sensor(const char *id, int interval, std::vector<std::optional<double>> values, const std::string &reading,
                  std::vector<bool> alarms = {}) {
  SensorView view;
  view.id = id;
  view.short_address = "0001";
  view.interval = interval;
  view.in_device_list = true;
  view.reading = reading;
  view.reading_time_ms = 0;  // far from now: the time the reading was seen is used
  view.report_state = "none";
  for (std::size_t i = 0; i < values.size(); ++i)
    view.channels.push_back(ChannelView{"c" + std::to_string(i), "u", values[i], i < alarms.size() && alarms[i]});
  return view;
}

GatewayReading look(std::vector<SensorView> sensors, const char *status = "{}") {
  GatewayReading reading;
  reading.status = parse_json(status);
  reading.sensors = std::move(sensors);
  return reading;
}

std::string types(const std::vector<Event> &events, bool logged_only = true) {
  std::string out;
  for (const Event &e : events)
    if (e.logged || !logged_only) out += e.type + (e.data.find("offline") != std::string::npos ? "-off " : " ");
  return out;
}

TEST(WebModel, AvailabilityAlarmsReportsAndHistoryFromSuccessiveLooks) {
  GatewayModel model;
  const char *id = "00124B0001A2B301";
  const double t0 = 1.8e12;
  std::uint64_t cursor = 0;
  EXPECT_FALSE(model.wait_first_update(std::chrono::milliseconds(10))) << "nothing to serve before the first look";
  model.update(look({sensor(id, 10, {20.5, 40}, "r1")}, R"({"reports":{"made":5,"failed":0}})"), t0);
  EXPECT_TRUE(model.wait_first_update(std::chrono::milliseconds(0)));
  EXPECT_EQ(types(model.wait_events(cursor, std::chrono::milliseconds(0))), "") << "what the first look finds is no news";
  model.update(look({sensor(id, 10, {20.5, 40}, "r1")}, R"({"reports":{"made":7,"failed":1}})"), t0 + 1000);
  EXPECT_EQ(types(model.wait_events(cursor, std::chrono::milliseconds(0))), "report ");
  // New readings add points; the same reading seen again does not; a channel in error adds none.
  model.update(look({sensor(id, 10, {21.0, std::nullopt}, "r2", {false, true})}), t0 + 5000);
  model.update(look({sensor(id, 10, {21.0, std::nullopt}, "r2", {false, true})}), t0 + 6000);
  auto events = model.wait_events(cursor, std::chrono::milliseconds(0));
  EXPECT_EQ(types(events), "alarm ");
  EXPECT_NE(events.front().data.find(R"("channel":1,"name":"c1","state":"raised")"), std::string::npos) << events.front().data;
  EXPECT_EQ(types(events, false), "alarm sensor status ") << "one sensor update for one new reading";
  const HttpAnswer history = model.history(id, 0);
  EXPECT_EQ(history.code, 200);
  EXPECT_NE(history.body.find(R"("points":[[1800000000000,20.5],[1800000005000,21]])"), std::string::npos) << history.body;
  EXPECT_NE(model.history(id, 1).body.find(R"("points":[[1800000000000,40]])"), std::string::npos);
  EXPECT_EQ(model.history(id, 2).code, 400);
  EXPECT_EQ(model.history("00124B0001A2B3FF", 0).code, 404);
  const std::string sensors = *model.sensors_text();
  EXPECT_NE(sensors.find(R"("value":"NaN","error":true)"), std::string::npos) << sensors;
  EXPECT_NE(sensors.find(R"("availability":"online","low_battery":false,"weak_signal":false,"alarm":true)"), std::string::npos) << sensors;

  // Without the daemon's word: offline once three intervals pass without a new reading, online
  // again with the next one; the alarm clears; a sensor gone from the gateway is reported.
  model.update(look({sensor(id, 10, {21.0, std::nullopt}, "r2", {false, true})}), t0 + 5000 + 31000);
  EXPECT_EQ(types(model.wait_events(cursor, std::chrono::milliseconds(0))), "");
  model.update(look({sensor(id, 10, {21.0, std::nullopt}, "r2", {false, true})}), t0 + 5000 + 33000);
  EXPECT_EQ(types(model.wait_events(cursor, std::chrono::milliseconds(0))), "availability-off ");
  model.update(look({sensor(id, 10, {22.0, 41}, "r3")}), t0 + 40000);
  EXPECT_EQ(types(model.wait_events(cursor, std::chrono::milliseconds(0))), "availability alarm ");
  SensorView told = sensor(id, 10, {22.0, 41}, "r3");
  told.availability = "offline";  // the daemon's word wins
  model.update(look({told}), t0 + 41000);
  EXPECT_EQ(types(model.wait_events(cursor, std::chrono::milliseconds(0))), "availability-off ");
  SensorView other = sensor("00124B0001A2B302", 10, {1.0}, "x");
  other.in_device_list = false;  // in sensorlist only
  model.update(look({other}), t0 + 42000);
  EXPECT_EQ(types(model.wait_events(cursor, std::chrono::milliseconds(0))), "joined availability-off left ");
  EXPECT_EQ(model.history(id, 0).code, 404) << "a sensor gone takes its history with it";

  std::uint64_t newest = 0;
  const auto recent = model.recent_events(newest);
  EXPECT_EQ(newest, cursor);
  EXPECT_EQ(types(recent), "report alarm availability-off availability alarm availability-off joined availability-off left ");
  for (const Event &e : recent) EXPECT_EQ(e.data.rfind("{\"time\":", 0), 0u) << e.data;
  for (int i = 0; i < 150; ++i)
    model.update(look({sensor(id, 10, {1.0}, "r" + std::to_string(i))}, ("{\"reports\":{\"made\":" + std::to_string(i) + "}}").c_str()),
                 t0 + 50000 + i * 1000);
  EXPECT_EQ(model.recent_events(newest).size(), GatewayModel::kLoggedEvents);
  model.stop();
  EXPECT_TRUE(model.wait_events(cursor, std::chrono::seconds(5)).empty()) << "a stopped model ends every stream at once";
}

TEST(WebModel, LoggedRecordsAndChannelsInError) {
  GatewayModel model;
  const char *id = "00124B0001A2B302";
  const double now = 1.8e12;
  // A logging sensor: no live reading, its records at their own times, out of order, one twice,
  // one a day off (left out), the newest of channel 1 in error.
  SensorView logging = sensor(id, 120, {std::nullopt, std::nullopt}, "");
  logging.logged = "records 1";
  LiveReading records;
  records.base_time_ms = now - 600000;
  records.channels = {LiveChannel{"Pressure", 251.0, {{240, 250.0}, {0, 248.0}, {120, 249.0}, {120, 249.0}, {-90000, 1.0}}},
                      LiveChannel{"Temp", std::nullopt, {{0, 60.0}, {240, std::nullopt}}}};
  logging.logged_reading = records;
  model.update(look({logging}), now);
  EXPECT_NE(model.history(id, 0).body.find(R"("points":[[1799999400000,248],[1799999520000,249],[1799999640000,250]])"),
            std::string::npos) << model.history(id, 0).body;
  std::string rows = *model.sensors_text();
  EXPECT_NE(rows.find(R"("value":250,"error":false,"time":1799999640,"logged":true)"), std::string::npos) << rows;
  EXPECT_NE(rows.find(R"("value":"NaN","error":true,"time":1799999640,"logged":true)"), std::string::npos) << rows;
  // Older records published again add nothing.
  logging.logged = "records 2";
  model.update(look({logging}), now + 1000);
  EXPECT_NE(model.history(id, 0).body.find(R"("points":[[1799999400000,248],[1799999520000,249],[1799999640000,250]])"),
            std::string::npos) << model.history(id, 0).body;

  // A sensor whose only channel fails keeps publishing its last good value: the DeviceList's
  // flag makes it an error; weak signal and low battery are marked.
  SensorView single = sensor("00124B0001A2B30B", 60, {20.41}, "r1", {true});
  single.battery = 2.2;
  single.rssi = -95;
  model.update(look({single}), now + 2000);
  rows = *model.sensors_text();
  EXPECT_NE(rows.find(R"("low_battery":true,"weak_signal":true,"alarm":true,"channels":[{"name":"c0","unit":"u","value":"NaN","error":true)"),
            std::string::npos) << rows;
}

TEST(WebGuards, HostNamesLoginThrottleAndCommands) {
  WebConfig config;
  config.names = {"gateway.lan"};
  const struct {
    const char *host;
    bool allowed;
  } hosts[] = {{"127.0.0.1", true}, {"192.168.1.1:8080", true}, {"[::1]:8080", true}, {"[fe80::1]", true},
               {"localhost:80", true}, {"gateway.lan", true}, {"GATEWAY.LAN.:443", true},
               {"attacker.example", false}, {"gateway.lan.attacker.example", false}, {"127.0.0.1:0", false},
               {"127.0.0.1:x", false}, {"[::1", false}, {"[::1]x", false}, {"", false}, {nullptr, false}};
  for (const auto &h : hosts) EXPECT_EQ(host_allowed(h.host, config), h.allowed) << (h.host ? h.host : "null");

  LoginThrottle throttle;
  const auto t0 = LoginThrottle::Clock::now();
  using std::chrono::seconds;
  for (int i = 0; i < LoginThrottle::kFreeFailures; ++i) {
    EXPECT_EQ(throttle.wait("10.0.0.1", t0).count(), 0) << "free try " << i;
    throttle.failed("10.0.0.1", t0);
  }
  EXPECT_EQ(throttle.wait("10.0.0.1", t0).count(), 0);
  throttle.failed("10.0.0.1", t0);
  EXPECT_EQ(throttle.wait("10.0.0.1", t0).count(), 1);
  EXPECT_EQ(throttle.wait("10.0.0.2", t0).count(), 0) << "per client";
  throttle.failed("10.0.0.1", t0 + seconds(1));
  EXPECT_EQ(throttle.wait("10.0.0.1", t0 + seconds(1)).count(), 2) << "longer with each failure";
  for (int i = 0; i < 20; ++i) throttle.failed("10.0.0.1", t0 + seconds(2));
  EXPECT_EQ(throttle.wait("10.0.0.1", t0 + seconds(2)), LoginThrottle::kMaxWait);
  throttle.succeeded("10.0.0.1");
  EXPECT_EQ(throttle.wait("10.0.0.1", t0 + seconds(2)).count(), 0);

  const struct {
    const char *body;
    const char *event;  // "" refused
  } commands[] = {
      {R"({"command":"set_interval","id":"00124b0001a2b301","interval":300})", R"({"SetEventTimer":"00124B0001A2B301","TimeBase":"300"})"},
      {R"({"command":"remove","id":"00124B0001A2B301"})", R"({"RemoveDev":"00124B0001A2B301"})"},
      {R"({"command":"permit_join","enable":false})", R"({"JoinNetwork_Enable":0})"},
      {R"({"command":"set_interval","id":"00124B0001A2B301","interval":2147483648})", ""},
      {R"({"command":"set_interval","id":"00124B0001A2B301","interval":1.5})", ""},
      {R"({"command":"remove","id":"00124B0001A2B301; reboot"})", ""},
      {R"({"command":"permit_join","enable":1})", ""},
      {R"(["remove"])", ""},
  };
  for (const auto &c : commands) {
    std::string reason;
    const auto command = parse_page_command(c.body, reason);
    EXPECT_EQ(command ? command_event(*command) : "", c.event) << c.body << ": " << reason;
  }
}

}  // namespace
}  // namespace web
