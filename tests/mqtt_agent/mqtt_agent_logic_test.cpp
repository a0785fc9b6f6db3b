// The agent's pure parts: sensor state from the daemon's reports, command checks and responses,
// discovery configs against Home Assistant's rules, the queue and its file, the sensor list and
// the configuration.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <set>
#include <map>
#include <sstream>

#include "agent_config.h"
#include "cloud_commands.h"
#include "device_classes.h"
#include "discovery_rules.h"
#include "json.h"
#include "outbox.h"
#include "rate_limit.h"
#include "sensor_list.h"
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
  const SensorNamed named = [](const std::string &name) { return name == "Office" ? "00124B0001A2B301" : ""; };
  struct Case {
    const char *command, *payload;
    const char *event_or_reason;  // the event when accepted ("" when the agent answers alone), else a part of the reason
    bool ok;
    const char *data = nullptr;   // the request's values as understood, when checked
  };
  const Case cases[] = {
      {"permit_join", R"({"enable":true})", R"({"JoinNetwork_Enable":1})", true, R"({"value":true,"time":120})"},
      {"permit_join", R"({"enable":false})", R"({"JoinNetwork_Enable":0})", true, R"({"value":false,"time":0})"},
      {"permit_join", R"({"value":true,"time":60})", R"({"JoinNetwork_Enable":1})", true},
      {"permit_join", R"({"value":true,"time":0})", R"({"JoinNetwork_Enable":0})", true},
      {"permit_join", R"({"time":254})", R"({"JoinNetwork_Enable":1})", true},
      {"permit_join", R"({"time":0})", R"({"JoinNetwork_Enable":0})", true},
      {"permit_join", R"({"time":-1})", "0 to 65535", false},
      {"permit_join", R"({"enable":1})", "true or false", false},
      {"permit_join", "{}", "missing \"time\"", false},
      {"remove", R"({"id":"00124b0001a2b301"})", R"({"RemoveDev":"00124B0001A2B301"})", true, R"({"id":"00124B0001A2B301"})"},
      {"remove", R"({"id":"00124B0001A2B399"})", "unknown sensor", false},
      {"remove", R"({"id":"00124B0001A2B3;rm"})", "16 hexadecimal", false},
      {"remove", R"({"id":"Office"})", "16 hexadecimal", false},
      {"remove", R"({"id":5})", "must be a string", false},
      {"remove", "{}", "missing \"id\"", false},
      {"device/remove", R"({"id":"Office","force":false})", R"({"RemoveDev":"00124B0001A2B301"})", true},
      {"device/remove", R"({"id":"00124B0001A2B301"})", R"({"RemoveDev":"00124B0001A2B301"})", true},
      {"device/remove", R"({"id":"Hall"})", "no sensor is named", false},
      {"set_interval", R"({"id":"00124B0001A2B301","interval":120})", R"({"SetEventTimer":"00124B0001A2B301","TimeBase":"120"})", true,
       R"({"interval":120,"id":"00124B0001A2B301"})"},
      {"set_interval", R"({"id":"00124B0001A2B301","interval":"120"})", "whole number", false},
      {"set_interval", R"({"id":"00124B0001A2B301","interval":0})", "1 to 2147483647", false},
      {"set_interval", R"({"id":"00124B0001A2B301","interval":2147483648})", "1 to 2147483647", false},
      {"set_interval", R"({"id":"00124B0001A2B301"})", "missing \"interval\"", false},
      {"get_interval", R"({"id":"00124B0001A2B301"})", "", true, R"({"id":"00124B0001A2B301"})"},
      {"get_interval", R"({"id":"00124B0001A2B399"})", "unknown sensor", false},
      {"get_device_list", "", "", true, "{}"},
      {"health_check", "", "", true},
      {"info", R"({"transaction":7})", "", true},
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
    const CommandCheck check = check_bridge_request(c.command, c.payload, known, named);
    EXPECT_EQ(check.ok, c.ok) << c.command << " " << c.payload << ": " << check.reason;
    if (c.ok) {
      EXPECT_EQ(check.event, c.event_or_reason) << c.command << " " << c.payload;
    } else {
      EXPECT_NE(check.reason.find(c.event_or_reason), std::string::npos) << c.command << ": " << check.reason;
    }
    if (c.data != nullptr) {
      EXPECT_EQ(check.data, c.data) << c.command << " " << c.payload;
    }
  }
  std::set<std::string> names;
  for (const std::string &name : bridge_command_names()) names.insert(name);
  EXPECT_EQ(names.size(), 16u);

  EXPECT_EQ(check_set_request("00124B0001A2B301", R"({"interval":300})", known).event,
            R"({"SetEventTimer":"00124B0001A2B301","TimeBase":"300"})");
  EXPECT_NE(check_set_request("00124B0001A2B301", R"({"interval":-5})", known).reason.find("1 to"), std::string::npos);
  EXPECT_NE(check_set_request("00124B0001A2B301", R"({"name":"x"})", known).reason.find("only \"interval\""), std::string::npos);
  EXPECT_NE(check_set_request("00124B0001A2B399", R"({"interval":60})", known).reason.find("unknown sensor"), std::string::npos);
}

