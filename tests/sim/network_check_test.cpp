// The network file check: each kind of bad file or bad sensor gets one line that names the file,
// the sensor and the field; a sound file (the shipped example among them) gets none.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "network_check.h"

namespace sim {
namespace {

std::string sensor(const std::string &ext, const std::string &short_address, const std::string &extra = "") {
  return R"({"ExtAddress":")" + ext + R"(","ShortAddress":")" + short_address + R"(",)" + extra +
         R"("Channels":[{"Name":"Temperature","Type":1,"Unit":"C"}]})";
}

std::string network(const std::vector<std::string> &sensors) {
  std::string text = R"({"TimeScale":20,"Sensors":[)";
  for (std::size_t i = 0; i < sensors.size(); ++i) text += (i ? "," : "") + sensors[i];
  return text + "]}";
}

std::string joined(const std::vector<std::string> &lines) {
  std::string text;
  for (const std::string &line : lines) text += line + "\n";
  return text;
}

TEST(NetworkCheck, EachFaultIsNamedWithFileSensorAndField) {
  const std::string a = "00124B0001A2B301", b = "00124B0001A2B302";
  struct Case {
    const char *what;
    std::string text;
    std::vector<std::string> expected;  // the whole set of lines, in order
  };
  std::vector<std::string> many;
  for (int i = 1; i <= 101; ++i) {
    char ext[17], short_address[5];
    std::snprintf(ext, sizeof ext, "00124B0001A2%04X", i);
    std::snprintf(short_address, sizeof short_address, "%04X", i % 100 + 1);
    many.push_back(sensor(ext, short_address));
  }
  const Case cases[] = {
      {"sound", network({sensor(a, "0001"), sensor(b, "0064", R"("EventInterval":30,"Silent":true,)")}), {}},
      {"no Sensors: the default network", R"({"TimeScale":5})", {}},
      {"invalid JSON", "{\"Sensors\": [\n  {\"ExtAddress\": }\n]}", {"net.json: not valid JSON near line 2: unexpected character"}},
      {"cut short", R"({"Sensors":[)", {"net.json: not valid JSON near line 1: unexpected end of data"}},
      {"trailing text", "{}\n}", {"net.json: not valid JSON: more text after the object, line 2"}},
      {"not an object", "[1,2]", {"net.json: must hold one JSON object ({\"Sensors\": [...], ...})"}},
      {"top-level type", R"({"Sensors":{},"TimeScale":"fast"})",
       {"net.json: Sensors: must be a list", "net.json: TimeScale: must be a number"}},
      {"missing fields", network({R"({"ShortAddress":"0001","Intervall":5})"}),
       {"net.json: sensor 1: ExtAddress: missing", "net.json: sensor 1: Channels: missing",
        "net.json: sensor 1: Intervall: unknown field"}},
      {"wrong types", network({sensor(a, "0001", R"("EventInterval":"60","Silent":1,)")}),
       {"net.json: sensor 1 (00124B0001A2B301): EventInterval: must be a whole number",
        "net.json: sensor 1 (00124B0001A2B301): Silent: must be true or false"}},
      {"bad channel", network({R"({"ExtAddress":")" + a + R"(","ShortAddress":1,"Channels":[{"Name":"T","Type":"1"},5]})"}),
       {"net.json: sensor 1 (00124B0001A2B301): Channels 1: Type: must be a whole number",
        "net.json: sensor 1 (00124B0001A2B301): Channels 2: must be an object"}},
      {"value out of range", network({sensor(a, "0001", R"("EventInterval":0,)")}),
       {"net.json: sensor 1 (00124B0001A2B301): EventInterval must be 1 to 65535 s"}},
      {"bad address text", network({sensor("00124B0001A2B3", "0001")}),
       {"net.json: sensor 1 (00124B0001A2B3): ExtAddress must be 16 hexadecimal digits"}},
      {"short address the gateway cannot hold", network({sensor(a, "0065")}),
       {"net.json: sensor 1 (00124B0001A2B301): ShortAddress: the gateway holds short addresses 0001 to 0064 (1 to 100)"}},
      {"duplicate extended address", network({sensor(a, "0001"), sensor("00124b0001a2b301", "0002")}),
       {"net.json: sensor 2 (00124b0001a2b301): ExtAddress: 00124B0001A2B301 is also sensor 1's"}},
      {"duplicate short address, text and number", network({sensor(a, "000A"), R"({"ExtAddress":")" + b +
                                                                                  R"(","ShortAddress":10,"Channels":[{"Name":"T","Type":1,"Unit":"C"}]})"}),
       {"net.json: sensor 2 (00124B0001A2B302): ShortAddress: 000A is also sensor 1's"}},
      {"more sensors than the gateway holds", network(many),
       {"net.json: Sensors: 101 sensors, but the gateway holds at most 100",
        "net.json: sensor 101 (00124B0001A20065): ShortAddress: 0002 is also sensor 1's"}},
  };
  for (const Case &c : cases) EXPECT_EQ(joined(check_network_text(c.text, "net.json")), joined(c.expected)) << c.what;
}

TEST(NetworkCheck, FilesThatCannotBeReadAndTheShippedExample) {
  EXPECT_EQ(joined(check_network_file("/nonexistent/net.json")),
            "/nonexistent/net.json: cannot be read: No such file or directory\n");
  EXPECT_EQ(joined(check_network_file("/")), "/: cannot be read: not a regular file\n");
  EXPECT_EQ(joined(check_network_file(VORN_SOURCE_DIR "/sim/collector/examples/small_network.json")), "");
}

}  // namespace
}  // namespace sim
