#include "shared/device_list.h"

#include <cstdio>
#include <cstring>

#include "core/daemon_state.h"
#include "core/ext_address.h"
#include "shared/device_list_guard.h"
#include "shared/segments.h"

namespace vorn::shared {

using core::daemon_state;

int device_list_add(std::uint16_t short_address, const std::uint8_t *ext_address) {
  SegmentAttachment segment(daemon_state.device_list_segment_id);
  auto *list = static_cast<DeviceListSegment *>(segment.address());
  if (is_device_index(short_address)) {
    DeviceEntryLock lock(short_address);
    DeviceListEntry &entry = list->entries[short_address];
    entry.ShortAddress = short_address;
    core::copy_ext_address(entry.ExtAddress, ext_address);
    char text[core::kExtAddressTextSize];
    core::ext_address_text(ext_address, text);
    std::printf("Add - DeviceList[0x%04X] = %s\n", short_address, text);
  }
  return 0;
}

namespace {

void clear_entry(DeviceListSegment *list, int index, const std::uint8_t *shown_address) {
  char text[core::kExtAddressTextSize];
  core::ext_address_text(shown_address, text);
  std::printf("Del - DeviceList[0x%04X] - %s\n", index, text);
  std::memset(&list->entries[index], 0, sizeof(DeviceListEntry));
}

}  // namespace

int device_list_remove(std::uint16_t short_address, const std::uint8_t *ext_address) {
  SegmentAttachment segment(daemon_state.device_list_segment_id);
  auto *list = static_cast<DeviceListSegment *>(segment.address());
  if (is_device_index(short_address)) {
    DeviceEntryLock lock(short_address);
    std::uint8_t stored[core::kExtAddressSize];
    core::copy_ext_address(stored, list->entries[short_address].ExtAddress);
    clear_entry(list, short_address, stored);
    return 0;
  }
  // An all-zero address would "match" the first free entry.
  if (!core::ext_address_is_set(ext_address)) return 0;
  for (int index = kFirstShortAddress; index <= kLastShortAddress; ++index) {
    DeviceEntryLock lock(index);
    if (std::memcmp(list->entries[index].ExtAddress, ext_address, core::kExtAddressSize) == 0) {
      clear_entry(list, index, ext_address);
      break;
    }
  }
  return 0;
}

}  // namespace vorn::shared