TEST(CloudCommandsTest, AnswersInTheEnvelopeWithTheRequestsTransaction) {
  EXPECT_EQ(transaction_of(R"({"time":60,"transaction":"ab-1"})"), R"("ab-1")");
  EXPECT_EQ(transaction_of(R"({"transaction":{"n":3}})"), R"({"n":3})");
  EXPECT_EQ(transaction_of(R"({"time":60})"), "");
  EXPECT_EQ(transaction_of("not json \"transaction\""), "");
  EXPECT_EQ(response_envelope(true, R"({"id":"X"})", "", R"("ab-1")"), R"({"data":{"id":"X"},"status":"ok","transaction":"ab-1"})");
  EXPECT_EQ(response_envelope(false, "", "unknown sensor X", ""), R"({"data":{},"status":"error","error":"unknown sensor X"})");
  EXPECT_EQ(response_envelope(true, "[1]", "", "7"), R"({"data":{},"status":"ok","transaction":7})");
}

TEST(RateLimitTest, TakesABurstThenTheSustainedRate) {
  RateLimit limit(2, 3);
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(limit.take(1000)) << i;
  EXPECT_FALSE(limit.take(1000));
  EXPECT_FALSE(limit.take(1400));
  EXPECT_TRUE(limit.take(1500));   // 2 a second: one every 500 ms
  EXPECT_FALSE(limit.take(1600));
  EXPECT_TRUE(limit.take(60000));  // refilled, but never past the burst
  EXPECT_TRUE(limit.take(60000));
  EXPECT_TRUE(limit.take(60000));
  EXPECT_FALSE(limit.take(60000));
}

