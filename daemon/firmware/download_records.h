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

// An OAD (MSP430 download) record read into a zeroed record.
struct OadRecord {
  oad_obj value{};
  OadRecord() = default;
  ~OadRecord() { free_single_oad_obj(&value); }
  OadRecord(const OadRecord &) = delete;
  OadRecord &operator=(const OadRecord &) = delete;
};

// An upgrade (radio download) record read into a zeroed record.
struct UpgradeRecord {
  upgrade_obj value{};
  UpgradeRecord() = default;
  ~UpgradeRecord() { free_single_upgrade_obj(&value); }
  UpgradeRecord(const UpgradeRecord &) = delete;
  UpgradeRecord &operator=(const UpgradeRecord &) = delete;
};

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
