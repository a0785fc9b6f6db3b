// Start-up reconciliation: the DeviceList refilled from sensorlist, stale sections removed.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "device_fixture.h"
#include "devices/reconcile.h"

namespace vorn::devices {
namespace {

using namespace vorn::test;

TEST(ReconcileParsing, QuotedValueAndHexNumber) {
  char *value = nullptr;
  char *copy = quoted_value("00124B0001A2B3C4[0].ShortAddress='0003'\n", &value);
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(copy, value);
  EXPECT_STREQ(copy, "0003");
  std::free(copy);
  EXPECT_EQ(quoted_value("no quotes", &value), nullptr);
  EXPECT_EQ(quoted_value("one ' quote", &value), nullptr);
  EXPECT_EQ(hex_to_number(nullptr), 0u);
  EXPECT_EQ(hex_to_number("0065"), 0x65u);
  EXPECT_EQ(hex_to_number("fFfF"), 0xFFFFu);
  EXPECT_EQ(static_cast<std::uint16_t>(hex_to_number("123456")), 0x3456);
}

class Reconcile : public DeviceFixture {
 protected:
  std::string reconcile() { return capture_stdout([] { reconcile_sensor_list(); }); }
};

TEST_F(Reconcile, SensorsWithAModelVersionReturnToTheDeviceList) {
  add_section("00124B0001A2B3C4", "ShortAddress=0003 ModelVersion=2.5.2.4 EventInterval=300");
  add_section("0011223344556677", "ShortAddress=0064 ModelVersion=1.0.0.0");
  entry(0x64).EventInterval = 77;
  std::string out = reconcile();
  EXPECT_NE(out.find("Add - DeviceList[0x0003] = 00124B0001A2B3C4\n"), std::string::npos) << out;
  EXPECT_STREQ(entry(3).ModelVersion, "2.5.2.4");
  EXPECT_EQ(entry(3).EventInterval, 300);
  EXPECT_EQ(0, std::memcmp(entry(3).ExtAddress, kSensor, 8));
  EXPECT_EQ(entry(0x64).ShortAddress, 0x64);
  EXPECT_EQ(entry(0x64).EventInterval, 77) << "no EventInterval on record: left as it was";
  EXPECT_EQ(sections_of("00124B0001A2B3C4"), 1);
}

TEST_F(Reconcile, StaleSectionsAreDeletedOthersLeftAlone) {
  add_section("00124B0001A2B3C4", "ShortAddress=0003");                        // never described itself
  add_section("0011223344556677", "ShortAddress=0065 ModelVersion=2.5.2.4");  // cannot index the list
  add_section("AABBCCDDEEFF0011", "ShortAddress=0000 ModelVersion=2.5.2.4");  // address 0: skipped
  add_section("1122334455667788", "ModelVersion=2.5.2.4");                    // no ShortAddress
  reconcile();
  EXPECT_EQ(sections_of("00124B0001A2B3C4"), 0);
  EXPECT_EQ(sections_of("0011223344556677"), 0);
  EXPECT_EQ(sections_of("AABBCCDDEEFF0011"), 1);
  EXPECT_EQ(sections_of("1122334455667788"), 1);
  for (int i = 0; i <= 100; ++i) EXPECT_EQ(entry(i).ShortAddress, 0) << i;
}

TEST_F(Reconcile, LongVersionIsCutToItsField) {
  add_section("00124B0001A2B3C4", "ShortAddress=0003 ModelVersion=1234.5678.9012.3456");
  reconcile();
  EXPECT_STREQ(entry(3).ModelVersion, "1234.5678.9012.");
  EXPECT_EQ(entry(3).SensorVersion[0], '\0') << "the next field is untouched";
}

TEST_F(Reconcile, EmptyListOrCoprocessorOnlyChangesNothing) {
  EXPECT_EQ(reconcile(), "");
  std::system("uci -q add sensorlist Coprocessor >/dev/null; uci set sensorlist.@Coprocessor[].StartCount=0;"
              "uci commit sensorlist");
  EXPECT_EQ(reconcile(), "");
  EXPECT_EQ(uci_get("sensorlist.@Coprocessor[].StartCount"), "0");
}

}  // namespace
}  // namespace vorn::devices
