// Middleware store over /etc/config/cloud.sqlite: creation when missing, queries in insertion
// order with every column, refusal of unknown tables and columns, and values kept out of SQL.
#include <gateway_lib/middleware.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr const char *kPath = "/etc/config/cloud.sqlite";
constexpr const char *kSensor = "00124B0001020304";
constexpr const char *kOther = "00124B00A0B0C0D0";

using Rows = std::vector<std::map<std::string, std::string>>;

// Runs the handle's query as the daemon does; the rows as column -> value maps.
int query(const middleware_obj &obj, const char *table, const data_entry *where, Rows &rows, int mode = 1) {
    middleware_entry result{};
    const int rc = obj.query(obj.db, table, where, mode, &result);
    rows.assign(static_cast<std::size_t>(result.row_count), {});
    for (int r = 0; r < result.row_count; ++r) {
        EXPECT_EQ(result.column_count, result.rows[r].count);
        for (int c = 0; c < result.rows[r].count; ++c) rows[r][result.rows[r].columns[c].name] = result.rows[r].columns[c].value;
    }
    free_middleware_entry(&result);
    return rc;
}

class Middleware : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char *suffix : {"", "-wal", "-shm"}) std::remove((std::string(kPath) + suffix).c_str());
    }
    void TearDown() override { destory_middleware_obj(&obj); }
    middleware_obj obj{};
    Rows rows;
};

TEST_F(Middleware, QueryReturnsTheSensorsChannelsInOrderWithEveryColumn) {
    // A missing store is created and is empty.
    ASSERT_EQ(0, create_middleware_obj(&obj, kPath));
    data_entry where{};
    ASSERT_NE(0, init_data_entry(&where, "SensorID", kSensor, 6));
    EXPECT_EQ(0, query(obj, "SensorMeasurement", &where, rows));
    EXPECT_TRUE(rows.empty());

    ASSERT_EQ(0, middleware_add_channel(kPath, kSensor, "Temperature", "Temperature", "degC"));
    ASSERT_EQ(0, middleware_add_channel(kPath, kOther, "Pressure", "Pressure", "kPa"));
    ASSERT_EQ(0, middleware_add_channel(kPath, kSensor, "Humidity", "Relative Humidity", "%RH"));
    EXPECT_EQ(-1, middleware_add_channel(kPath, "not-a-sensor", "x", "y", "z"));

    ASSERT_EQ(0, query(obj, "SensorMeasurement", &where, rows));
    ASSERT_EQ(2u, rows.size());
    EXPECT_EQ((std::map<std::string, std::string>{{"SensorID", kSensor}, {"ChannelIndex", "0"}, {"Channel", "Temperature"},
                                                  {"Type", "Temperature"}, {"Unit", "degC"}}),
              rows[0]);
    EXPECT_EQ("1", rows[1]["ChannelIndex"]);
    EXPECT_EQ("Relative Humidity", rows[1]["Type"]);

    // Several conditions must all hold; none matches every row.
    ASSERT_NE(0, init_data_entry(&where, "Channel", "Humidity", 6));
    ASSERT_EQ(0, query(obj, "SensorMeasurement", &where, rows));
    ASSERT_EQ(1u, rows.size());
    EXPECT_EQ("%RH", rows[0]["Unit"]);
    free_data_entry(&where);
    EXPECT_EQ(nullptr, where.fields);
    ASSERT_EQ(0, query(obj, "SensorMeasurement", nullptr, rows));
    EXPECT_EQ(3u, rows.size());

    ASSERT_EQ(0, middleware_clear_sensor(kPath, kSensor));
    ASSERT_EQ(0, query(obj, "SensorMeasurement", nullptr, rows));
    ASSERT_EQ(1u, rows.size());
    EXPECT_EQ(kOther, rows[0]["SensorID"]);

    middleware_obj broken{};
    EXPECT_EQ(-1, create_middleware_obj(&broken, "/no/such/folder/cloud.sqlite"));
    EXPECT_EQ(nullptr, broken.db);
}

TEST_F(Middleware, NamesAreCheckedAndValuesNeverBecomeSql) {
    ASSERT_EQ(0, middleware_add_channel(kPath, kSensor, "Temperature", "Temperature", "degC"));
    ASSERT_EQ(0, create_middleware_obj(&obj, kPath));

    data_entry hostile{};
    ASSERT_NE(0, init_data_entry(&hostile, "SensorID", "x' OR '1'='1", 6));
    EXPECT_EQ(0, query(obj, "SensorMeasurement", &hostile, rows));
    EXPECT_TRUE(rows.empty()) << "the value is compared, not executed";
    free_data_entry(&hostile);

    data_entry bad_column{};
    ASSERT_NE(0, init_data_entry(&bad_column, "SensorID = SensorID OR 1", "x", 6));
    EXPECT_EQ(-1, query(obj, "SensorMeasurement", &bad_column, rows));
    free_data_entry(&bad_column);
    EXPECT_EQ(-1, query(obj, "sqlite_master", nullptr, rows));
    EXPECT_EQ(-1, query(obj, "SensorMeasurement; DROP TABLE SensorMeasurement", nullptr, rows));
    EXPECT_EQ(-1, query(obj, "SensorMeasurement", nullptr, rows, 2)) << "only mode 1 is known";
    EXPECT_TRUE(rows.empty());

    data_entry entry{};
    EXPECT_EQ(0, init_data_entry(&entry, "SensorID", kSensor, 1)) << "only text values are supported";
    EXPECT_EQ(0, init_data_entry(&entry, nullptr, kSensor, 6));
    EXPECT_EQ(0, entry.count);

    ASSERT_EQ(0, query(obj, "SensorMeasurement", nullptr, rows));
    EXPECT_EQ(1u, rows.size()) << "the table is intact";
}

}  // namespace
