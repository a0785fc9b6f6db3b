// The simulator's frame tables against bytes written by hand from the link and sensor frame
// tables: if the collector misreads a layout, these fail instead of both sides agreeing on it.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>

#include "common/device_list.h"
#include "frames_from_daemon.h"
#include "frames_to_daemon.h"
#include "json_doc.h"
#include "link_server.h"
#include "request_handlers.h"
#include "network_config.h"
#include "sensor_frames.h"

namespace sim {
namespace {

Bytes hex(const std::string &text) {
  Bytes out;
  std::istringstream in(text);
  std::string byte;
  while (in >> byte) out.push_back(static_cast<std::uint8_t>(std::stoul(byte, nullptr, 16)));
  return out;
}

Bytes text_bytes(const std::string &text) { return Bytes(text.begin(), text.end()); }

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes &part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

const std::uint8_t kExt[8] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};  // text 8877665544332211
const std::uint8_t kTag[8] = {1, 2, 3, 4, 5, 6, 7, 8};

Identity identity() {
  Identity id;
  std::memcpy(id.ext_address, kExt, 8);
  id.manufacturer = "Vorn";
  id.model_name = "VT-1";
  id.model_number = "VT-1-A";
  const std::uint8_t version[4] = {1, 1, 0, 2};
  std::memcpy(id.model_version, version, 4);
  id.calibration_date = 0x2C21;
  return id;
}

Condition condition() {
  Condition c;
  c.rssi = -60;  // C4
  c.battery = 3.6;
  c.op_temperature = 25;
  c.op_voltage = 3.3;
  return c;
}

ChannelReading reading(std::uint8_t type, const char *unit, double value, std::uint16_t error = 0) {
  return ChannelReading{"Ch", type, unit, value, error};
}

struct FrameCase {
  const char *name;
  Bytes encoded;
  Bytes expected;
};

TEST(SimFrames, CollectorFramesMatchTheLinkTables) {
  NetworkIdentity network{{2, 3, 0, 5}, 0x1234, {0x0C, 0x0D, 0x0E, 0x0F, 0x00, 0x4B, 0x12, 0x00}, 3, "VORN-COPRO-US"};
  const DeviceArrayItem items[] = {{0x0003, kExt}};
  Bytes model(32, 0);
  std::memcpy(model.data(), "VORN-COPRO-US", 13);
  const FrameCase cases[] = {
      {"joined", encode_joined_ind(0x0003, kExt, false),
       hex("13 00 4A 00  00 00 03 00 11 22 33 44 55 66 77 88 00 00 00 00 00 00 00")},
      {"re-joined", encode_joined_ind(0x0103, kExt, true),
       hex("13 00 4A 00  00 00 03 01 11 22 33 44 55 66 77 88 00 00 00 00 00 00 01")},
      {"left", encode_left_ind(kExt), hex("08 00 4A 01  11 22 33 44 55 66 77 88")},
      {"not active", encode_not_active_ind(5, kExt), hex("0D 00 4A 08  00 00 05 00 11 22 33 44 55 66 77 88 00")},
      {"state", encode_state_change(kStateStarted), hex("01 00 4A 0A 03")},
      {"join permit", encode_join_permit_cnf(0), hex("04 00 4A 0C 00 00 00 00")},
      {"tx data", encode_tx_data_cnf(0xE8), hex("04 00 4A 0E E8 00 00 00")},
      {"device array", encode_device_array_cnf(items, 1),
       hex("15 00 4A 07  00 01 00  00 00 03 00 11 22 33 44 55 66 77 88 00 00 00 00 00 00")},
      {"network info", encode_nwk_info_ind(network, kStateStarted),
       hex("15 00 4A 02  02 03 00 05 34 12 00 00 0C 0D 0E 0F 00 4B 12 00 03 00 01 02 03")},
      {"get network info", encode_get_nwk_info_cnf(network, kStateStarted),
       concat({hex("36 00 4A 05  01 02 03 00 05 34 12 00 00 0C 0D 0E 0F 00 4B 12 00 03 00 01 02 03"), model})},
      {"data indication", encode_data_rx_ind(0x0005, hex("C4 2B")), hex("05 00 4A 09  02 05 00 C4 2B")},
  };
  for (const FrameCase &c : cases) EXPECT_EQ(c.encoded, c.expected) << c.name;
}

TEST(SimFrames, SensorFramesMatchTheSensorTables) {
  // Firmware 1.1.0.2: four blocks whatever the channel count; whole part in A, ten-thousandths in
  // B; -1.5 as the two's complements FFFF EC78; an error as 7F80 and the code.
  SensorDataFrame old_style;
  old_style.format = ValueFormat::kFixedOld;
  old_style.blocks = 4;
  old_style.device_time = 0x01020304;
  const Bytes old_data = encode_sensor_data(
      identity(), condition(), old_style,
      {reading(1, "\xC2\xB0" "C", 21.5), reading(1, "\xC2\xB0" "C", -1.5), reading(4, "hPa", 0, 1)});
  const Bytes old_expected = hex(
      "C4 05 11 22 33 44 55 66 77 88 60 00"   // head, FrameCtl 0x0060
      " 01 00 24 00 00 03"                    // Extension_Status: battery, 3.6 V, not low, 3 channels
      " C2 B0 43 00 01 15 00 88 13"           // 21.5
      " C2 B0 43 00 01 FF FF 78 EC"           // -1.5
      " 68 50 61 00 04 80 7F 01 00"           // OPEN
      " 00 00 00 00 00 00 00 00 00"           // the fourth, unused block
      " 04 03 02 01 19 21");                  // TimeStamp, op temperature 25, op voltage 3.3
  EXPECT_EQ(old_data, old_expected);

  // Later firmware, bit 14: single precision low word first (21.0 = 0x41A80000); error: code, 7F80.
  SensorDataFrame float_style;
  float_style.device_time = 7;
  const Bytes float_data =
      encode_sensor_data(identity(), condition(), float_style, {reading(2, "%RH", 21.0), reading(2, "%RH", 0, 3)});
  EXPECT_EQ(Bytes(float_data.begin() + 12, float_data.end()),
            hex("01 40 24 00 00 02  25 52 48 00 02 00 00 A8 41  25 52 48 00 02 03 00 80 7F  07 00 00 00 19 21"));
  // Five channels make the frame (with the byte, and the 7 bytes of link and indication head)
  // longer than 76 bytes, so it carries the ReportType byte; four do not.
  const std::vector<ChannelReading> four(4, reading(1, "V", 1)), five(5, reading(1, "V", 1));
  EXPECT_EQ(encode_sensor_data(identity(), condition(), float_style, four).size(), 12u + 6 + 36 + 4 + 2);
  EXPECT_EQ(encode_sensor_data(identity(), condition(), float_style, five).size(), 12u + 6 + 45 + 4 + 2 + 1);

  const Bytes records = encode_data_frame_request(identity(), condition(), kTag, true,
                                                  {DataRecord{100, {reading(1, "V", 21.0)}},
                                                   DataRecord{160, {reading(1, "V", 0, 1)}}});
  EXPECT_EQ(records, hex("C4 20 11 22 33 44 55 66 77 88 01 00  01 02 03 04 05 06 07 08  00 01 00 24 00 00 00"
                         " 01 21 19 02 01  64 00 00 00 00 00 A8 41  A0 00 00 00 01 00 80 7F"));

  EXPECT_EQ(encode_sensor_status_request(identity(), condition(), kTag),
            hex("C4 2B 11 22 33 44 55 66 77 88 01 00 01 02 03 04 05 06 07 08 00 00"));
  EXPECT_EQ(encode_disassociation_response(identity(), condition()), hex("C4 2A 11 22 33 44 55 66 77 88 01 00"));

  ValueAnswer interval;
  interval.flags = 3, interval.command = 1, interval.integer = 300;
  EXPECT_EQ(encode_get_sensor_rsp(-60, interval), hex("C4 1B 03 00 01 00 2C 01 00 00"));
  ValueAnswer device;
  device.flags = 2, device.real = 21.5;
  EXPECT_EQ(encode_get_device_value_rsp(-60, device), hex("C4 17 02 00 15 00 88 13"));
}

TEST(SimFrames, IdentificationAndConfigResponseFieldsSitAtTheirOffsets) {
  const Bytes id = encode_identification_request(identity(), condition(), kTag, 300,
                                                 {ChannelReading{"Temperature", 1, "\xC2\xB0" "C", 0, 0}});
  ASSERT_EQ(id.size(), 165u + 21 + 9);
  struct Field {
    std::size_t offset;
    Bytes bytes;
  } fields[] = {
      {1, hex("22")},          {12, hex("01 02 03 04 05 06 07 08")}, {20, hex("01 00 24 00")},
      {26, text_bytes("Vorn")}, {58, text_bytes("VT-1")},             {90, text_bytes("VT-1-A")},
      {122, hex("01 01 00 02")}, {132, hex("21 2C")},                 {160, hex("21 19 2C 01 01")},
      {165, text_bytes("Temperature")}, {181, hex("01 C2 B0 43 00")},
  };
  for (const Field &f : fields)
    EXPECT_EQ(Bytes(id.begin() + static_cast<long>(f.offset), id.begin() + static_cast<long>(f.offset + f.bytes.size())), f.bytes)
        << "offset " << f.offset;

  // 1.1.0.2 is above 0x00090005: model name and event interval are both carried.
  const Bytes rsp = encode_config_rsp(identity(), condition(), 90);
  ASSERT_EQ(rsp.size(), 54u + 32 + 32 + 2 + 2);
  EXPECT_EQ(Bytes(rsp.begin() + 14, rsp.begin() + 18), hex("01 01 00 02"));
  EXPECT_EQ(Bytes(rsp.begin() + 54, rsp.begin() + 58), text_bytes("VT-1"));
  EXPECT_EQ(Bytes(rsp.begin() + 86, rsp.begin() + 92), text_bytes("VT-1-A"));
  EXPECT_EQ(Bytes(rsp.end() - 4, rsp.end()), hex("21 2C 5A 00"));
  Identity older = identity();
  older.model_version[0] = 0, older.model_version[1] = 9, older.model_version[2] = 0, older.model_version[3] = 3;
  EXPECT_EQ(encode_config_rsp(older, condition(), 90).size(), 54u + 32 + 2) << "neither model name nor interval";
}

TEST(SimFrames, DaemonRequestsDecodeFromTheirBytes) {
  const Bytes set_interval = hex("0A 00 12 00 03 00 01 00 2C 01 00 00");
  auto set = decode_value_request(ValueRequestKind::kSetSensor, set_interval.data(), set_interval.size());
  ASSERT_TRUE(set);
  EXPECT_EQ(set->short_address, 0x12);
  EXPECT_EQ(set->values.command, 1);
  EXPECT_EQ(set->values.integer, 300);

  const Bytes get_interval = hex("0E 00 12 00 03 00 01 00 00 00 00 00 00 00 00 00");
  auto get = decode_value_request(ValueRequestKind::kGetSensor, get_interval.data(), get_interval.size());
  ASSERT_TRUE(get);
  EXPECT_EQ(get->values.command, 1);
  EXPECT_EQ(get->values.real, 0.0);

  const Bytes device_value = concat({hex("19 00 07 00 07 00 D2 02 96 49 0C 00 48 0D 0B 00"), text_bytes("Just Do It!")});
  auto values = decode_value_request(ValueRequestKind::kSetDeviceValue, device_value.data(), device_value.size());
  ASSERT_TRUE(values);
  EXPECT_EQ(values->values.integer, 1234567890);
  EXPECT_NEAR(*values->values.real, 12.34, 1e-9);
  EXPECT_EQ(values->values.block, "Just Do It!");

  const Bytes config = hex("01 12 00 60 EA 00 00 38 00"), config3 = hex("03 07 00");
  EXPECT_EQ(decode_config_request(config.data(), config.size())->short_address, 0x12);
  EXPECT_EQ(decode_config_request(config3.data(), config3.size())->type, 3);

  const Bytes remove = hex("05 00 77 66 55 44 33 22 11 00");
  auto removal = decode_remove_request(remove.data(), remove.size());
  ASSERT_TRUE(removal);
  EXPECT_EQ(removal->short_address, 5);
  EXPECT_EQ(ext_address_text(removal->ext_address), "0011223344556677");

  const Bytes id_rsp = hex("13 00 05 00 23 01 02 03 04 05 06 07 08 C4 FF 00 00 3C 00 7B 00 00 00");
  auto identification = decode_sensor_reply(APP_IDENTIFICATION_RSP, id_rsp.data(), id_rsp.size());
  ASSERT_TRUE(identification);
  EXPECT_EQ(identification->command, 0x23);
  EXPECT_EQ(std::memcmp(identification->sensor_tag, kTag, 8), 0);
  EXPECT_EQ(identification->event_interval, 60);
  const Bytes frame_rsp = hex("0E 00 05 00 21 01 02 03 04 05 06 07 08 00 C4 FF 0A 00");
  auto data_frame = decode_sensor_reply(APP_DATA_FRAME_RSP, frame_rsp.data(), frame_rsp.size());
  ASSERT_TRUE(data_frame);
  EXPECT_EQ(data_frame->rssi, -60);
  EXPECT_EQ(data_frame->reply_value, 10);

  const Bytes msp430 = concat({hex("05 00 10 00 00"), text_bytes("/tmp/fw.bin")});
  auto download = decode_msp430_oad_start(msp430.data(), msp430.size());
  ASSERT_TRUE(download);
  EXPECT_EQ(download->file_size, 4096u);
  EXPECT_EQ(download->file, "/tmp/fw.bin");

  // Payloads that do not hold what they announce are refused, never read past.
  const Bytes refused[] = {hex("0B 00 12 00 03 00 01 00 2C 01 00 00"), hex("0A 00 12 00 03 00 01 00 2C 01"),
                           hex("08 00 12 00 08 00 05 00 41 42")};
  for (const Bytes &bytes : refused)
    EXPECT_FALSE(decode_value_request(ValueRequestKind::kSetSensor, bytes.data(), bytes.size()));
  EXPECT_FALSE(decode_sensor_reply(APP_IDENTIFICATION_RSP, id_rsp.data(), id_rsp.size() - 1));
  EXPECT_FALSE(decode_config_request(config.data(), 5));
}

TEST(SimFrames, LinkSplitsWholeFramesAndKeepsTheRest) {
  Network network;  // no link: the answers are counted as dropped
  Bytes pending = hex("00 00 0A 03  00 00 0A 03  01 00 0A 25 05  04 00 0A 0B C0");
  split_frames(network, pending);
  EXPECT_EQ(network.counts.received["APP_GET_NWK_INFO_REQ"], 2u);
  EXPECT_EQ(network.counts.received["APP_CANCEL_MSP430_OAD_REQ"], 1u);
  EXPECT_EQ(pending, hex("04 00 0A 0B C0")) << "half a frame waits for the rest";
  pending = hex("00 00 4A 03 00 00 0A 03");
  split_frames(network, pending);
  EXPECT_TRUE(pending.empty());
  EXPECT_EQ(network.counts.rejected, 1u) << "the wrong type byte";
  EXPECT_EQ(network.counts.unreachable, 1u) << "the cancel for a sensor the network lacks";
}

// A late answer to an earlier Data Frame Request confirms only the records that request carried:
// the record measured since stays buffered until its own request is answered.
TEST(SimFrames, BufferedSensorKeepsEveryRecordUntilTheAnswerThatCarriedIt) {
  Network network;  // no link: the requests are counted as dropped, their tags still awaited
  std::string error;
  const Json sensor_json = parse_json(R"({"ExtAddress":"00124B0001A2B3C5","ShortAddress":"0005","Frames":"buffered",)"
                                      R"("Records":2,"Channels":[{"Name":"T","Type":1,"Unit":"C"}]})");
  auto config = parse_sensor(sensor_json.get(), error);
  ASSERT_TRUE(config) << error;
  ASSERT_TRUE(add_sensor(network, *config, 3600, error)) << error;
  SimSensor &sensor = *find_sensor(network, 5);
  sensor.phase = SensorPhase::kJoined;
  const auto answer = [&](const std::array<std::uint8_t, 8> &tag) {
    Bytes reply = hex("0E 00 05 00 21");
    reply.insert(reply.end(), tag.begin(), tag.end());
    const Bytes rest = hex("00 C4 FF 0A 00");
    reply.insert(reply.end(), rest.begin(), rest.end());
    handle_request(network, APP_DATA_FRAME_RSP, reply.data(), reply.size());
  };
  measure_and_report(sensor);
  measure_and_report(sensor);  // two records: the first request
  const auto first = sensor.awaited_tags[kDataFrameResponse].back();
  measure_and_report(sensor);  // a third: the second request carries all three
  const auto second = sensor.awaited_tags[kDataFrameResponse].back();
  answer(first);
  EXPECT_EQ(sensor.buffered.size(), 1u) << "the third record was not confirmed yet";
  EXPECT_EQ(sensor.records.delivered, 2u);
  answer(second);
  answer(first);  // a repeated answer confirms nothing more
  EXPECT_TRUE(sensor.buffered.empty());
  EXPECT_EQ(sensor.records.delivered, 3u);
  EXPECT_EQ(network.counts.answered["DataFrameRequest"], 2u);
  EXPECT_EQ(network.counts.unmatched, 1u);
  measure_and_report(sensor);
  measure_and_report(sensor);
  const auto late = sensor.awaited_tags[kDataFrameResponse].back();
  for (int i = 0; i < 7; ++i) measure_and_report(sensor);  // unanswered: the buffer holds eight
  EXPECT_EQ(sensor.buffered.size(), 8u);
  EXPECT_EQ(sensor.records.measured, 12u);
  EXPECT_EQ(sensor.records.discarded, 1u);
  // The answer to a request seven requests back (held by the gateway for seconds) still counts.
  answer(late);
  EXPECT_EQ(network.counts.answered["DataFrameRequest"], 3u);
  EXPECT_EQ(network.counts.unmatched, 1u);
  drop_sensor(network, 5);
}

TEST(SimFrames, DefaultNetworkUsesBothStylesAndTheFactoryUnitsMap) {
  std::ifstream in(VORN_SOURCE_DIR "/rootfs/rom/etc/TavikUnitsMapv2.json");
  std::stringstream text;
  text << in.rdbuf();
  const Json map = parse_json(text.str());
  ASSERT_TRUE(map);
  std::set<std::pair<long long, std::string>> known;  // (type code, unit)
  for (std::size_t i = 0; i < json_object_array_length(map.get()); ++i) {
    json_object *entry = json_object_array_get_idx(map.get(), i);
    json_object *units = member(entry, "Unit");
    for (std::size_t u = 0; u < json_object_array_length(units); ++u)
      known.insert({int_member(entry, "Index"), json_object_get_string(json_object_array_get_idx(units, u))});
  }
  const NetworkConfig network = default_network();
  ASSERT_GE(network.sensors.size(), 10u);
  std::set<SensorStyle> styles;
  std::set<FrameKind> kinds;
  for (const SensorConfig &sensor : network.sensors) {
    styles.insert(sensor.style);
    kinds.insert(sensor.frames);
    for (const ChannelConfig &channel : sensor.channels)
      EXPECT_TRUE(known.count({channel.type, channel.unit})) << ext_address_text(sensor.ext_address) << " " << channel.name;
  }
  EXPECT_EQ(styles.size(), 2u);
  EXPECT_EQ(kinds.size(), 2u);
  std::string error;
  EXPECT_FALSE(parse_sensor(parse_json(R"({"ExtAddress":"00124B0001A2B3C4","ShortAddress":"0001","Style":"config",
      "Channels":[{"Name":"a","Type":1,"Unit":"V"},{"Name":"b","Type":1,"Unit":"V"},{"Name":"c","Type":1,"Unit":"V"},
                  {"Name":"d","Type":1,"Unit":"V"},{"Name":"e","Type":1,"Unit":"V"}]})").get(), error));
  EXPECT_FALSE(parse_sensor(parse_json(R"({"ExtAddress":"00124B0001A2B3C4","ShortAddress":"0001",
      "Channels":[{"Name":"a","Type":1,"Unit":"L/min"}]})").get(), error)) << "units hold 4 characters";
}

TEST(SimFrames, DeviceListEntryIsReadFromItsOwnTable) {
  std::uint8_t entry[kDeviceListEntrySize] = {};
  EXPECT_FALSE(read_device_entry(entry)) << "a free entry";
  const auto put = [&](std::size_t offset, const Bytes &bytes) { std::memcpy(entry + offset, bytes.data(), bytes.size()); };
  put(0, hex("03 00"));
  put(2, hex("11 22 33 44 55 66 77 88"));
  put(42, text_bytes("VT-1-A"));
  put(74, text_bytes("2.5.2.4"));
  put(120, hex("C4 FF FF FF"));
  put(148, hex("2C 01 00 00"));
  put(152, hex("01 00 00 00"));
  put(156, hex("66 66 66 40"));  // 3.6f
  put(160, hex("02 01 02"));
  put(176, text_bytes("%RH"));
  put(222, hex("02"));
  put(272, hex("01"));
  auto device = read_device_entry(entry);
  ASSERT_TRUE(device);
  EXPECT_EQ(device->short_address, 3);
  EXPECT_EQ(device->ext_address, "8877665544332211");
  EXPECT_EQ(device->model_number, "VT-1-A");
  EXPECT_EQ(device->model_version, "2.5.2.4");
  EXPECT_EQ(device->rssi, -60);
  EXPECT_EQ(device->event_interval, 300);
  EXPECT_FLOAT_EQ(device->battery, 3.6f);
  EXPECT_EQ(device->channel_count, 2);
  EXPECT_EQ(device->channel_types[1], 2);
  EXPECT_EQ(device->channel_units[1], "%RH");
  EXPECT_EQ(device->channel_alarm[1], 2);
  EXPECT_EQ(device->report_state, 1);
}

}  // namespace
}  // namespace sim
