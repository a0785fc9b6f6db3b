// The page in a real browser: the demo network, vorn_web and headless chromium in a router
// sandbox. The rendered page (the DOM after its scripts ran, read through the DevTools protocol)
// must show one row per simulated sensor, an alarm badge on the sensor whose channel the
// collector fails, that sensor's plot with at least the points it sent, and the availability
// change after `silence` pushed while the page is open; in a phone-sized window too; and say so
// when the daemon or the bus stops answering. With 100 sensors and more pages open than vorn_web
// serves streams to, a page waits for a free stream and goes live by itself. Screenshots go to
// the build folder.
#include <atomic>
#include <cstring>
#include <set>
#include <thread>

#include "devtools_pipe.h"
#include "gateway_run.h"
#include "http_request.h"
#include "common/json_doc.h"
#include "live_values.h"
#include "web_stop.h"

namespace {

using sim::test::bus_call;
using sim::test::eventually;
using sim::test::file_text;

constexpr int kPort = 8080;
constexpr const char *kFailing = "00124B0001A2B301";   // channel 1 (Humidity) made to fail
constexpr const char *kSilenced = "00124B0001A2B303";
constexpr const char *kLogging = "00124B0001A2B302";    // buffers its readings: reported as logs
constexpr const char *kRestarted = "00124B0001A2B306";  // falls silent while vorn_web is away

// The readings a sensor published on its live channel, counted by a thread of their own: those
// whose channel 0 holds a value, each once.
class ReadingCounter {
 public:
  explicit ReadingCounter(std::string id) : id_(std::move(id)), thread_([this] { run(); }) {}
  ~ReadingCounter() {
    stop_ = true;
    thread_.join();
  }
  std::size_t count() const { return count_; }

