#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/byte_order.h"
#include "core/daemon_state.h"
#include "core/ext_address.h"
#include "core/link_frame.h"
#include "core/link_io.h"
#include "core/log_line.h"
#include "core/process_fork.h"
#include "firmware/download_records.h"
#include "firmware/firmware_download.h"
#include "shared/device_list.h"
#include "shared/device_list_guard.h"
#include "shared/segments.h"

namespace vorn::firmware {

namespace {

constexpr std::size_t kRequestHeader = 5;  // short address and 32-bit file size before the path

// The file's size in full width; 0 when it cannot be measured.
std::uint64_t file_size(const char *path) {
  struct stat info {};
  return stat(path, &info) == 0 ? static_cast<std::uint64_t>(info.st_size) : 0;
}

// What the record's writer gets, on the stack: a heap block the transmit thread held while the
// main thread forked a handler would be one the handler's leak check reports.
struct DownloadRecord {
  char ext_text[core::kExtAddressTextSize];
  char path[4096];
};

void write_download_record(const void *argument) {
  const auto *record = static_cast<const DownloadRecord *>(argument);
  if (set_oad_sensor(record->ext_text, record->path, kDownloadStarted, 0) != 0)
    core::log_line("MSP430 OAD for %s: its download record could not be written (the platform store failed or "
                   "stayed busy), so it is not resumed after a restart\n",
                   record->ext_text);
}

// Notes the image in the sensor's DeviceList entry and records the download as started. The record
// goes to the platform store from a process of its own: the store may be busy for seconds, and the
// transmit thread's process forks a handler for every frame, which the platform library holds off
// while any of its threads has the store open.
void record_download(std::uint8_t short_address, const char *path, std::uint32_t size) {
  shared::SegmentAttachment segment(core::daemon_state.device_list_segment_id);
  auto &entry = static_cast<shared::DeviceListSegment *>(segment.address())->entries[short_address];
  std::uint8_t ext_address[core::kExtAddressSize];
  {
    const shared::DeviceEntryLock lock(short_address);
    shared::store_text(entry.oad_image_path, path);  // cut to the field, terminated
    entry.oad_image_size = size;
    core::copy_ext_address(ext_address, entry.ExtAddress);
  }
  if (!segment.detach()) std::exit(1);
  if (!core::ext_address_is_set(ext_address)) {
    // The sensor left while the request waited in the queue: there is no one to record it for.
    std::printf("MSP430 OAD for 0x%04X not recorded: no sensor has that short address\n", short_address);
    return;
  }
  DownloadRecord record{};
  core::ext_address_text(ext_address, record.ext_text);
  if (std::strlen(path) >= sizeof record.path) {
    std::printf("MSP430 OAD for %s not recorded: its file name is longer than %zu characters\n", record.ext_text,
                sizeof record.path - 1);
    return;
  }
  std::strcpy(record.path, path);
  core::run_detached(write_download_record, &record, "MSP430 OAD record");
}

}  // namespace

void request_msp430_download(std::uint8_t short_address, const char *path, int record_flag) {
  const std::size_t length = std::strlen(path);
  if (!shared::is_device_index(short_address) || length > UINT16_MAX - kRequestHeader) {
    std::puts("Can't process msp-430 OAD");
    return;
  }
  // Checked again here: the file may have changed since the command named it, and a resumed
  // download names the file its record holds.
  if (const char *why = firmware_file_refusal(path)) {
    std::printf("MSP430 OAD for 0x%04X refused: the file %s\n", short_address, why);
    return;
  }
  const std::uint64_t measured = file_size(path);
  if (measured > UINT32_MAX) {
    // The request carries the size in 32 bits: a cut size would have the sensor take part of the image.
    std::printf("MSP430 OAD for 0x%04X refused: the file's %llu bytes do not fit the request's 32-bit size\n",
                short_address, static_cast<unsigned long long>(measured));
    return;
  }
  std::uint32_t size = static_cast<std::uint32_t>(measured);
  core::OutboundFrame frame(core::APP_MSP430_OAD_START_REQ, static_cast<std::uint16_t>(length + kRequestHeader));
  if (frame.ok()) {
    std::uint8_t *p = frame.payload();
    *p++ = short_address;
    p = core::write_le32(p, size);
    std::memcpy(p, path, length);
    frame.send();
  } else {
    size = 0;
  }
  if (record_flag != 0) record_download(short_address, path, size);
}

}  // namespace vorn::firmware
