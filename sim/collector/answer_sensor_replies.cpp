// The gateway's answers to a sensor's own requests. Each must echo the sensor tag of a request the
// sensor sent; an answer with an unknown tag is counted and ignored.
#include <algorithm>
#include <cstdio>

#include "frames_from_daemon.h"
#include "request_handlers.h"

namespace sim {

namespace {

struct ReplyKind {
  std::uint8_t api;
  std::uint8_t command;   // the command byte the reply carries
  const char *request;    // the request it answers, as counted in "Answered"
};

constexpr ReplyKind kReplies[] = {
    {APP_DATA_FRAME_RSP, kDataFrameResponse, "DataFrameRequest"},
    {APP_IDENTIFICATION_RSP, kIdentificationResponse, "IdentificationRequest"},
    {APP_SENSOR_STATUS_RSP, kSensorStatusResponse, "SensorStatusRequest"},
};

// Takes the tag out of the sensor's awaited tags; false when the sensor never sent it.
bool take_tag(SimSensor &sensor, std::uint8_t command, const std::uint8_t *tag) {
  auto &awaited = sensor.awaited_tags[command];
  auto found = std::find_if(awaited.begin(), awaited.end(),
                            [&](const std::array<std::uint8_t, 8> &sent) { return std::memcmp(sent.data(), tag, 8) == 0; });
  if (found == awaited.end()) return false;
  awaited.erase(found);
  return true;
}

}  // namespace

void answer_sensor_reply(Network &network, std::uint8_t api, const std::uint8_t *payload, std::size_t length) {
  const ReplyKind *kind = nullptr;
  for (const ReplyKind &candidate : kReplies)
    if (candidate.api == api) kind = &candidate;
  const auto reply = decode_sensor_reply(api, payload, length);
  if (kind == nullptr || !reply) return reject_request(network, api, "malformed");
  SimSensor *sensor = find_sensor(network, reply->short_address);
  if (sensor == nullptr || sensor->phase != SensorPhase::kJoined) return unreachable_sensor(network, api, reply->short_address);
  if (reply->command != kind->command || !take_tag(*sensor, kind->command, reply->sensor_tag)) {
    ++network.counts.unmatched;
    std::printf("collector: %s for %04X with command 0x%02X and a tag the sensor did not send\n",
                from_daemon_api_name(api), reply->short_address, reply->command);
    return;
  }
  ++network.counts.answered[kind->request];
  if (api == APP_IDENTIFICATION_RSP) sensor->identified = true;
  if (api == APP_DATA_FRAME_RSP) {
    // The records the answered frame carried are delivered.
    const std::size_t delivered = std::min(sensor->unconfirmed, sensor->buffered.size());
    sensor->buffered.erase(sensor->buffered.begin(), sensor->buffered.begin() + static_cast<std::ptrdiff_t>(delivered));
    sensor->unconfirmed = 0;
  }
}

}  // namespace sim
