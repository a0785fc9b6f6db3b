// Sensor registry, alarm flags and download records: contracts, id checks, persistence across
// processes and crashes, and concurrent writers.
#include <gateway_lib/gateway_lib.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"

namespace {

constexpr const char *kSensor = "00124B0001020304";
constexpr const char *kOther = "00124B00A0B0C0D0";

channel_entry channel(const char *name, uint8_t type, const char *unit = "degC") {
    channel_entry entry{};
    std::memcpy(entry.name, name, std::min(std::strlen(name), sizeof entry.name - 1));
    entry.type = type;
    std::memcpy(entry.unit, unit, std::min(std::strlen(unit), sizeof entry.unit - 1));
    return entry;
}

std::string numbered_id(int n) {
    char id[17];
    std::snprintf(id, sizeof id, "00AA%012X", n);
    return id;
}

class Store : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char *suffix : {"", "-wal", "-shm"}) std::remove((std::string("/etc/config/gateway_platform.sqlite") + suffix).c_str());
    }
};

TEST_F(Store, BadSensorIdsAreRefusedAndNeverStored) {
    const channel_entry entry = channel("Temp", 1);
    for (const char *bad : {"", "00124B000102030", "00124B00010203045", "00124B000102030G", "00124B00 1020304",
                            "../../etc/passwd", static_cast<const char *>(nullptr)}) {
        SCOPED_TRACE(bad == nullptr ? "null" : bad);
        EXPECT_EQ(-1, register_sensor(bad));
        EXPECT_EQ(0, is_sensor_registered(bad));
        EXPECT_EQ(-1, set_error_flag(bad, &entry, 1));
        EXPECT_EQ(0, get_error_flag(bad, &entry));
        EXPECT_EQ(-1, set_oad_sensor(bad, "/tmp/fw.bin", 1, 0));
        EXPECT_EQ(-1, set_upgrade_sensor(bad, "/tmp/fw.bin", 1, 0));
        char *id = const_cast<char *>(bad);
        EXPECT_EQ(-1, update_sensor_active_time(&id));
    }
    oad_obj *list = nullptr;
    EXPECT_EQ(0, get_oad_list(&list));
    EXPECT_EQ(nullptr, list);
}

TEST_F(Store, RegistryKeepsRegistrationActiveTimeAndDeadBand) {
    // Marking a sensor active does not register it.
    char *id = const_cast<char *>(kSensor);
    ASSERT_EQ(0, update_sensor_active_time(&id));
    EXPECT_EQ(0, is_sensor_registered(kSensor));
    EXPECT_GE(get_sensor_active_time(kSensor), static_cast<long>(time(nullptr)) - 5);
    sqlite3 *db = nullptr;  // a time past 2038 comes back whole, also where long has 32 bits
    ASSERT_EQ(SQLITE_OK, sqlite3_open("/etc/config/gateway_platform.sqlite", &db));
    EXPECT_EQ(SQLITE_OK, sqlite3_exec(db, "UPDATE sensors SET active_time = 4102444800", nullptr, nullptr, nullptr));
    sqlite3_close(db);
    EXPECT_EQ(4102444800LL, get_sensor_active_time(kSensor));

    ASSERT_EQ(0, register_sensor(kSensor));
    ASSERT_EQ(0, set_deadband_threshold(kSensor, -7));
    EXPECT_NE(0, is_sensor_registered("00124b0001020304")) << "ids are compared without regard to case";
    EXPECT_EQ(-7, get_deadband_threshold(kSensor));

    ASSERT_EQ(0, unregister_sensor(kSensor));
    EXPECT_EQ(0, is_sensor_registered(kSensor));
    EXPECT_EQ(0, get_deadband_threshold(kSensor));
}

TEST_F(Store, AlarmFlagsAreKeyedBySensorChannelNameAndType) {
    const channel_entry temp = channel("Temp", 1);
    ASSERT_EQ(0, set_error_flag(kSensor, &temp, 1));
    EXPECT_EQ(1, get_error_flag(kSensor, &temp));
    EXPECT_EQ(0, get_error_flag(kOther, &temp));
    const channel_entry other_type = channel("Temp", 2), longer_name = channel("Temp2", 1),
                        other_unit = channel("Temp", 1, "degF");
    EXPECT_EQ(0, get_error_flag(kSensor, &other_type)) << "type is part of the key";
    EXPECT_EQ(0, get_error_flag(kSensor, &longer_name)) << "the whole name is part of the key";
    EXPECT_EQ(1, get_error_flag(kSensor, &other_unit)) << "the unit is not";

    // Bytes after the terminator are not part of the name.
    channel_entry garbage_tail = temp;
    std::memcpy(garbage_tail.name + 5, "XXXXXXXXXXXX", 12);
    EXPECT_EQ(1, get_error_flag(kSensor, &garbage_tail));

    ASSERT_EQ(0, set_error_flag(kSensor, &temp, 0));
    EXPECT_EQ(0, get_error_flag(kSensor, &temp));

    // Deleting forgets all flags of that sensor and no other's.
    ASSERT_EQ(0, set_error_flag(kSensor, &temp, 1));
    ASSERT_EQ(0, set_error_flag(kSensor, &other_type, 1));
    ASSERT_EQ(0, set_error_flag(kOther, &temp, 1));
    ASSERT_EQ(0, delete_error_flag(kSensor));
    EXPECT_EQ(0, get_error_flag(kSensor, &temp));
    EXPECT_EQ(0, get_error_flag(kSensor, &other_type));
    EXPECT_EQ(1, get_error_flag(kOther, &temp));
}