 private:
  void run() {
    std::set<std::string> seen;
    while (!stop_) {
      const std::string body = web::read_channel(id_);
      const auto reading = web::parse_live_reading(body);
      if (reading && !reading->channels.empty() && reading->channels[0].value && seen.insert(body).second) ++count_;
      usleep(200000);
    }
  }
  std::string id_;
  std::atomic<bool> stop_{false};
  std::atomic<std::size_t> count_{0};
  std::thread thread_;
};

class WebPage : public sim::test::GatewayRun {
 protected:
  void TearDown() override {
    web::test::stop_web(web_, "/tmp/vorn_web.out");
    GatewayRun::TearDown();
  }
  // Stops the bus daemon, and starts it again for what follows.
  void stop_bus() { ASSERT_EQ(std::system("killall -q ubusd"), 0); }
  void restart_bus() {
    bus_ = sim::start_program({"/usr/sbin/ubusd"}, "/tmp/ubusd.restarted.log");
    ASSERT_TRUE(eventually([] { return std::system("ubus list >/dev/null 2>&1") == 0; }, 10));
    sim::test::stop_program(agent_);  // it ended with its bus
  }
  pid_t web_ = -1, bus_ = -1;
};

// The sensors' availability and alarm flags as /api/sensors gives them.
agents::Json api_sensors() { return agents::parse_json(web::test::body_of(web::test::http_get(kPort, "/api/sensors"))); }

json_object *api_sensor(json_object *document, const std::string &id) {
  json_object *list = agents::member(document, "sensors");
  for (std::size_t i = 0; list != nullptr && i < json_object_array_length(list); ++i)
    if (agents::string_member(json_object_array_get_idx(list, i), "id") == id) return json_object_array_get_idx(list, i);
  return nullptr;
}

// What the checks read from the page, as one JSON object.
constexpr const char *kPageFacts = R"JS((() => {
  const rows = [...document.querySelectorAll('#sensors tbody tr')];
  const row = (id) => document.querySelector('#sensors tr[data-id="' + id + '"]');
  const plot = document.querySelector('#detail .channel[data-channel="0"] svg.plot');
  const lines = plot ? [...plot.querySelectorAll('polyline')] : [];
  const cell = (id, n) => row(id)?.cells[n]?.textContent || '';
  const pushed = [...document.querySelectorAll('#events li[data-type="availability"][data-live="1"]')];
  return {
    loaded: document.body.dataset.loaded === '1',
    live: document.getElementById('live').textContent,
    rows: rows.map((r) => r.dataset.id),
    alarms: rows.filter((r) => r.querySelector('.badge.alarm')).map((r) => r.dataset.id),
    alarmText: (row('FAILING')?.querySelector('.badge.alarm') || {}).textContent || '',
    detail: document.getElementById('detail').dataset.id || '',
    plotPoints: plot ? Number(plot.dataset.points) : -1,
    linePoints: lines.reduce((n, l) => n + l.getAttribute('points').trim().split(/\s+/).length, 0),
    failingValues: cell('FAILING', 4),
    failingDetail: document.querySelector('#detail .channel[data-channel="1"] .value')?.textContent || '',
    timeLabels: plot ? plot.querySelectorAll('text.time').length : 0,
    loggedValues: cell('LOGGING', 4),
    loggedName: cell('LOGGING', 1),
    loggedNote: document.querySelector('#detail[data-id="LOGGING"] .channel[data-channel="0"] .note')?.textContent || '',
    loggedPlot: Number(document.querySelector('#detail[data-id="LOGGING"] .channel[data-channel="0"] svg.plot')?.dataset.points || -1),
    restartedState: row('RESTARTED')?.dataset.availability || '',
    daemon: document.getElementById('daemon').textContent,
    fault: document.getElementById('fault').hidden ? '' : document.getElementById('fault').textContent,
    detailTop: Math.round(document.getElementById('detail').getBoundingClientRect().top),
    titleBottom: Math.round(document.getElementById('detail-title').getBoundingClientRect().bottom),
    viewHeight: innerHeight,
    // How far the alarm badge reaches past the table's visible box (clipped when above 0).
    alarmRight: Math.round((row('FAILING')?.querySelector('.badge.alarm')?.getBoundingClientRect().right || 99999) -
                           document.querySelector('#sensors-section .scroll').getBoundingClientRect().right),
    silencedState: row('SILENCED')?.dataset.availability || '',
    silencedBadge: (row('SILENCED')?.querySelector('.badge.availability') || {}).textContent || '',
    plainlyOnline: rows.filter((r) => r.querySelector('.badge.availability')?.textContent === 'online').length,
    pushedOffline: pushed.filter((e) => e.dataset.id === 'SILENCED' && e.dataset.availability === 'offline').length,
    header: document.getElementById('gateway-id').textContent + '|' + document.getElementById('collector').textContent +
            '|' + document.getElementById('sensor-count').textContent,
    pageWidth: document.documentElement.scrollWidth,
  };
})())JS";

std::string page_facts_script() {
  std::string script = kPageFacts;
  for (auto [name, id] : {std::pair{"FAILING", kFailing}, std::pair{"SILENCED", kSilenced}, std::pair{"LOGGING", kLogging},
                          std::pair{"RESTARTED", kRestarted}})
    for (std::size_t at; (at = script.find(name)) != std::string::npos;) script.replace(at, std::strlen(name), id);
  return script;
}

