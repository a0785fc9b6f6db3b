#include <gateway_lib/utils.h>

#include <cstdio>

#include "firmware/download_records.h"
#include "firmware/firmware_download.h"
#include "shared/device_list.h"
#include "shared/request_builders.h"

namespace vorn::firmware {

namespace {

// The sensor's short address as a DeviceList index, 0 when it has none in 1..100. The whole
// address is checked: cutting 0x0105 to its low byte would send the request to sensor 5.
std::uint8_t device_index_of(const char *ext_address_text) {
  const std::uint16_t short_address = GetSensorShortAddr(ext_address_text);
  return shared::is_device_index(short_address) ? static_cast<std::uint8_t>(short_address) : 0;
}

}  // namespace

void resume_downloads() {
  const OadRecordList list;
  if (list.count <= 0 || list.records == nullptr) return;
  for (int i = 0; i < list.count; ++i) {
    const oad_obj &record = list.records[i];
    if (record.sensor == nullptr || record.file == nullptr) continue;
    const std::uint8_t index = device_index_of(record.sensor);
    switch (record.status) {
      case 0:
      case kDownloadStarted:
      case 2:
        request_msp430_download(index, record.file, 0);
        update_oad_status(record.sensor, kDownloadStarted);
        break;
      case kDownloadFinished: delete_oad_sensor(record.sensor); break;
      case kCancelRequested:
        if (index != 0) shared::send_cancel_msp430_oad_req(index);
        else std::puts("Unable to cancel the MSP430 OAD process");
        break;
      default: break;  // a status the daemon does not know: left to its writer
    }
  }
}

}  // namespace vorn::firmware
