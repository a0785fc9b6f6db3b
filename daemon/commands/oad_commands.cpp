#include <cstdio>
#include <cstring>

#include "commands/command_keys.h"
#include "commands/command_support.h"
#include "core/link_frame.h"
#include "firmware/firmware_download.h"

namespace vorn::commands {

namespace {

constexpr std::size_t kOadFileMax = shared::kTxqPayloadSize - 1;        // text and terminator
constexpr std::size_t kSelectedFileMax = shared::kTxqPayloadSize - 2;   // index byte, text, terminator

// Copies a string value that has passed file_text_acceptable; the zero payload after it is its
// terminator.
void copy_text(json_object *text, std::uint8_t *to) {
  std::memcpy(to, json_object_get_string(text), static_cast<std::size_t>(json_object_get_string_len(text)));
}

// A download selection: the short address at byte 0 and the OADFile text from byte 1. False
// when OADFile is missing or anything is not valid; then nothing is queued.
bool fill_download_selection(json_object *value, const CommandMessage &message, bool needs_known_sensor) {
  json_object *file = nullptr;
  int index = 0;
  if (!json_object_object_get_ex(message.document, "OADFile", &file) || !read_device_index(value, &index) ||
      !json_object_is_type(file, json_type_string) || !file_text_acceptable("OADFile", file, kSelectedFileMax))
    return false;
  if (const char *why = firmware::firmware_file_refusal(json_object_get_string(file))) {
    refuse_command("OADFile", json_object_get_string(file), why);
    return false;
  }
  char ext_text[core::kExtAddressTextSize];
  if (needs_known_sensor && !read_known_sensor(value, &index, ext_text)) return false;
  message.payload[0] = static_cast<std::uint8_t>(index);
  copy_text(file, message.payload + 1);
  return true;
}

}  // namespace

KeyResult get_oad_file(json_object *value, const CommandMessage &message) {
  if (!json_object_is_type(value, json_type_string) || !file_text_acceptable("GetOADFile", value, kOadFileMax))
    return kStopSearch;
  // The collector reads the file it names, as for a download selection.
  if (const char *why = firmware::firmware_file_refusal(json_object_get_string(value))) {
    refuse_command("GetOADFile", json_object_get_string(value), why);
    return kStopSearch;
  }
  copy_text(value, message.payload);
  std::printf("Got the payload is %s\n", reinterpret_cast<const char *>(message.payload));
  return queue_request(core::APP_OAD_FILE_REQ);
}

// The radio download: the collector finds the sensor itself, so the DeviceList is not asked.
KeyResult sensor_oad_select(json_object *value, const CommandMessage &message) {
  return fill_download_selection(value, message, false) ? queue_request(core::APP_SENSOR_OAD_START_REQ) : kStopSearch;
}

// The MSP430 download is recorded under the sensor's ExtAddress: only for a sensor we know.
KeyResult msp430_oad_select(json_object *value, const CommandMessage &message) {
  return fill_download_selection(value, message, true) ? queue_request(core::APP_MSP430_OAD_START_REQ) : kStopSearch;
}

KeyResult get_oad_status(json_object *value, const CommandMessage &message) {
  int index = 0;
  if (!read_device_index(value, &index)) return kStopSearch;
  message.payload[0] = static_cast<std::uint8_t>(index);
  std::printf("Got the payload of GetOADStatus is %d\n", index & 0xFF);
  return queue_request(core::APP_OAD_STATUS_REQ);
}

}  // namespace vorn::commands
