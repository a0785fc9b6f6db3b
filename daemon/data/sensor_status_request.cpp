// A sensor asks for its status: answered at once; unless it says otherwise, it is marked active.
#include <gateway_lib/sensor_registry.h>

#include <cstring>
#include <memory>
#include <new>

#include "data/frame_handlers.h"
#include "shared/request_builders.h"

namespace vorn::data {

void handle_sensor_status_request(SensorFrame &frame) {
  FrameReader reader(frame.app, frame.app_size, 12);
  const std::uint8_t *tag = reader.take(sizeof frame.report.sensor_tag);
  const std::uint8_t status_byte = reader.u8();
  const std::uint8_t keep_inactive = reader.u8();
  if (!reader.ok()) return refuse_frame(frame, "frame shorter than its status fields");

  shared::SensorReport &report = frame.report;
  report.frame_control = frame.frame_ctl;
  std::memcpy(report.sensor_tag, tag, sizeof report.sensor_tag);
  report.status_byte = status_byte;
  report.reply_value = 0;
  shared::send_sensor_reply(shared::kSensorStatusReply, frame.short_address, report);

  if (keep_inactive != 0) return;
  std::unique_ptr<char[]> id(new (std::nothrow) char[core::kExtAddressTextSize]());
  if (!id) return;
  std::memcpy(id.get(), frame.ext_text, core::kExtAddressTextSize);
  char *text = id.get();
  update_sensor_active_time(&text);
}

}  // namespace vorn::data