TEST_F(Store, UnterminatedChannelNameIsReadWithinItsField) {
    // The entry sits at the very end of an allocation of exactly 23 bytes, so a read past the
    // name field or the entry would be caught by AddressSanitizer.
    auto *raw = static_cast<channel_entry *>(std::malloc(sizeof(channel_entry)));
    std::memset(raw->name, 'N', sizeof raw->name);
    raw->type = 9;
    std::memcpy(raw->unit, "UUUUU", sizeof raw->unit);
    EXPECT_EQ(0, set_error_flag(kSensor, raw, 1));
    EXPECT_EQ(1, get_error_flag(kSensor, raw));
    std::free(raw);
}

TEST_F(Store, DownloadRecordLifecycle) {
    oad_obj record{};
    EXPECT_EQ(0, get_oad_sensor(kSensor, &record));
    EXPECT_EQ(-1, update_oad_status(kSensor, 4)) << "no record to update";

    ASSERT_EQ(0, set_oad_sensor(kSensor, "/tmp/msp430.bin", 1, 0));
    ASSERT_EQ(0, update_oad_status("00124b0001020304", 4));
    ASSERT_EQ(1, get_oad_sensor(kSensor, &record));
    EXPECT_STREQ(kSensor, record.sensor);
    EXPECT_STREQ("/tmp/msp430.bin", record.file);
    EXPECT_EQ(4, record.status);
    EXPECT_EQ(0, record.progress);
    free_single_oad_obj(&record);
    EXPECT_EQ(nullptr, record.file);

    // The radio download record of the same sensor is a separate record.
    upgrade_obj upgrade{};
    EXPECT_EQ(0, get_upgrade_sensor(kSensor, &upgrade));
    ASSERT_EQ(0, set_upgrade_sensor(kSensor, "rf.bin", 1, 30));
    ASSERT_EQ(0, update_upgrade_status(kSensor, 4));
    ASSERT_EQ(1, get_upgrade_sensor(kSensor, &upgrade));
    EXPECT_STREQ("rf.bin", upgrade.file);
    EXPECT_EQ(4, upgrade.status);
    free_single_upgrade_obj(&upgrade);

    ASSERT_EQ(0, delete_oad_sensor(kSensor));
    EXPECT_EQ(0, get_oad_sensor(kSensor, &record));
    EXPECT_EQ(0, delete_oad_sensor(kSensor)) << "deleting an absent record is not an error";
    EXPECT_EQ(1, get_upgrade_sensor(kSensor, &upgrade));
    free_single_upgrade_obj(&upgrade);
}

TEST_F(Store, OadListKeepsInsertionOrderAndFreesCleanly) {
    ASSERT_EQ(0, set_oad_sensor(kOther, "b.bin", 1, 0));
    ASSERT_EQ(0, set_oad_sensor(kSensor, "a.bin", 3, 100));
    ASSERT_EQ(0, set_oad_sensor("00124B00FFFFFFFF", "c.bin", 4, 50));
    ASSERT_EQ(0, set_oad_sensor(kOther, "b2.bin", 2, 10));  // replaced in place, keeps its position

    oad_obj *list = nullptr;
    const int count = get_oad_list(&list);
    ASSERT_EQ(3, count);
    ASSERT_NE(nullptr, list);
    EXPECT_STREQ(kOther, list[0].sensor);
    EXPECT_STREQ("b2.bin", list[0].file);
    EXPECT_EQ(2, list[0].status);
    EXPECT_STREQ(kSensor, list[1].sensor);
    EXPECT_EQ(100, list[1].progress);
    EXPECT_STREQ("00124B00FFFFFFFF", list[2].sensor);
    EXPECT_EQ(4, list[2].status);
    free_oad_obj(&list, count);  // leaks or double frees show under AddressSanitizer
    EXPECT_EQ(nullptr, list);
}

