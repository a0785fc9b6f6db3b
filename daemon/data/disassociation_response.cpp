// A sensor confirms its removal: it is forgotten everywhere the daemon keeps it.
#include <gateway_lib/download_records.h>

#include "core/sensorlist_lock.h"
#include "data/frame_handlers.h"
#include "devices/sensorlist_store.h"

namespace vorn::data {

void handle_disassociation_response(SensorFrame &frame) {
  {
    const core::SensorlistWriteLock write_lock;
    devices::delete_sensor_section(frame.ext_text);
    devices::commit_sensorlist(frame.ext_text, "the deletion of its section");
  }
  shared::device_list_remove(frame.short_address, frame.ext_address);
  delete_oad_sensor(frame.ext_text);
}

}  // namespace vorn::data
