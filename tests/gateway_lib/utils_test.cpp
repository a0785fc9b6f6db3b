// Utilities, sensor facts read through uci, and the platform settings read through uci (the
// sandbox's /etc/config/gateway has register_name, cloud_ubus_name cloud_agent and region 10).
#include <gateway_lib/gateway_lib.h>
#include <gtest/gtest.h>
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace {

constexpr const char *kSensor = "00124B0001020304";
constexpr const char *kModelCommand = "uci get sensorlist.@%s[0].ModelName";

int sh(const std::string &command) { return std::system(command.c_str()); }

// get_path_value on a file holding content, with a buffer of size bytes.
std::pair<int, std::string> first_line(const std::string &content, int size = 20) {
    std::ofstream("/tmp/value", std::ios::binary | std::ios::trunc) << content;
    std::string buf(static_cast<std::size_t>(size), '#');
    const int rc = get_path_value("/tmp/value", size, buf.data());
    return {rc, buf.c_str()};
}

TEST(Utils, HexDigitsAndPrintableNames) {
    EXPECT_EQ(9, hex_to_dec('9'));
    EXPECT_EQ(10, hex_to_dec('a'));
    EXPECT_EQ(15, hex_to_dec('F'));
    for (char c : {'g', 'G', ' ', '\0', '/', ':', '@', '`'}) EXPECT_EQ(0, hex_to_dec(c)) << int(c);

    EXPECT_EQ(1, check_ascii("Boiler room 2 ~", 15));
    EXPECT_EQ(0, check_ascii("", 0)) << "an empty name is unfit";
    EXPECT_EQ(0, check_ascii(nullptr, 4));
    EXPECT_EQ(0, check_ascii("ab\x01", 3));
    EXPECT_EQ(0, check_ascii("ab\x7f", 3));
    EXPECT_EQ(0, check_ascii("\xc3\xa9t\xc3\xa9", 6)) << "bytes above 0x7E";
    EXPECT_EQ(1, check_ascii("ok\x01", 2)) << "only len bytes are looked at";
}

TEST(Utils, FirstLineOfAFile) {
    using Result = std::pair<int, std::string>;
    EXPECT_EQ(Result(0, "1.2.3.4"), first_line("1.2.3.4\r\nsecond\r\n"));
    EXPECT_EQ(Result(0, "5.6"), first_line("5.6\n"));
    EXPECT_EQ(Result(0, "7.8"), first_line("7.8"));
    EXPECT_EQ(Result(0, ""), first_line(""));
    EXPECT_EQ(Result(0, std::string(19, 'x')), first_line(std::string(5000, 'x') + "\n")) << "cut to size-1";
    EXPECT_EQ(Result(0, std::string(19, 'y')), first_line(std::string(19, 'y') + "\r\n")) << "a full-length CRLF line";
    EXPECT_EQ(-1, first_line("x", 0).first);

    char buf[20] = "stale";
    EXPECT_EQ(-1, get_path_value("/tmp/no-such-file", sizeof buf, buf));
    EXPECT_STREQ("", buf);
    EXPECT_EQ(-1, get_path_value("/tmp", sizeof buf, buf)) << "a folder has no value";
    ASSERT_EQ(0, mkfifo("/tmp/fifo", 0600));
    EXPECT_EQ(-1, get_path_value("/tmp/fifo", sizeof buf, buf)) << "a FIFO must not block the caller";

    EXPECT_EQ(1, isFileExisted("/tmp/value"));
    EXPECT_EQ(1, isFileExisted("/tmp"));
    EXPECT_EQ(0, isFileExisted("/tmp/no-such-file"));
}

TEST(Utils, VersionThresholds) {
    const struct {
        const char *version, *threshold;
        int passes;
    } cases[] = {
        {"2.5.2.4", "2.5.2.4", 1},   {"2.5.2.10", "2.5.2.4", 1},  {"3.0.0.0", "2.5.2.4", 1},
        {"002.05.02.04", "2.5.2.4", 1}, {"2.5.2.3", "2.5.2.4", 0}, {"5.0.0.0", "5.1.0.7", 0},
        {"2.4.99.99", "2.5.0.0", 0}, {"2.5", "2.5.2.4", 0},       {"2.5.2.4.1", "2.5.2.4", 0},
        {"a.b.c.d", "2.5.2.4", 0},   {"", "2.5.2.4", 0},          {"2..2.4", "2.5.2.4", 0},
        {"2.5.2.", "2.5.2.4", 0},    {"-2.5.2.4", "2.5.2.4", 0},  {"2.5.2.4 ", "2.5.2.4", 0},
        {"9.9.9.99999999999", "2.5.2.4", 0},  // overflow
        {"9.9.9.9", "x", 0},                  // a malformed threshold fails too
    };
    for (const auto &c : cases) {
        EXPECT_EQ(c.passes, above_checking_ver(c.version, c.threshold, ".", 4) != 0) << c.version << " vs " << c.threshold;
    }
    EXPECT_EQ(0, above_checking_ver(nullptr, "2.5.2.4", ".", 4));
    EXPECT_EQ(0, above_checking_ver("2.5.2.4", "2.5.2.4", "", 4));
    EXPECT_EQ(0, above_checking_ver("2.5.2.4", "2.5.2.4", ".", 0));
}

class Uci : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string section = std::string("sensorlist.@") + kSensor + "[]";
        sh("rm -f /tmp/ran_*");
        ASSERT_EQ(0, sh("uci -q delete " + section + " 2>/dev/null; uci add sensorlist " + kSensor + " >/dev/null && " +
                        "uci set " + section + ".ShortAddress=001A && uci set " + section + ".ModelName=QX-12.3 && " +
                        "uci commit sensorlist"));
    }
};