TEST_F(WebPage, ShowsEverySensorTheAlarmThePlotAndTheAvailabilityPushedWhileOpen) {
  start_gateway("{}");  // the demo's network
  ReadingCounter readings(kFailing);
  web_ = sim::start_program({"/usr/sbin/vorn_web"}, "/tmp/vorn_web.out");

  // Every sensor of the network reports and is online; then a channel of one fails.
  std::set<std::string> network;
  const sim::Json list = bus_call("collector_sim", "list");
  json_object *sensors = sim::member(list.get(), "Sensors");
  for (std::size_t i = 0; sensors != nullptr && i < json_object_array_length(sensors); ++i)
    network.insert(sim::string_member(json_object_array_get_idx(sensors, i), "ID"));
  ASSERT_GE(network.size(), 5u);
  ASSERT_TRUE(eventually([&] {
    const agents::Json document = api_sensors();
    for (const std::string &id : network)
      if (agents::string_member(api_sensor(document.get(), id), "availability") != "online") return false;
    return true;
  }, 120)) << file_text("/tmp/vorn_web.out");
  ASSERT_TRUE(bus_call("collector_sim", "fail", std::string(R"({"ID":")") + kFailing + R"(","Channel":1,"Code":1})"));
  ASSERT_TRUE(eventually([] {
    const agents::Json document = api_sensors();
    return json_object_get_boolean(agents::member(api_sensor(document.get(), kFailing), "alarm"));
  }, 60));
  ASSERT_TRUE(eventually([&] { return readings.count() >= 5; }, 120));

  const std::string build = getenv("VORN_BUILD_DIR") ? getenv("VORN_BUILD_DIR") : "/tmp";
  web::test::Browser browser(std::string("http://127.0.0.1:") + std::to_string(kPort) + "/#sensor=" + kFailing, 1280,
                             900, "/tmp/chromium-profile", "/tmp/chromium.out");
  ASSERT_TRUE(browser.attach()) << "chromium did not start (make test installs it):\n" << file_text("/tmp/chromium.out");
  agents::Json facts;
  auto read_facts = [&] { facts = agents::parse_json(browser.evaluate(page_facts_script())); return facts != nullptr; };
  ASSERT_TRUE(eventually([&] {
    return read_facts() && json_object_get_boolean(agents::member(facts.get(), "loaded")) &&
           agents::string_member(facts.get(), "live") == "live" && agents::int_member(facts.get(), "plotPoints", -1) > 0;
  }, 60)) << agents::json_text(facts.get());
  EXPECT_EQ(agents::string_member(facts.get(), "silencedState"), "online");

  // The page is open: a sensor falls silent, and the page learns it from the stream alone.
  ASSERT_TRUE(bus_call("collector_sim", "silence", std::string(R"({"ID":")") + kSilenced + "\"}"));
  EXPECT_TRUE(eventually([&] { return read_facts() && agents::int_member(facts.get(), "pushedOffline") >= 1; }, 120))
      << agents::json_text(facts.get());
  const std::size_t sent = readings.count();
  read_facts();
  std::set<std::string> rows;
  json_object *row_ids = agents::member(facts.get(), "rows");
  for (std::size_t i = 0; row_ids != nullptr && i < json_object_array_length(row_ids); ++i)
    rows.insert(json_object_get_string(json_object_array_get_idx(row_ids, i)));
  EXPECT_EQ(rows, network) << "one row per simulated sensor";
  const std::string alarms = agents::json_text(agents::member(facts.get(), "alarms"));
  EXPECT_NE(alarms.find(kFailing), std::string::npos) << alarms;
  EXPECT_NE(agents::string_member(facts.get(), "alarmText").find("Humidity"), std::string::npos);
  EXPECT_EQ(agents::string_member(facts.get(), "detail"), kFailing);
  // The plot is redrawn with each reading: it may lack only the one that came after its last draw.
  EXPECT_GE(agents::int_member(facts.get(), "plotPoints") + 1, static_cast<long long>(sent));
  EXPECT_EQ(agents::int_member(facts.get(), "linePoints"), agents::int_member(facts.get(), "plotPoints"));
  EXPECT_EQ(agents::string_member(facts.get(), "silencedState"), "offline");
  EXPECT_EQ(agents::string_member(facts.get(), "silencedBadge"), "offline");
  const std::string header = agents::string_member(facts.get(), "header");
  EXPECT_EQ(header, sim::test::shell("uci -q get gateway.main.register_name").substr(0, 16) + "|running|" +
                        std::to_string(network.size()) + "/100");
  // A channel in error shows "error", in the row and in the detail; plots carry a time axis.
  EXPECT_NE(agents::string_member(facts.get(), "failingValues").find("error"), std::string::npos) << agents::json_text(facts.get());
  EXPECT_EQ(agents::string_member(facts.get(), "failingDetail"), "error");
  EXPECT_EQ(agents::int_member(facts.get(), "timeLabels"), 3);
  EXPECT_TRUE(browser.screenshot(build + "/web_page.png"));

  // A logging sensor: its stored name, its logged values in the row, marked as logged in the
  // detail, with a plot of the records at their own times.
  ASSERT_TRUE(eventually([] {
    const agents::Json document = api_sensors();
    json_object *channels = agents::member(api_sensor(document.get(), kLogging), "channels");
    return channels != nullptr && json_object_array_length(channels) > 0 &&
           json_object_get_boolean(agents::member(json_object_array_get_idx(channels, 0), "logged"));
  }, 240)) << "the logging sensor's records never reached vorn_web";
  // A click on its row opens its detail in view, at an address of its own; back returns to the
  // sensor shown before, forward to this one again.
  browser.evaluate(std::string("document.querySelector('#sensors tr[data-id=\"") + kLogging + "\"]').click()");
  EXPECT_TRUE(eventually([&] { return read_facts() && agents::int_member(facts.get(), "loggedPlot", -1) > 0; }, 30))
      << agents::json_text(facts.get());
  EXPECT_GE(agents::int_member(facts.get(), "detailTop"), 0);
  EXPECT_LT(agents::int_member(facts.get(), "detailTop"), 900) << "the detail is in view";
  EXPECT_EQ(browser.evaluate(std::string("location.hash === '#/sensor/") + kLogging + "'"), "true");
  browser.evaluate("history.back()");
  EXPECT_TRUE(eventually([&] { return read_facts() && agents::string_member(facts.get(), "detail") == kFailing; }, 10));
  browser.evaluate("history.forward()");
  EXPECT_TRUE(eventually([&] { return read_facts() && agents::string_member(facts.get(), "detail") == kLogging; }, 10));
  EXPECT_EQ(agents::string_member(facts.get(), "loggedName"), "Boiler");
  EXPECT_NE(agents::string_member(facts.get(), "loggedValues").find("kPa"), std::string::npos) << agents::json_text(facts.get());
  // Marked "logged" while the records are its newest values (this sensor also sends live frames).
  EXPECT_NE(agents::string_member(facts.get(), "loggedNote").find("measured"), std::string::npos) << agents::json_text(facts.get());

  // vorn_web goes away; meanwhile a sensor goes offline. The page reconnects to the new vorn_web
  // and shows the change, not what it had.
  EXPECT_EQ(agents::string_member(facts.get(), "restartedState"), "online");
  web::test::stop_web(web_, "/tmp/vorn_web.out");
  ASSERT_TRUE(bus_call("collector_sim", "silence", std::string(R"({"ID":")") + kRestarted + "\"}"));
  ASSERT_TRUE(eventually([] {
    const agents::Json list = bus_call("vorn_mgr", "sensors");
    const std::string text = agents::json_text(list.get());
    const std::size_t at = text.find(kRestarted);
    return at != std::string::npos && text.find("\"offline\"", at) < text.find('}', at);
  }, 240)) << "the daemon never took the sensor for offline";
  web_ = sim::start_program({"/usr/sbin/vorn_web"}, "/tmp/vorn_web.out");
  EXPECT_TRUE(eventually([&] {
    return read_facts() && agents::string_member(facts.get(), "restartedState") == "offline" &&
           agents::string_member(facts.get(), "live") == "live";
  }, 60)) << agents::json_text(facts.get());

  // Phone-sized: the same rows, and the page itself does not scroll sideways.
  ASSERT_TRUE(browser.resize(390, 844, true));
  ASSERT_TRUE(eventually([&] { return read_facts() && agents::int_member(facts.get(), "pageWidth") <= 390; }, 20))
      << agents::json_text(facts.get());
  EXPECT_EQ(json_object_array_length(agents::member(facts.get(), "rows")), network.size());
  EXPECT_LE(agents::int_member(facts.get(), "alarmRight"), 0) << "the alarm text whole on a phone's screen";
  EXPECT_TRUE(browser.screenshot(build + "/web_page_phone.png"));

  // The bus goes away while the daemon runs on: the header says so, the badge is no longer
  // plainly "live", and no sensor plainly "online" (whether one is, is vorn_web's guess from its
  // readings now). Once the bus is back, so is the daemon's word.
  stop_bus();
  EXPECT_TRUE(eventually([&] {
    return read_facts() && agents::string_member(facts.get(), "daemon") == "bus not answering" &&
           agents::string_member(facts.get(), "fault").find("bus is not answering") != std::string::npos;
  }, 60)) << agents::json_text(facts.get());
  EXPECT_NE(agents::string_member(facts.get(), "live"), "live");
  EXPECT_EQ(agents::int_member(facts.get(), "plainlyOnline", -1), 0) << agents::json_text(facts.get());
  EXPECT_EQ(json_object_array_length(agents::member(facts.get(), "rows")), network.size());
  restart_bus();
  EXPECT_TRUE(eventually([&] {
    return read_facts() && agents::string_member(facts.get(), "daemon") == "running" &&
           agents::int_member(facts.get(), "plainlyOnline", -1) > 0 && agents::string_member(facts.get(), "fault").empty();
  }, 60)) << agents::json_text(facts.get());

  // The daemon stops: the header says so, and the badge is no longer plainly "live".
  sim::test::stop_program(daemon_);
  EXPECT_TRUE(eventually([&] {
    return read_facts() && agents::string_member(facts.get(), "daemon") == "not answering" &&
           agents::string_member(facts.get(), "fault").find("daemon is not answering") != std::string::npos;
  }, 60)) << agents::json_text(facts.get());
  EXPECT_NE(agents::string_member(facts.get(), "live"), "live");
  EXPECT_NE(agents::string_member(facts.get(), "header").find("|unknown|"), std::string::npos) << "not \"stopped\"";
}

// A network of 100 sensors, each with a temperature and a humidity channel.
std::string hundred_sensors() {
  std::string list;
  for (int i = 1; i <= 100; ++i) {
    char sensor[300];
    std::snprintf(sensor, sizeof sensor,
                  R"(%s{"ExtAddress":"00124B00070000%02X","ShortAddress":"%04X","ModelName":"VT-TH%d","EventInterval":300,)"
                  R"("Channels":[{"Name":"Temperature","Type":1,"Unit":"C"},{"Name":"Humidity","Type":2,"Unit":"%%RH"}]})",
                  i == 1 ? "" : ",", i, i, i);
    list += sensor;
  }
  return R"({"TimeScale":20,"JoinSpacing":0.05,"Sensors":[)" + list + "]}";
}

// 100 sensors, and more pages than vorn_web serves streams to: the page beyond is refused, says it
// is not live, and goes live by itself once another page closes. A click on a row far down the
// table opens its detail in view. The units map and its factory copy are gone: the page says so.
TEST_F(WebPage, HundredSensorsAPageWaitingForAStreamAndNoUnitsMap) {
  constexpr int kStreams = 4;
  ASSERT_EQ(std::system("rm -f /etc/TavikUnitsMapv2.json /rom/etc/TavikUnitsMapv2.json && "
                        "uci set vorn_web.main.max_streams=4 && uci commit vorn_web"), 0);
  start_gateway(hundred_sensors());
  web_ = sim::start_program({"/usr/sbin/vorn_web"}, "/tmp/vorn_web.out");
  ASSERT_TRUE(eventually([] {
    const agents::Json document = api_sensors();
    json_object *list = agents::member(document.get(), "sensors");
    return list != nullptr && json_object_array_length(list) == 100;
  }, 180)) << web::test::body_of(web::test::http_get(kPort, "/api/sensors")).substr(0, 2000);

  const std::string page = "http://127.0.0.1:" + std::to_string(kPort) + "/";
  web::test::Browser browser(page, 1280, 900, "/tmp/chromium-profile", "/tmp/chromium.out");
  ASSERT_TRUE(browser.attach()) << file_text("/tmp/chromium.out");
  agents::Json facts;
  auto read_facts = [&](const web::test::Tab &tab) {
    facts = agents::parse_json(browser.evaluate(tab, page_facts_script()));
    return facts != nullptr && json_object_get_boolean(agents::member(facts.get(), "loaded"));
  };
  auto badge = [&](const web::test::Tab &tab) { return read_facts(tab) ? agents::string_member(facts.get(), "live") : ""; };

  // Four pages hold every stream there is; a request for one more is told when to try again.
  std::vector<web::test::Tab> tabs{browser.first()};
  for (int i = 1; i < kStreams; ++i) tabs.push_back(browser.open_tab(page, 1280, 900));
  for (std::size_t i = 0; i < tabs.size(); ++i)
    ASSERT_TRUE(eventually([&] { return badge(tabs[i]) == "live"; }, 60)) << "page " << i << ": " << agents::json_text(facts.get());
  const std::string refused = web::test::http_get(kPort, "/api/events");
  EXPECT_EQ(web::test::status_of(refused), 503) << refused.substr(0, 300);
  EXPECT_NE(refused.find("Retry-After: 2\r\n"), std::string::npos) << refused.substr(0, 300);

  // A fifth page shows the sensors but says it is not live; once a page closes it goes live by
  // itself, the same page (not loaded again), with every row.
  const web::test::Tab fifth = browser.open_tab(page, 1280, 900);
  ASSERT_FALSE(fifth.session.empty());
  EXPECT_TRUE(eventually([&] { return badge(fifth) == "waiting for a free stream"; }, 60)) << agents::json_text(facts.get());
  browser.evaluate(fifth, "window.sameLoad = true");
  ASSERT_TRUE(browser.close_tab(tabs[1]));
  EXPECT_TRUE(eventually([&] { return badge(fifth) == "live"; }, 90)) << agents::json_text(facts.get());
  EXPECT_EQ(browser.evaluate(fifth, "window.sameLoad === true"), "true");
  EXPECT_EQ(json_object_array_length(agents::member(facts.get(), "rows")), 100u);
  EXPECT_NE(agents::string_member(facts.get(), "fault").find("units map"), std::string::npos) << agents::json_text(facts.get());

  // A row far down the table (40 rows above the table's end), scrolled to the top of the window
  // and clicked: its detail, below the table, opens in view.
  const std::string clicked = browser.evaluate(fifth, R"JS((() => {
    const row = document.querySelectorAll('#sensors tbody tr')[60];
    row.scrollIntoView({ block: 'start' });
    row.click();
    return row.dataset.id;
  })())JS");
  ASSERT_EQ(clicked.size(), 18u) << clicked;  // a quoted sensor id
  EXPECT_TRUE(eventually([&] {
    return read_facts(fifth) && "\"" + agents::string_member(facts.get(), "detail") + "\"" == clicked;
  }, 20)) << agents::json_text(facts.get());
  EXPECT_GE(agents::int_member(facts.get(), "detailTop", -1), 0) << agents::json_text(facts.get());
  EXPECT_LE(agents::int_member(facts.get(), "titleBottom", 99999), agents::int_member(facts.get(), "viewHeight"))
      << "the detail's title is in view: " << agents::json_text(facts.get());
}

}  // namespace