TEST_F(Store, KilledWriterLosesNoAcknowledgedRecord) {
    // The writer reports each completed write through a pipe and is killed at some moment; a
    // new process must find every reported record, and the store must stay usable.
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    const pid_t writer = gwlib_test::spawn([&] {
        close(fds[0]);
        for (int i = 0;; ++i) {
            const channel_entry entry = channel("ch", static_cast<uint8_t>(i));
            if (set_oad_sensor(numbered_id(i).c_str(), "fw.bin", 2, i % 100) != 0 ||
                set_error_flag(numbered_id(i).c_str(), &entry, 1) != 0 || write(fds[1], &i, sizeof i) != sizeof i) {
                return 1;
            }
        }
    });
    close(fds[1]);
    int last = -1, n = 0;
    while (last < 50 && read(fds[0], &n, sizeof n) == sizeof n) last = n;
    kill(writer, SIGKILL);
    while (read(fds[0], &n, sizeof n) == sizeof n) last = n;
    close(fds[0]);
    ASSERT_EQ(128 + SIGKILL, gwlib_test::wait_for(writer));
    ASSERT_GE(last, 50);

    const int missing = gwlib_test::run_in_child([last] {
        int lost = 0;
        for (int i = 0; i <= last; ++i) {
            oad_obj record{};
            const channel_entry entry = channel("ch", static_cast<uint8_t>(i));
            lost += get_oad_sensor(numbered_id(i).c_str(), &record) == 1 && record.progress == i % 100 &&
                            get_error_flag(numbered_id(i).c_str(), &entry) == 1
                        ? 0
                        : 1;
            free_single_oad_obj(&record);
        }
        return std::min(lost, 100) + (set_oad_sensor(kSensor, "after.bin", 1, 0) == 0 ? 0 : 100);
    });
    EXPECT_EQ(0, missing);
}

TEST_F(Store, ConcurrentWritersLoseNothing) {
    // Both start on a missing database, so they also create the schema at the same time.
    constexpr int kPerWriter = 150;
    auto writer = [](int base) {
        return [base] {
            for (int i = 0; i < kPerWriter; ++i) {
                const std::string id = numbered_id(base + i);
                const channel_entry entry = channel(("ch" + std::to_string(i)).c_str(), static_cast<uint8_t>(i));
                if (set_error_flag(id.c_str(), &entry, 1) != 0 || set_oad_sensor(id.c_str(), "fw", 1, i) != 0 ||
                    update_oad_status(id.c_str(), 2) != 0) {
                    return 1;
                }
            }
            return 0;
        };
    };
    const pid_t a = gwlib_test::spawn(writer(1000)), b = gwlib_test::spawn(writer(2000));
    ASSERT_EQ(0, gwlib_test::wait_for(a, std::chrono::seconds(60)));
    ASSERT_EQ(0, gwlib_test::wait_for(b, std::chrono::seconds(60)));

    oad_obj *list = nullptr;
    const int count = get_oad_list(&list);
    EXPECT_EQ(2 * kPerWriter, count);
    for (int i = 0; i < count; ++i) EXPECT_EQ(2, list[i].status);
    free_oad_obj(&list, count);
    for (int base : {1000, 2000}) {
        for (int i = 0; i < kPerWriter; ++i) {
            const channel_entry entry = channel(("ch" + std::to_string(i)).c_str(), static_cast<uint8_t>(i));
            ASSERT_EQ(1, get_error_flag(numbered_id(base + i).c_str(), &entry)) << base + i;
        }
    }
}

TEST_F(Store, ForkWhileAnotherThreadIsInsideTheStore) {
    // The daemon forks per frame while its transmit thread may be writing download records. A
    // child must never inherit a lock held by that thread and hang on its first store call.
    ASSERT_EQ(0, set_oad_sensor(kOther, "fw.bin", 1, 0));
    std::atomic<bool> stop{false};
    std::thread busy([&] {
        for (int i = 0; !stop; ++i) {
            set_oad_sensor(kOther, "fw.bin", 1, i % 100);
            // Pause so the children's transactions are not starved of the file lock: a child
            // that waits out its busy time-out is slow, not hung, and is not what this looks for.
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    int hung = 0;
    for (int i = 0; i < 150; ++i) {
        const int rc = gwlib_test::wait_for(gwlib_test::spawn([] {
                                                oad_obj record{};
                                                const int found = get_oad_sensor(kOther, &record);
                                                free_single_oad_obj(&record);
                                                if (found != 1) return 1;
                                                return set_oad_sensor(kSensor, "x", 1, 0) == 0 ? 0 : 2;
                                            }),
                                            // Well beyond the busy time-out: only a hang ends here.
                                            std::chrono::seconds(30));
        hung += rc == -1 ? 1 : 0;
        EXPECT_EQ(0, rc);
        if (hung > 0) break;
    }
    stop = true;
    busy.join();
    EXPECT_EQ(0, hung);
}

}  // namespace