TEST_F(Uci, SensorFactsComeFromSensorlist) {
    char model[128] = "stale", small[4];
    EXPECT_EQ(0, GetSensorModelName(kSensor, model, kModelCommand, sizeof model));
    EXPECT_STREQ("QX-12.3", model);
    EXPECT_EQ(0, GetCurrentSensorVer(kSensor, small, kModelCommand, sizeof small));
    EXPECT_STREQ("QX-", small);
    EXPECT_EQ(0, GetSensorModelName("00124B00FFFFFFFF", model, kModelCommand, sizeof model));
    EXPECT_STREQ("", model) << "an unknown sensor has no model";

    char *text = nullptr;
    ASSERT_EQ(0, GetShortAddrStr(kSensor, &text));
    EXPECT_STREQ("001A", text);
    std::free(text);
    EXPECT_EQ(0x1A, GetSensorShortAddr(kSensor));
    EXPECT_EQ(-1, GetShortAddrStr("00124B00FFFFFFFF", &text));
    EXPECT_EQ(nullptr, text);
    EXPECT_EQ(0, GetSensorShortAddr("00124B00FFFFFFFF"));

    // A ShortAddress that is not 4 hex digits is no address (it would end up in a file path).
    sh(std::string("uci set sensorlist.@") + kSensor + "[].ShortAddress='../x' && uci commit sensorlist");
    EXPECT_EQ(-1, GetShortAddrStr(kSensor, &text));
    EXPECT_EQ(0, GetSensorShortAddr(kSensor));
}

TEST_F(Uci, UncheckedInputNeverReachesTheShell) {
    char buf[64] = "stale";
    const char *probe = "touch /tmp/ran_%s";
    EXPECT_EQ(0, GetSensorModelName(kSensor, buf, probe, sizeof buf));
    EXPECT_EQ(0, sh(std::string("rm /tmp/ran_") + kSensor)) << "a checked call runs the command";

    for (const char *bad_id : {"00124B000102030", "00124B0001020304;touch /tmp/ran_x", "$(touch /tmp/ran_y)0000",
                               static_cast<const char *>(nullptr)}) {
        std::strcpy(buf, "stale");
        EXPECT_EQ(-1, GetSensorModelName(bad_id, buf, probe, sizeof buf));
        EXPECT_STREQ("", buf);
        char *text = nullptr;
        EXPECT_EQ(-1, GetShortAddrStr(bad_id, &text));
    }
    for (const char *bad_template : {"touch /tmp/ran_%s_%d", "touch /tmp/ran_%s_%s", "touch /tmp/ran_none",
                                     "touch /tmp/ran_%s%", "touch /tmp/ran_%%s", static_cast<const char *>(nullptr)}) {
        EXPECT_EQ(-1, GetCurrentSensorVer(kSensor, buf, bad_template, sizeof buf));
    }
    EXPECT_EQ(0, sh("! ls /tmp/ran_* >/dev/null 2>&1")) << "nothing was run";
}

