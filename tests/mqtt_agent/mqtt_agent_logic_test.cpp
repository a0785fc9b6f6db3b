// The agent's pure parts: sensor state from the daemon's reports, command checks, discovery
// configs, the persistent queue and the configuration.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <set>

#include "agent_config.h"
#include "cloud_commands.h"
#include "json.h"
#include "outbox.h"
#include "sensor_state.h"
#include "topics.h"

namespace mqtt_agent {
namespace {

Json state_of(const SensorState &sensor) { return parse_json(state_document(sensor, 7)); }

std::string text_at(json_object *object, std::initializer_list<const char *> path) {
  for (const char *key : path) {
    if (!has_member(object, key)) return "<none>";
    object = member(object, key);
  }
  return json_text(object);
}

// One sensor's life in reports, checked through the published state after each step.
TEST(SensorStateTest, FollowsEveryReportKindAndTheLiveChannel) {
  SensorState sensor;
  sensor.id = "00124B0001A2B301";
  EXPECT_EQ(apply_report(sensor, 0, R"({"Parent":"GW1"})", 1000), ReportEffect::joined);
  EXPECT_EQ(apply_report(sensor, 1, R"([{"N":"Temperature","T":"Temperature","U":"°C"},{"N":"Humidity","T":"Humidity","U":"%RH"}])", 1001),
            ReportEffect::channels);
  EXPECT_EQ(apply_report(sensor, 3,
                         R"([{"Key":"Manufacturer","Value":"M"},{"Key":"Model","Value":"VT-TH"},{"Key":"Firmware","Value":"1.0.3.0"},)"
                         R"({"Key":"RFFirmware","Value":"2.5.2.4"},{"Key":"PowerSource","Value":1},{"Key":"Battery","Value":3.6},)"
                         R"({"Key":"RSSI","Value":-52}])",
                         1002),
            ReportEffect::state);
  EXPECT_EQ(apply_report(sensor, 2, R"([{"Key":"EventInterval","Value":300},{"Key":"DeadBand","Value":5}])", 1003), ReportEffect::state);
  const std::string live = R"({"ID":"00124B0001A2B301","Data":{"BaseTime":1700000000000,"Values":[)"
                           R"({"Name":"Temperature","Values":[{"T":0,"V":21.50}]},{"Name":"Humidity","Values":[{"T":0,"V":"NaN"}]}]}})";
  EXPECT_TRUE(apply_live_values(sensor, live, 1004));
  EXPECT_FALSE(apply_live_values(sensor, live, 1005)) << "the same reading twice is no new reading";
  EXPECT_FALSE(apply_live_values(sensor, "not json", 1005));
  EXPECT_EQ(apply_report(sensor, 6, R"([{"Time":1700000001000,"Source":"Humidity","Type":1,"Value":"OPEN","Level":0,"Msg":"open"}])", 1006),
            ReportEffect::state);

  Json state = state_of(sensor);
  EXPECT_EQ(text_at(state.get(), {"channels", "Temperature", "value"}), "21.5");
  EXPECT_EQ(text_at(state.get(), {"channels", "Temperature", "unit"}), "\"°C\"");
  EXPECT_EQ(text_at(state.get(), {"channels", "Humidity", "value"}), "null");
  EXPECT_EQ(text_at(state.get(), {"channels", "Humidity", "error"}), "true");
  EXPECT_EQ(text_at(state.get(), {"alarms", "Humidity", "alarm"}), "\"OPEN\"");
  EXPECT_EQ(text_at(state.get(), {"alarms", "Humidity", "time"}), "\"2023-11-14T22:13:21Z\"");
  EXPECT_EQ(text_at(state.get(), {"battery"}), "3.6");
  EXPECT_EQ(text_at(state.get(), {"rssi"}), "-52");
  EXPECT_EQ(text_at(state.get(), {"firmware"}), "\"1.0.3.0\"");
  EXPECT_EQ(text_at(state.get(), {"rf_firmware"}), "\"2.5.2.4\"");
  EXPECT_EQ(text_at(state.get(), {"model"}), "\"VT-TH\"");
  EXPECT_EQ(text_at(state.get(), {"interval"}), "300");
  EXPECT_EQ(text_at(state.get(), {"last_seen"}), "\"1970-01-01T00:16:46Z\"");
  EXPECT_EQ(text_at(state.get(), {"seq"}), "7");

  // Logged records under the sensor's own channel names: the latest point wins, matched by name or
  // else by position; a valid value ends the alarm.
  EXPECT_EQ(apply_report(sensor, 9,
                         R"([{"BaseTime":1700000000000,"Values":[{"Name":"Temp","Values":[{"T":0,"V":20.00},{"T":60,"V":19.25}]},)"
                         R"({"Name":"Humidity","Values":[{"T":60,"V":40.00},{"T":0,"V":41.00}]}]}])",
                         1010),
            ReportEffect::state);
  state = state_of(sensor);
  EXPECT_EQ(text_at(state.get(), {"channels", "Temperature", "value"}), "19.25");
  EXPECT_EQ(text_at(state.get(), {"channels", "Humidity", "value"}), "40");
  EXPECT_EQ(text_at(state.get(), {"alarms", "Humidity"}), "<none>");
  EXPECT_EQ(sensor.channels.size(), 2u);

  // A changed channel list keeps the values of channels that stay.
  apply_report(sensor, 1, R"([{"N":"Humidity","T":"Humidity","U":"%RH"}])", 1011);
  ASSERT_EQ(sensor.channels.size(), 1u);
  EXPECT_EQ(sensor.channels[0].value, 40.0);

  // What a restart brings back from the saved document is what was published.
  apply_report(sensor, 6, R"([{"Time":1700000002000,"Source":"Humidity","Value":"SHORT","Msg":"short"}])", 1011);
  SensorState restored;
  ASSERT_TRUE(sensor_from_document(state_document(sensor, 9), restored));
  EXPECT_EQ(state_document(restored, 9), state_document(sensor, 9));
  EXPECT_FALSE(sensor_from_document("{}", restored));

  EXPECT_EQ(apply_report(sensor, 0, R"({"Parent":""})", 1012), ReportEffect::left);
  EXPECT_FALSE(sensor.present);
  for (const auto &[type, body] : std::vector<std::pair<int, std::string>>{
           {7, "{}"}, {0, "[]"}, {1, "{}"}, {6, "{}"}, {9, "{}"}, {3, "not json"}})
    EXPECT_EQ(apply_report(sensor, type, body, 1013), ReportEffect::none) << type << " " << body;
}

TEST(CloudCommandsTest, ChecksEveryCommandBeforeItReachesTheBus) {
  const SensorKnown known = [](const std::string &id) { return id == "00124B0001A2B301"; };
  struct Case {
    const char *command, *payload;
    const char *event_or_reason;  // the event when accepted, else a part of the reason
    bool ok;
  };
  const Case cases[] = {
      {"permit_join", R"({"enable":true})", R"({"JoinNetwork_Enable":1})", true},
      {"permit_join", R"({"enable":false})", R"({"JoinNetwork_Enable":0})", true},
      {"permit_join", R"({"enable":1})", "true or false", false},
      {"remove", R"({"id":"00124b0001a2b301"})", R"({"RemoveDev":"00124B0001A2B301"})", true},
      {"remove", R"({"id":"00124B0001A2B399"})", "unknown sensor", false},
      {"remove", R"({"id":"00124B0001A2B3;rm"})", "16 hexadecimal", false},
      {"remove", R"({"id":5})", "must be a string", false},
      {"remove", "{}", "missing \"id\"", false},
      {"set_interval", R"({"id":"00124B0001A2B301","interval":120})", R"({"SetEventTimer":"00124B0001A2B301","TimeBase":"120"})", true},
      {"set_interval", R"({"id":"00124B0001A2B301","interval":"120"})", "whole number", false},
      {"set_interval", R"({"id":"00124B0001A2B301","interval":0})", "1 to 2147483647", false},
      {"set_interval", R"({"id":"00124B0001A2B301","interval":2147483648})", "1 to 2147483647", false},
      {"set_interval", R"({"id":"00124B0001A2B301"})", "missing \"interval\"", false},
      {"get_interval", R"({"id":"00124B0001A2B301"})", R"({"GetEventTimer":"00124B0001A2B301"})", true},
      {"get_device_list", "", R"({"GetDevList":null})", true},
      {"set_device_value", R"({"id":"00124B0001A2B301"})", R"({"SetDevVal":"00124B0001A2B301"})", true},
      {"get_device_value", R"({"id":"00124B0001A2B301"})", R"({"GetDevVal":"00124B0001A2B301"})", true},
      {"get_oad_file", R"({"file":"fw.bin"})", R"({"GetOADFile":"fw.bin"})", true},
      {"get_oad_file", R"({"file":"a b"})", "printable", false},
      {"sensor_oad", R"({"short":5,"file":"fw.bin"})", R"({"SensorOADSelect":5,"OADFile":"fw.bin"})", true},
      {"sensor_oad", R"({"short":5})", "missing \"file\"", false},
      {"msp430_oad", R"({"short":100,"file":"m.txt"})", R"({"Msp430OADSelect":100,"OADFile":"m.txt"})", true},
      {"msp430_oad", R"({"short":101,"file":"m.txt"})", "1 to 100", false},
      {"cancel_msp430_oad", R"({"short":1})", R"({"CancelMsp430OAD":1})", true},
      {"cancel_rf_oad", R"({"short":0})", "1 to 100", false},
      {"cancel_rf_oad", R"({"short":"3"})", "integer", false},
      {"get_oad_status", R"({"short":7})", R"({"GetOADStatus":7})", true},
      {"get_oad_status", "[1]", "JSON object", false},
      {"reboot", "{}", "unknown command", false},
  };
  for (const Case &c : cases) {
    const CommandCheck check = check_bridge_request(c.command, c.payload, known);
    EXPECT_EQ(check.ok, c.ok) << c.command << " " << c.payload << ": " << check.reason;
    if (c.ok) EXPECT_EQ(check.event, c.event_or_reason) << c.command;
    else EXPECT_NE(check.reason.find(c.event_or_reason), std::string::npos) << c.command << ": " << check.reason;
  }
  std::set<std::string> names;
  for (const std::string &name : bridge_command_names()) names.insert(name);
  EXPECT_EQ(names.size(), 13u);

  EXPECT_EQ(check_set_request("00124B0001A2B301", R"({"interval":300})", known).event,
            R"({"SetEventTimer":"00124B0001A2B301","TimeBase":"300"})");
  EXPECT_NE(check_set_request("00124B0001A2B301", R"({"interval":-5})", known).reason.find("1 to"), std::string::npos);
  EXPECT_NE(check_set_request("00124B0001A2B301", R"({"name":"x"})", known).reason.find("only \"interval\""), std::string::npos);
  EXPECT_NE(check_set_request("00124B0001A2B399", R"({"interval":60})", known).reason.find("unknown sensor"), std::string::npos);
}

TEST(DiscoveryTest, OneConfigPerChannelWithClassUnitAndBothAvailabilityTopics) {
  TopicLayout topics{"vorn/GW1", "GW1", "homeassistant"};
  SensorState sensor;
  sensor.id = "00124B0001A2B301";
  sensor.model = "VT-TH";
  sensor.firmware = "1.0";
  struct Channel {
    const char *name, *type, *unit, *device_class;
  };
  const Channel channels[] = {{"Temperature", "Temperature", "°C", "temperature"},
                              {"Humidity", "Humidity", "%RH", "humidity"},
                              {"Supply", "Voltage", "V", "voltage"},
                              {"Load", "Current", "mA", "current"},
                              {"Water pressure", "Pressure", "kPa", "pressure"},
                              {"Cell", "Battery level", "%", "battery"},
                              {"It's CO2", "CO2", "ppm", ""}};
  for (const Channel &c : channels) sensor.channels.push_back({c.name, c.type, c.unit, std::nullopt, false});
  const auto configs = discovery_configs(topics, sensor);
  ASSERT_EQ(configs.size(), std::size(channels));
  for (std::size_t i = 0; i < configs.size(); ++i) {
    const Json config = parse_json(configs[i].payload);
    const std::string id = "GW1_00124B0001A2B301_" + slug(channels[i].name);
    EXPECT_EQ(configs[i].topic, "homeassistant/sensor/" + id + "/config");
    EXPECT_EQ(text_at(config.get(), {"unique_id"}), "\"" + id + "\"");
    EXPECT_EQ(text_at(config.get(), {"state_topic"}), R"("vorn\/GW1\/00124B0001A2B301")");
    EXPECT_EQ(text_at(config.get(), {"unit_of_measurement"}), "\"" + std::string(channels[i].unit) + "\"");
    EXPECT_EQ(text_at(config.get(), {"device_class"}),
              *channels[i].device_class ? "\"" + std::string(channels[i].device_class) + "\"" : "<none>");
    EXPECT_EQ(text_at(config.get(), {"device", "identifiers"}), R"(["00124B0001A2B301"])");
    EXPECT_EQ(text_at(config.get(), {"device", "model"}), "\"VT-TH\"");
    EXPECT_EQ(text_at(config.get(), {"device", "via_device"}), "\"GW1\"");
    EXPECT_EQ(text_at(config.get(), {"availability"}),
              R"([{"topic":"vorn\/GW1\/bridge\/state"},{"topic":"vorn\/GW1\/00124B0001A2B301\/availability"}])");
  }
  EXPECT_EQ(slug("It's CO2"), "it_s_co2");
  EXPECT_EQ(text_at(parse_json(configs[6].payload).get(), {"value_template"}),
            R"("{{ value_json.channels['It\\'s CO2'].value }}")");
  const auto removals = discovery_removals(topics, sensor);
  ASSERT_EQ(removals.size(), configs.size());
  for (std::size_t i = 0; i < removals.size(); ++i) {
    EXPECT_EQ(removals[i].topic, configs[i].topic);
    EXPECT_EQ(removals[i].payload, "");
  }
  topics.discovery_prefix.clear();
  EXPECT_TRUE(discovery_configs(topics, sensor).empty());
}

TEST(OutboxTest, KeepsOrderDropsTheOldestPastTheLimitAndSurvivesAReopen) {
  char path[] = "/tmp/mqtt_outbox_XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  std::string error;
  {
    auto box = Outbox::open(path, 3, error);
    ASSERT_TRUE(box) << error;
    for (int i = 1; i <= 5; ++i) ASSERT_TRUE(box->push("t/" + std::to_string(i), std::string("p\0", 2) + std::to_string(i), i % 2 == 0));
    EXPECT_EQ(box->size(), 3);
    EXPECT_EQ(box->dropped(), 2);
    const auto rows = box->after(0, 10);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].topic, "t/3");
    EXPECT_EQ(rows[0].payload, std::string("p\0", 2) + "3");
    EXPECT_FALSE(rows[0].retain);
    EXPECT_TRUE(rows[1].retain);
    EXPECT_EQ(box->after(rows[0].id, 1).at(0).topic, "t/4");
    box->remove(rows[1].id);
    EXPECT_EQ(box->size(), 2);
    EXPECT_EQ(box->next_sequence(), 1);
    EXPECT_EQ(box->next_sequence(), 2);
  }
  {
    auto box = Outbox::open(path, 3, error);
    ASSERT_TRUE(box) << error;
    const auto rows = box->after(0, 10);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].topic, "t/3");
    EXPECT_EQ(rows[1].topic, "t/5");
    EXPECT_EQ(box->dropped(), 2);
    box->clear_dropped();
    EXPECT_EQ(box->dropped(), 0);
    EXPECT_EQ(box->next_sequence(), 3);
  }
  for (const char *suffix : {"", "-wal", "-shm"}) std::remove((std::string(path) + suffix).c_str());
  EXPECT_FALSE(Outbox::open("/nonexistent/folder/q.sqlite", 3, error));
}

TEST(AgentConfigTest, ReadsTheMainSectionAndKeepsDefaultsForBadValues) {
  const std::string shown =
      "vorn_mqtt.other=mqtt\nvorn_mqtt.other.port='1'\nvorn_mqtt.main=mqtt\nvorn_mqtt.main.host='broker.lan'\n"
      "vorn_mqtt.main.port='70000'\nvorn_mqtt.main.password='it'\\''s'\nvorn_mqtt.main.discovery='0'\n"
      "vorn_mqtt.main.base_topic='a/#'\nvorn_mqtt.main.queue_limit='500'\nvorn_mqtt.main.offline_intervals='x'\n"
      "vorn_mqtt.main.forward_to='cloud_agent'\n";
  std::string warnings;
  const AgentConfig config = config_from_options(parse_uci_show(shown), warnings);
  EXPECT_EQ(config.host, "broker.lan");
  EXPECT_EQ(config.port, 1883);
  EXPECT_EQ(config.password, "it's");
  EXPECT_FALSE(config.discovery);
  EXPECT_EQ(config.base_topic, "vorn");
  EXPECT_EQ(config.queue_limit, 500);
  EXPECT_EQ(config.offline_intervals, 3);
  EXPECT_EQ(config.forward_to, "cloud_agent");
  EXPECT_EQ(config.discovery_prefix, "homeassistant");
  for (const char *option : {"port", "base_topic", "offline_intervals"})
    EXPECT_NE(warnings.find(option), std::string::npos) << warnings;
  EXPECT_EQ(parse_uci_show("vorn_mqtt.first=mqtt\nvorn_mqtt.first.host='h'\n").at("host"), "h");
}

}  // namespace
}  // namespace mqtt_agent
