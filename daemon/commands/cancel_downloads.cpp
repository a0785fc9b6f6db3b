#include "commands/command_event.h"
#include "commands/command_keys.h"
#include "commands/command_support.h"
#include "core/link_frame.h"
#include "firmware/download_records.h"

namespace vorn::commands {

using firmware::kCancelRequested;

// A download that has not begun (status 1, no progress) or has an unknown status is forgotten;
// any other is marked for cancellation, which the next start carries out. The collector is asked
// to cancel unless the status is unknown.
KeyResult cancel_msp430_oad(json_object *value, const CommandMessage &message) {
  int index = 0;
  char ext_text[core::kExtAddressTextSize];
  firmware::OadRecord record;
  if (!read_known_sensor(value, &index, ext_text) || get_oad_sensor(ext_text, &record.value) != 1) return kStopSearch;
  const int status = record.value.status;
  const bool not_begun = status == firmware::kDownloadStarted && record.value.progress == 0;
  if (not_begun || status > kCancelRequested) delete_oad_sensor(ext_text);
  else if (status >= 0) update_oad_status(ext_text, kCancelRequested);
  if (status > kCancelRequested) return kStopSearch;
  message.payload[0] = static_cast<std::uint8_t>(index);
  return queue_request(core::APP_CANCEL_MSP430_OAD_REQ);
}

// A running radio download without progress is forgotten; any other is marked for cancellation.
KeyResult cancel_rf_oad(json_object *value, const CommandMessage &message) {
  int index = 0;
  char ext_text[core::kExtAddressTextSize];
  firmware::UpgradeRecord record;
  if (!read_known_sensor(value, &index, ext_text) || get_upgrade_sensor(ext_text, &record.value) != 1)
    return kStopSearch;
  int progress = 0;
  read_download_progress(ext_text, &progress);
  if (record.value.status == firmware::kDownloadStarted && progress == 0) delete_upgrade_sensor(ext_text);
  else update_upgrade_status(ext_text, kCancelRequested);
  message.payload[0] = static_cast<std::uint8_t>(index);
  return queue_request(core::APP_CANCEL_OAD_REQ);
}

}  // namespace vorn::commands