// Every channel type and unit of the factory units map, as the channel list sends them (units cut
// to 4 characters) and in full, must give configs Home Assistant takes.
TEST(DiscoveryTest, EveryChannelOfTheUnitsMapPassesHomeAssistantsRules) {
  TopicLayout topics{"vorn/GW1", "GW1", "homeassistant"};
  std::ifstream file(VORN_SOURCE_DIR "/rootfs/rom/etc/TavikUnitsMapv2.json");
  std::stringstream text;
  text << file.rdbuf();
  const Json map = parse_json(text.str());
  ASSERT_TRUE(map != nullptr && json_object_is_type(map.get(), json_type_array));
  std::vector<discovery_rules::Config> configs;
  const DiscoveryMessage gateway = gateway_discovery_config(topics);
  configs.push_back({gateway.topic, gateway.payload});
  std::size_t channels = 0;
  for (std::size_t i = 0; i < json_object_array_length(map.get()); ++i) {
    json_object *entry = json_object_array_get_idx(map.get(), i);
    json_object *units = member(entry, "Unit");
    SensorState sensor;
    char id[24];
    std::snprintf(id, sizeof id, "00124B00000000%02X", static_cast<unsigned>(i & 0xFF));
    sensor.id = id;
    sensor.name = i % 2 == 0 ? "Room " + std::to_string(i) : "";
    for (std::size_t u = 0; u < json_object_array_length(units); ++u) {
      const std::string unit = json_object_get_string(json_object_array_get_idx(units, u));
      for (const std::string &sent : {unit, unit.substr(0, 4)}) {
        sensor.channels.push_back({*string_member(entry, "Name"), *string_member(entry, "Type"), sent, std::nullopt, false});
        ++channels;
      }
    }
    const auto messages = discovery_configs(topics, sensor);
    EXPECT_EQ(messages.size(), sensor.channels.size() + 3) << "a config per channel, and battery, signal strength, last seen";
    for (const DiscoveryMessage &message : messages) {
      configs.push_back({message.topic, message.payload});
      const Json config = parse_json(message.payload);
      EXPECT_EQ(text_at(config.get(), {"device", "name"}), "\"" + (sensor.name.empty() ? sensor.id : sensor.name) + "\"");
      EXPECT_NE(text_at(config.get(), {"state_class"}) == "<none>", text_at(config.get(), {"device_class"}) != "\"timestamp\"")
          << message.payload;
    }
  }
  EXPECT_GT(channels, 60u);
  // One config in full: the value from the state document, both availability topics (the bridge's
  // as JSON), the device by its stored name under the gateway.
  SensorState office;
  office.id = "00124B0001A2B301";
  office.name = "Office";
  office.model = "VT-TH";
  office.channels.push_back({"It's CO2", "Carbon Dioxide", "ppm", std::nullopt, false});
  const Json co2 = parse_json(discovery_configs(topics, office).at(0).payload);
  EXPECT_EQ(text_at(co2.get(), {"unique_id"}), R"("GW1_00124B0001A2B301_it_s_co2")");
  EXPECT_EQ(text_at(co2.get(), {"state_topic"}), R"("vorn\/GW1\/00124B0001A2B301")");
  EXPECT_EQ(text_at(co2.get(), {"value_template"}), R"("{{ value_json.channels['It\\'s CO2'].value }}")");
  EXPECT_EQ(text_at(co2.get(), {"device_class"}), R"("co2")");
  EXPECT_EQ(text_at(co2.get(), {"availability"}),
            R"([{"topic":"vorn\/GW1\/bridge\/state","value_template":"{{ value_json.state }}"},{"topic":"vorn\/GW1\/00124B0001A2B301\/availability"}])");
  EXPECT_EQ(text_at(co2.get(), {"device"}),
            R"({"identifiers":["00124B0001A2B301"],"name":"Office","model":"VT-TH","via_device":"GW1"})");
  const auto faults = discovery_rules::check_configs(configs, "homeassistant");
  for (const std::string &fault : faults) ADD_FAILURE() << fault;

  // Channels whose names make the same id (and a name that looks like a suffixed one) each keep a
  // topic of their own.
  SensorState sensor;
  sensor.id = "00124B0001A2B301";
  for (const char *name : {"Temp A", "Temp-A", "temp a", "Temp A 2"}) sensor.channels.push_back({name, "Temperature", "°C", std::nullopt, false});
  EXPECT_EQ(channel_keys(sensor), (std::vector<std::string>{"temp_a", "temp_a-2", "temp_a-3", "temp_a_2"}));
  std::set<std::string> topics_seen;
  for (const DiscoveryMessage &message : discovery_configs(topics, sensor)) EXPECT_TRUE(topics_seen.insert(message.topic).second) << message.topic;
  const auto removals = discovery_removals(topics, sensor);
  ASSERT_EQ(removals.size(), topics_seen.size());
  for (const DiscoveryMessage &removal : removals) EXPECT_TRUE(topics_seen.count(removal.topic) == 1 && removal.payload.empty());
  topics.discovery_prefix.clear();
  EXPECT_TRUE(discovery_configs(topics, sensor).empty());
}

TEST(DiscoveryTest, ClassUnitAndStateClassPerChannel) {
  struct Case {
    const char *type, *unit, *device_class, *ha_unit, *state_class;
  };
  const Case cases[] = {
      {"Humidity", "%RH", "humidity", "%", "measurement"},
      {"Temperature", "°F", "temperature", "°F", "measurement"},
      {"Flow Rate", "m3/h", "volume_flow_rate", "m³/h", "measurement"},
      {"Flow Rate", "L/mi", "volume_flow_rate", "L/min", "measurement"},
      {"Flow Rate", "gpm", "volume_flow_rate", "gal/min", "measurement"},
      {"Barometric Pressure", "hPa", "atmospheric_pressure", "hPa", "measurement"},
      {"Particulate Matter 2.5", "ug/m", "pm25", "µg/m³", "measurement"},
      {"Volatile Organic Compounds", "ppb", "volatile_organic_compounds_parts", "ppb", "measurement"},
      {"Soil Moisture", "%VWC", "moisture", "%", "measurement"},
      {"Electrical Conductivity", "uS/c", "conductivity", "µS/cm", "measurement"},
      {"Acidity", "pH", "ph", "", "measurement"},
      {"Energy", "kWh", "energy", "kWh", "total_increasing"},
      {"Pulse Counter", "coun", "", "count", "total_increasing"},
      {"Liquid Level", "%", "", "%", "measurement"},         // no class takes % for a level
      {"Battery Voltage", "V", "voltage", "V", "measurement"},
      {"Tilt Angle", "deg", "", "°", "measurement"},
      {"Oxygen", "%", "", "%", "measurement"},
      {"200", "°C", "temperature", "°C", "measurement"},     // a type the map does not know: by unit
      {"Unknown", "furlong", "", "furlong", "measurement"},
  };
  for (const Case &c : cases) {
    const ChannelClass kind = classify_channel(c.type, c.unit);
    EXPECT_EQ(kind.device_class, c.device_class) << c.type << " " << c.unit;
    EXPECT_EQ(kind.unit, c.ha_unit) << c.type << " " << c.unit;
    EXPECT_EQ(kind.state_class, c.state_class) << c.type << " " << c.unit;
  }
}

// The checker itself must find what Home Assistant refuses, or passing it proves nothing.
TEST(DiscoveryTest, TheCheckerFindsWhatHomeAssistantRefuses) {
  const std::string device = R"("device":{"identifiers":["S1"],"via_device":"GW"})";
  const std::string gateway = R"({"state_topic":"g","unique_id":"gw","device":{"identifiers":["GW"]}})";
  struct Case {
    const char *topic;
    std::string payload;
    const char *fault;  // a part of the fault; nullptr when none is expected
  };
  const Case cases[] = {
      {"homeassistant/sensor/s1_t/config", R"({"state_topic":"s","unique_id":"s1_t","device_class":"temperature","unit_of_measurement":"°C","state_class":"measurement",)" + device + "}", nullptr},
      {"homeassistant/sensor/s1_h/config", R"({"state_topic":"s","unique_id":"s1_h","device_class":"humidity","unit_of_measurement":"%RH",)" + device + "}", "is not one of"},
      {"homeassistant/sensor/s1_e/config", R"({"state_topic":"s","unique_id":"s1_e","device_class":"energy","unit_of_measurement":"kWh","state_class":"measurement",)" + device + "}", "not allowed"},
      {"homeassistant/sensor/s1_x/config", R"({"state_topic":"s","unique_id":"s1_x","device_class":"flux",)" + device + "}", "unknown device_class"},
      {"homeassistant/sensor/s1 t/config", R"({"state_topic":"s","unique_id":"s1_s",)" + device + "}", "[a-zA-Z0-9_-]"},
      {"homeassistant/sensor/s1_u/config", R"({"state_topic":"s","unique_id":"s1_t",)" + device + "}", "used twice"},
      {"homeassistant/sensor/s1_v/config", R"({"state_topic":"s","unique_id":"s1_v","device":{"identifiers":["S2"],"via_device":"GW9"}})", "names no announced device"},
      {"homeassistant/sensor/s1_a/config", R"({"state_topic":"s","unique_id":"s1_a","availability":[{"topic":"a","payload_on":"1"}],"availability_mode":"some",)" + device + "}", "availability"},
      {"homeassistant/sensor/s1_c/config", R"({"state_topic":"s","unique_id":"s1_c","entity_category":"config",)" + device + "}", "entity_category"},
      {"homeassistant/sensor/s1_n/config", R"({"unique_id":"s1_n","device":{}})", "no state_topic"},
      {"homeassistant/sensor/s1_z/config", R"({"state_topic":"s","unique_id":"s1_z","unit_of_mesurement":"V",)" + device + "}", "unknown key"},
      {"homeassistant/binary_sensor/gw/config", gateway, nullptr},
  };
  std::vector<discovery_rules::Config> configs;
  for (const Case &c : cases) configs.push_back({c.topic, c.payload});
  const auto faults = discovery_rules::check_configs(configs, "homeassistant");
  for (const Case &c : cases) {
    std::size_t found = 0;
    for (const std::string &fault : faults) found += fault.rfind(c.topic, 0) == 0 && (c.fault == nullptr || fault.find(c.fault) != std::string::npos);
    if (c.fault == nullptr) EXPECT_EQ(found, 0u) << c.topic;
    else EXPECT_GE(found, 1u) << c.topic << " should show " << c.fault;
  }
}

// A fresh folder for queue files, removed with everything in it.
struct TempFolder {
  TempFolder() {
    char name[] = "/tmp/mqtt_queue_XXXXXX";
    path = mkdtemp(name);
  }
  ~TempFolder() { std::system(("rm -rf " + path).c_str()); }
  std::string file(const char *name) const { return path + "/" + name; }
  std::string path;
};

TEST(OutboxTest, WritesNothingWhileTheBrokerTakesEverything) {
  TempFolder folder;
  Outbox box(folder.file("q.sqlite"), 100);
  std::int64_t sequence = box.next_sequence();
  const std::int64_t written = QueueFile::bytes_written();
  std::int64_t handed = 0;
  for (int i = 0; i < 3000; ++i) {
    box.push("t/" + std::to_string(i), std::string(200, 'x'), true);
    EXPECT_EQ(box.next_sequence(), ++sequence);
    for (const QueuedMessage &message : box.after(handed, 20)) {
      handed = message.id;
      box.remove(message.id);
    }
    box.maintain(true, 1000 + i);
  }
  EXPECT_EQ(box.size(), 0);
  EXPECT_EQ(QueueFile::bytes_written(), written) << "bytes written while the broker took every message";
  EXPECT_EQ(box.counters().dropped_total, 0);
}

TEST(OutboxTest, WhileTheBrokerIsAwayWritesBatchesKeepsOrderAndTheLimit) {
  TempFolder folder;
  const std::string path = folder.file("q.sqlite");
  std::int64_t sequence = 0;
  {
    Outbox box(path, 250);
    const std::int64_t written = QueueFile::bytes_written();
    for (int i = 1; i <= 99; ++i) box.push("t/" + std::to_string(i), std::string("p\0", 2) + std::to_string(i), i % 2 == 0);
    box.maintain(false, std::time(nullptr));
    EXPECT_EQ(QueueFile::bytes_written(), written) << "no batch before 100 messages or 5 s";
    box.maintain(false, std::time(nullptr) + Outbox::kBatchSeconds);
    EXPECT_GT(QueueFile::bytes_written(), written) << "a batch 5 s after the first message";
    EXPECT_EQ(box.in_memory(), 0);
    for (int i = 100; i <= 300; ++i) box.push("t/" + std::to_string(i), std::string("p\0", 2) + std::to_string(i), i % 2 == 0);
    box.maintain(false, std::time(nullptr) + Outbox::kBatchSeconds);
    EXPECT_EQ(box.size(), 250);
    EXPECT_EQ(box.counters().dropped_total, 50);
    const auto rows = box.after(0, 3);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].topic, "t/51");
    EXPECT_EQ(rows[0].payload, std::string("p\0", 2) + "51");
    EXPECT_FALSE(rows[0].retain);
    EXPECT_TRUE(rows[1].retain);
    box.remove(rows[0].id);  // acknowledged once the broker was back
    box.remove(rows[2].id);
    EXPECT_EQ(box.size(), 248);
    EXPECT_EQ(box.after(rows[0].id, 1).at(0).topic, "t/52") << "an acknowledged row is not handed out again";
    EXPECT_EQ(box.after(rows[1].id, 1).at(0).topic, "t/54");
    box.save_sensor("S1", R"({"id":"S1"})", true, true);
    sequence = box.next_sequence();
  }
  Outbox box(path, 250);
  EXPECT_EQ(box.size(), 248);
  EXPECT_EQ(box.after(0, 1).at(0).topic, "t/52");
  EXPECT_EQ(box.counters().dropped, 50) << "drops not yet told survive a restart";
  EXPECT_EQ(box.next_sequence(), sequence + 1);
  EXPECT_EQ(box.take_saved_sensors().at("S1").document, R"({"id":"S1"})");
}

// A crash (no destructor) keeps every batch written before it and never gives a number twice.
TEST(OutboxTest, ACrashLosesNoWrittenBatchAndRepeatsNoNumber) {
  TempFolder folder;
  const std::string path = folder.file("q.sqlite");
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    auto *box = new Outbox(path, 1000);
    box->maintain(false, std::time(nullptr));
    for (int i = 0; i < 150; ++i) box->push("t", "p", false);
    for (int i = 0; i < 5; ++i) box->next_sequence();
    _exit(0);
  }
  int status = 0;
  waitpid(child, &status, 0);
  Outbox box(path, 1000);
  EXPECT_EQ(box.size(), 100) << "the batch of 100 written while away";
  EXPECT_GT(box.next_sequence(), 5);
}

TEST(OutboxTest, AQueueFileThatCannotBeReadIsMovedAsideAndAFreshOneStarted) {
  TempFolder folder;
  const std::string path = folder.file("q.sqlite");
  {
    Outbox box(path, 1000);
    for (int i = 0; i < 200; ++i) box.push("t/" + std::to_string(i), std::string(500, 'v'), false);
    box.flush(std::time(nullptr));
  }
  struct stat info {};
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  std::system(("cp " + path + " " + path + ".good").c_str());
  for (const std::string damage : {"garbage", "truncated"}) {
    if (damage == "garbage") {
      std::ofstream(path, std::ios::in | std::ios::out | std::ios::binary) << "this is no database at all";
    } else {
      std::system(("cp " + path + ".good " + path).c_str());
      ASSERT_EQ(truncate(path.c_str(), info.st_size / 2), 0);
    }
    Outbox box(path, 1000);
    EXPECT_TRUE(box.file_ok()) << damage;
    EXPECT_EQ(box.size(), 0) << damage;
    EXPECT_EQ(access((path + ".bad").c_str(), F_OK), 0) << damage << ": the damaged file is kept aside";
    box.push("t", "after", false);
    box.flush(std::time(nullptr));
    EXPECT_EQ(box.after(0, 5).size(), 1u) << damage;
  }
  // No file at all (no folder): the queue works in memory and says the file is not usable.
  Outbox box(folder.file("missing/q.sqlite"), 3);
  EXPECT_FALSE(box.file_ok());
  for (int i = 0; i < 5; ++i) box.push("t/" + std::to_string(i), "p", false);
  box.maintain(false, std::time(nullptr) + 60);
  EXPECT_EQ(box.size(), 3);
  EXPECT_EQ(box.after(0, 5).at(0).topic, "t/2");
  EXPECT_EQ(box.counters().dropped_total, 2);
  EXPECT_EQ(box.counters().unsaved, 3);
}

TEST(SensorListTest, ReadsTheCommittedListInProcessAndAgainWhenItChanges) {
  const auto sensors = parse_sensor_list(
      "\nconfig Coprocessor\n\toption StartCount '3'\n"
      "config 00124B0001A2B301\n\toption ShortAddress '0001'\n\toption DeviceName 'Kid'\\''s room' # a comment\n"
      "\toption EventInterval '60'\n\toption EventIntervalUserWanted \"120\"\n"
      "config '00124b0001a2b302'\n\toption ShortAddress 0002\n\toption DeviceName \"Hall \\\"A\\\"\"\n"
      "config 00124B0001A2B303\n\toption ModelVersion '1.0'\n");
  ASSERT_EQ(sensors.size(), 3u);
  EXPECT_EQ(sensors.at("00124B0001A2B301").name, "Kid's room");
  EXPECT_EQ(sensors.at("00124B0001A2B301").interval, 60);
  EXPECT_EQ(sensors.at("00124B0001A2B301").interval_wanted, 120);
  EXPECT_EQ(sensors.at("00124B0001A2B302").short_address, "0002");
  EXPECT_EQ(sensors.at("00124B0001A2B302").name, "Hall \"A\"");
  EXPECT_EQ(sensors.at("00124B0001A2B303").short_address, "");

  TempFolder folder;
  const std::string path = folder.file("sensorlist");
  SensorList list(path);
  EXPECT_FALSE(list.knows("00124B0001A2B301")) << "no file, no sensor";
  std::ofstream(path) << "config 00124B0001A2B301\n\toption ShortAddress '0001'\n";
  EXPECT_TRUE(list.knows("00124b0001a2b301"));
  EXPECT_FALSE(list.knows("00124B0001A2B3;x"));
  std::ofstream(path + ".new") << "config 00124B0001A2B302\n\toption ShortAddress '0002'\n";
  std::rename((path + ".new").c_str(), path.c_str());  // as the configuration tool commits
  EXPECT_FALSE(list.knows("00124B0001A2B301"));
  EXPECT_TRUE(list.knows("00124B0001A2B302"));
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
  EXPECT_FALSE(config.tls);
  EXPECT_EQ(config.qos, 1);
  EXPECT_TRUE(config.retain);
  EXPECT_EQ(config.protocol, 4);
}

TEST(AgentConfigTest, RefusesBrokerOwnTopicsAndTakesTheConnectionSettings) {
  struct Case {
    std::map<std::string, std::string> options;
    const char *warning;  // a part of the warning; nullptr for none
  };
  const Case cases[] = {
      {{{"base_topic", "$SYS/vorn"}}, "base_topic '$SYS/vorn' refused"},
      {{{"discovery_prefix", "$share/x"}}, "discovery_prefix '$share/x' refused"},
      {{{"cert_file", "/etc/c.pem"}}, "cert_file and key_file go together"},
      {{{"protocol", "6"}}, "neither 3.1.1 nor 5"},
      {{{"qos", "3"}}, "qos"},
      {{{"max_payload", "10"}}, "max_payload"},
      {{{"tls", "1"}, {"protocol", "5"}, {"qos", "0"}, {"retain", "0"}, {"keepalive", "120"}, {"command_rate", "5"},
        {"command_burst", "50"}, {"max_payload", "1024"}, {"cert_file", "/c.pem"}, {"key_file", "/k.pem"}},
       nullptr},
  };
  for (const Case &c : cases) {
    std::string warnings;
    const AgentConfig config = config_from_options(c.options, warnings);
    if (c.warning == nullptr) {
      EXPECT_EQ(warnings, "");
      EXPECT_TRUE(config.tls);
      EXPECT_EQ(config.protocol, 5);
      EXPECT_EQ(config.qos, 0);
      EXPECT_FALSE(config.retain);
      EXPECT_EQ(config.keepalive, 120);
      EXPECT_EQ(config.command_rate, 5);
      EXPECT_EQ(config.command_burst, 50);
      EXPECT_EQ(config.inbound_limit, 1024u);
      EXPECT_EQ(config.key_file, "/k.pem");
    } else {
      EXPECT_NE(warnings.find(c.warning), std::string::npos) << warnings;
      EXPECT_EQ(config.base_topic, "vorn");
      EXPECT_EQ(config.discovery_prefix, "homeassistant");
      EXPECT_TRUE(config.cert_file.empty());
    }
  }
  std::string warnings;
  EXPECT_TRUE(config_from_options({{"ca_file", "/ca.pem"}}, warnings).tls) << "a CA file means TLS";

  TempFolder folder;
  const std::string secret = folder.file("vorn_mqtt");
  std::ofstream(secret) << "option password 'x'\n";
  chmod(secret.c_str(), 0644);
  EXPECT_NE(secret_file_warning(secret, "the broker password").find("every user can read it"), std::string::npos);
  chmod(secret.c_str(), 0600);
  EXPECT_EQ(secret_file_warning(secret, "the broker password"), "");
}

}  // namespace
}  // namespace mqtt_agent