TEST(Settings, ReadFromTheGatewayPackage) {
    char id[24];
    char *name = nullptr, *other = nullptr;
    mp_info_record mp{};
    system_settings_record settings{};
    settings.cloud_ready = 99;
    ASSERT_EQ(0, get_register_name(id));
    EXPECT_STREQ("GW00124B00A1B2C3", id);
    ASSERT_EQ(0, get_cloud_ubus_name(&name));
    EXPECT_STREQ("cloud_agent", name);
    EXPECT_EQ(1, get_mp_info(&mp));
    EXPECT_EQ(10, mp.region);
    EXPECT_EQ(1, get_system_settings(&settings));
    EXPECT_EQ(0, settings.cloud_ready) << "absent means not ready";

    // Changed values are seen at once; a name handed out earlier stays valid.
    ASSERT_EQ(0, sh("uci set gateway.main.register_name=GW-ABCDEFGHIJKLMNOPQRSTUVWXYZ && "
                    "uci set gateway.main.cloud_ubus_name=other_agent && uci set gateway.main.region=-1 && "
                    "uci set gateway.main.cloud_ready=1 && uci commit gateway"));
    EXPECT_EQ(0, get_register_name(id));
    EXPECT_STREQ("GW-ABCDEFGHIJKLMNOPQRST", id) << "cut to 23 characters";
    ASSERT_EQ(0, get_cloud_ubus_name(&other));
    EXPECT_STREQ("other_agent", other);
    EXPECT_STREQ("cloud_agent", name);
    EXPECT_EQ(1, get_mp_info(&mp));
    EXPECT_EQ(-1, mp.region);
    EXPECT_EQ(1, get_system_settings(&settings));
    EXPECT_EQ(1, settings.cloud_ready);

    // Absent or malformed values.
    ASSERT_EQ(0, sh("uci delete gateway.main.register_name && uci delete gateway.main.cloud_ubus_name && "
                    "uci set gateway.main.region=10x && uci commit gateway"));
    EXPECT_EQ(-1, get_register_name(id));
    EXPECT_STREQ("", id);
    EXPECT_EQ(-1, get_cloud_ubus_name(&other));
    EXPECT_STREQ("other_agent", other) << "untouched";
    EXPECT_EQ(0, get_mp_info(&mp)) << "a region that is not a number is no region";
    EXPECT_EQ(-1, mp.region);
}

TEST(Settings, CommonLogAppendsOneLinePerCall) {
    std::remove("/tmp/common_log");
    ASSERT_EQ(0, add_common_log("vorn_mgr", 11));
    ASSERT_EQ(0, add_common_log("bad\nmodule", 12));
    std::ifstream in("/tmp/common_log");
    const std::string log((std::istreambuf_iterator<char>(in)), {});
    // "YYYY-MM-DD HH:MM:SS vorn_mgr 11\n", then the second line with its line break neutralised.
    ASSERT_EQ(2, std::count(log.begin(), log.end(), '\n')) << log;
    EXPECT_EQ(" vorn_mgr 11\n", log.substr(19, 13)) << log;
    EXPECT_EQ("-- ::", std::string({log[4], log[7], log[10], log[13], log[16]}));
    EXPECT_NE(std::string::npos, log.find(" bad?module 12\n"));
}

int open_descriptors() {
    int count = 0;
    if (DIR *dir = opendir("/proc/self/fd")) {
        while (readdir(dir) != nullptr) ++count;
        closedir(dir);
    }
    return count;
}

TEST(Resources, NoCallLeavesADescriptorOpen) {
    const channel_entry entry{"Temp", 1, "degC"};
    auto every_call = [&] {
        char text[64], *name = nullptr, *address = nullptr;
        int32_t size = 0;
        oad_obj *list = nullptr;
        set_error_flag(kSensor, &entry, 1);
        get_error_flag(kSensor, &entry);
        set_oad_sensor(kSensor, "fw.bin", 1, 0);
        free_oad_obj(&list, get_oad_list(&list));
        share_memory_write_noneblock(kSensor, "abc", 3, 10);
        std::free(share_memory_read_noneblock(kSensor, &size, 10));
        std::free(share_memory_read_then_clean_noneblock(kSensor, &size, 10));
        get_register_name(text);
        get_cloud_ubus_name(&name);
        GetSensorModelName(kSensor, text, kModelCommand, sizeof text);
        GetShortAddrStr(kSensor, &address);
        std::free(address);
        get_path_value("/etc/config/gateway", sizeof text, text);
        add_common_log("vorn_mgr", 11);
        middleware_obj obj{};
        middleware_entry rows{};
        create_middleware_obj(&obj, "/etc/config/cloud.sqlite");
        obj.query(obj.db, "SensorMeasurement", nullptr, 1, &rows);
        free_middleware_entry(&rows);
        destory_middleware_obj(&obj);
    };
    every_call();  // first use may open what stays open for the process's life (none expected)
    const int before = open_descriptors();
    for (int i = 0; i < 5; ++i) every_call();
    EXPECT_EQ(before, open_descriptors());
}

}  // namespace
