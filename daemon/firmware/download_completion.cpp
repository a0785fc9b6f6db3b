#include <gateway_lib/utils.h>

#include <cstring>
#include <string>

#include "firmware/download_records.h"
#include "firmware/firmware_download.h"

namespace vorn::firmware {

namespace {

constexpr const char *kVersionDirectory = "/etc/msp430";
constexpr const char *kVersionFile = "msp_ver.txt";
constexpr int kVersionSize = 20;
constexpr int kModelSize = 128;

// The version a sensor's model reports once it runs the firmware offered to it: the version file
// in the directory of the model's base name (the name up to its first "."). Empty when unknown.
void read_expected_version(const char *ext_address_text, char (&expected)[kVersionSize]) {
  char model[kModelSize] = {};
  GetSensorModelName(ext_address_text, model, "uci get sensorlist.@%s[0].ModelName", kModelSize);
  const char *base = model + std::strspn(model, ".");  // leading dots are skipped, as strtok does
  const std::size_t base_length = std::strcspn(base, ".");
  if (base_length == 0) return;
  const std::string path =
      std::string(kVersionDirectory) + "/" + std::string(base, base_length) + "/" + kVersionFile;
  if (isFileExisted(path.c_str())) get_path_value(path.c_str(), kVersionSize, expected);
}

}  // namespace

void finish_download_if_done(const char *ext_address_text) {
  OadRecord record;
  if (get_oad_sensor(ext_address_text, &record.value) == 1 && record.value.status == kDownloadFinished &&
      record.value.progress == kDownloadComplete)
    delete_oad_sensor(ext_address_text);
}

// Only the expected text's length is compared, so 1.2.3 counts as 1.2. With no expected version
// known, any new version ends the download.
void check_msp430_version(const char *ext_address_text, const char *reported_version) {
  char expected[kVersionSize] = {};
  read_expected_version(ext_address_text, expected);
  if (reported_version != nullptr && std::strncmp(reported_version, expected, std::strlen(expected)) == 0)
    delete_oad_sensor(ext_address_text);
}

}  // namespace vorn::firmware
