// The platform library's download records, held for the length of one use and always released.
#pragma once

#include <gateway_lib/download_records.h>

namespace vorn::firmware {

// Record statuses the daemon acts on. 0 and 2 are written by other programs and, like 1, mean a
// download in progress.
constexpr int kDownloadStarted = 1;
constexpr int kDownloadFinished = 3;
constexpr int kCancelRequested = 4;
constexpr int kDownloadComplete = 100;  // progress of a finished download

// A record read into a zeroed record; its strings are released when the holder goes.
template <typename Record, void (*release)(Record *)>
struct HeldRecord {
  Record value{};
  HeldRecord() = default;
  ~HeldRecord() { release(&value); }
  HeldRecord(const HeldRecord &) = delete;
  HeldRecord &operator=(const HeldRecord &) = delete;
};
using OadRecord = HeldRecord<oad_obj, free_single_oad_obj>;          // MSP430 download
using UpgradeRecord = HeldRecord<upgrade_obj, free_single_upgrade_obj>;  // radio download

// Every OAD record, in list order.
struct OadRecordList {
  oad_obj *records = nullptr;
  int count = get_oad_list(&records);
  OadRecordList() = default;
  ~OadRecordList() { free_oad_obj(&records, count); }
  OadRecordList(const OadRecordList &) = delete;
  OadRecordList &operator=(const OadRecordList &) = delete;
};

}  // namespace vorn::firmware
