// Type codes to channel names through the units map: restoring the map, which elements count,
// and the numbering of channels that share a type.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "../daemon/test_support.h"
#include "cloud/units_map.h"

namespace vorn::cloud {
namespace {

using vorn::test::shell;

std::pair<std::string, std::string> lookup(int code) {
  ChannelLabel label{};
  label.type = static_cast<std::uint8_t>(code);
  lookup_units_map(&label);
  return {label.name, label.type_text};
}

std::vector<std::string> display_names(std::initializer_list<int> types, int extra_index = -1) {
  shared::SensorReport report{};
  for (int type : types) report.channel_types[report.channel_count++] = static_cast<std::uint8_t>(type);
  std::vector<std::string> names;
  for (int i = 0; i < report.channel_count; ++i) {
    ChannelLabel label{};
    channel_display_name(&report, i, &label);
    names.push_back(label.name);
  }
  if (extra_index >= 0) {
    ChannelLabel untouched{};
    untouched.type = 99;
    channel_display_name(&report, extra_index, &untouched);
    names.push_back(untouched.type == 99 && untouched.name[0] == '\0' ? "untouched" : "written");
  }
  return names;
}

TEST(UnitsMap, MissingMapIsRestoredFromTheFactoryCopy) {
  std::remove(kUnitsMapPath);
  EXPECT_EQ(lookup(4), std::make_pair(std::string("Barometer"), std::string("Barometric Pressure")));
  EXPECT_EQ(shell(std::string("cmp -s ") + kUnitsMapPath + " " + kFactoryUnitsMapPath + " && echo same"), "same\n");
  EXPECT_EQ(display_names({1, 2, 1, 1}, 4),
            (std::vector<std::string>{"Temperature1", "Humidity", "Temperature2", "Temperature3", "untouched"}));
  EXPECT_EQ(display_names({1, 2}), (std::vector<std::string>{"Temperature", "Humidity"}));
}

TEST(UnitsMap, OnlyCompleteElementsCountAndTheFirstMatchWins) {
  const std::string long_name = "ThirtyOneCharacterChannelNameXY";  // 31 characters
  struct Case {
    const char *what;
    std::string map;
    std::vector<std::pair<int, std::pair<std::string, std::string>>> lookups;
  } cases[] = {
      {"elements",
       R"([{"UID":1,"Index":5,"IPSO":1,"Name":"NoUnit","Type":"x"},)"
       R"({"UID":"2","Index":5,"IPSO":1,"Name":"TextUID","Type":"x","Unit":[]},)"
       R"({"UID":3,"Index":5,"IPSO":1,"Name":7,"Type":"x","Unit":[]}, 42,)"
       R"({"UID":4,"Index":5,"IPSO":1,"Name":"Fifth","Type":"Five","Unit":[]},)"
       R"({"UID":5,"Index":5,"IPSO":1,"Name":"Later","Type":"Later","Unit":[]},)"
       R"({"UID":6,"Index":261,"IPSO":1,"Name":"Wide","Type":"Wide","Unit":[]},)"
       R"({"UID":7,"Index":7,"IPSO":1,"Name":")" + long_name + R"(","Type":"Seven","Unit":["u"]}])" "\n",
       {{5, {"Fifth", "Five"}}, {200, {"Unknown", "200"}}, {7, {long_name, "Seven"}}}},
      {"not an array", R"({"UID":4,"Index":5,"IPSO":1,"Name":"Fifth","Type":"Five","Unit":[]})", {{5, {"Unknown", "5"}}}},
      {"not JSON", "[{\"UID\":4,", {{5, {"", ""}}}},
      {"trailing garbage", "[] x", {{5, {"", ""}}}},
      {"empty file", "", {{5, {"", ""}}}},
  };
  for (const Case &c : cases) {
    std::ofstream(kUnitsMapPath, std::ios::trunc) << c.map;
    for (const auto &[code, expected] : c.lookups) EXPECT_EQ(lookup(code), expected) << c.what << ", code " << code;
    if (c.lookups[0].second.first == "Fifth") {
      EXPECT_EQ(display_names({5, 7, 5, 7}), (std::vector<std::string>{"Fifth1", long_name, "Fifth2", long_name}))
          << "a 31-character name has no room for its number";
    }
  }
  std::remove(kUnitsMapPath);
}

// The main process keeps the map parsed for the handlers it forks; a handler must still see the
// file as it is when it runs: changed or removed after the main process parsed it.
TEST(UnitsMap, HandlersInheritTheParsedMapButFollowTheFile) {
  const auto map_naming = [](const char *name) {
    std::ofstream(kUnitsMapPath, std::ios::trunc)
        << R"([{"UID":1,"Index":5,"IPSO":1,"Name":")" << name << R"(","Type":"T","Unit":[]}])";
  };
  const auto name_in_child = [](int code) {
    int fds[2];
    if (pipe(fds) != 0) return std::string("no pipe");
    const pid_t child = fork();
    if (child == 0) {
      const std::string name = lookup(code).first;
      (void)!write(fds[1], name.data(), name.size());
      _exit(0);
    }
    close(fds[1]);
    char text[64] = {};
    (void)!read(fds[0], text, sizeof text - 1);
    close(fds[0]);
    waitpid(child, nullptr, 0);
    return std::string(text);
  };
  map_naming("Before");
  keep_units_map_parsed();
  EXPECT_EQ(name_in_child(5), "Before");
  map_naming("AfterTheParse");  // another size, so a change however coarse the file clock
  EXPECT_EQ(name_in_child(5), "AfterTheParse");
  std::remove(kUnitsMapPath);
  keep_units_map_parsed();  // a missing map is not restored here...
  EXPECT_NE(access(kUnitsMapPath, F_OK), 0);
  EXPECT_EQ(name_in_child(4), "Barometer");  // ...but by the handler's lookup
  std::remove(kUnitsMapPath);
}

}  // namespace
}  // namespace vorn::cloud
