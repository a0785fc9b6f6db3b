// Firmware downloads the collector carries out for a sensor: MSP430 firmware (progress in the
// platform's OAD record; at the end the sensor runs the version of its model's version file) and
// radio firmware (progress in the upgrade record and the OAD progress file /tmp/<short address>).
#include <gateway_lib/download_records.h>
#include <gateway_lib/utils.h>
#include <unistd.h>

#include <cstdio>

#include "network.h"

namespace sim {

namespace {

constexpr int kStepMs = 1000;  // one tenth of the image per real second
constexpr int kStepPercent = 10;

std::string progress_file(const SimSensor &sensor) {
  char path[32];
  std::snprintf(path, sizeof path, "/tmp/%04X", sensor.config.short_address);
  return path;
}

void write_progress_file(const SimSensor &sensor, int progress) {
  const std::string path = progress_file(sensor);
  FILE *file = std::fopen(path.c_str(), "w");
  if (file == nullptr) return;
  std::fprintf(file, "{\"process\":%d}\n", progress);
  std::fclose(file);
}

// The MSP430 version a model runs after the download: /etc/msp430/<model base name>/msp_ver.txt,
// where the gateway looks for it too (the model name it keeps, up to the first ".").
bool new_msp430_version(const SimSensor &sensor, std::uint8_t *version) {
  const std::string &model = sensor.config.style == SensorStyle::kIdentifying ? sensor.identity.model_number
                                                                              : sensor.identity.model_name;
  const std::string base = model.substr(0, model.find('.'));
  if (base.empty()) return false;
  const std::string path = "/etc/msp430/" + base + "/msp_ver.txt";
  char text[20] = {};
  return get_path_value(path.c_str(), sizeof text, text) == 0 && parse_version(text, version);
}

void finish(SimSensor &sensor) {
  Download &download = sensor.download;
  const std::string id = ext_address_text(sensor.config.ext_address);
  download.active = false;
  if (!download.msp430) {
    set_upgrade_sensor(id.c_str(), download.file.c_str(), 3, 100);
    std::printf("collector: radio firmware %s sent to %s\n", download.file.c_str(), id.c_str());
    return;
  }
  set_oad_sensor(id.c_str(), download.file.c_str(), 3, 100);
  std::uint8_t version[4];
  if (new_msp430_version(sensor, version)) std::memcpy(sensor.identity.sensor_version, version, 4);
  std::printf("collector: MSP430 firmware %s sent to %s, now at %s\n", download.file.c_str(), id.c_str(),
              version_text(sensor.identity.sensor_version).c_str());
  // The sensor tells its new version: later firmware at once, older firmware in its next ConfigRsp.
  if (sensor.config.style == SensorStyle::kIdentifying && sensor.identified) send_identification(sensor);
}

void on_step(uloop_timeout *timeout) {
  SimSensor &sensor = *reinterpret_cast<SensorTimer *>(timeout)->sensor;
  Download &download = sensor.download;
  if (!download.active) return;
  download.progress += kStepPercent;
  const std::string id = ext_address_text(sensor.config.ext_address);
  if (download.progress >= 100) {
    download.progress = 100;
    if (!download.msp430) write_progress_file(sensor, 100);
    return finish(sensor);
  }
  if (download.msp430) {
    set_oad_sensor(id.c_str(), download.file.c_str(), 2, download.progress);
  } else {
    write_progress_file(sensor, download.progress);
    set_upgrade_sensor(id.c_str(), download.file.c_str(), 1, download.progress);
  }
  uloop_timeout_set(&sensor.download_step.timeout, kStepMs);
}

}  // namespace

void start_download(SimSensor &sensor, bool msp430, const std::string &file) {
  Download &download = sensor.download;
  download = Download{true, msp430, file, 0};
  const std::string id = ext_address_text(sensor.config.ext_address);
  if (!msp430) {
    write_progress_file(sensor, 0);
    set_upgrade_sensor(id.c_str(), file.c_str(), 1, 0);
  }
  sensor.download_step.sensor = &sensor;
  sensor.download_step.timeout.cb = on_step;
  uloop_timeout_set(&sensor.download_step.timeout, kStepMs);
}

void cancel_download(SimSensor &sensor, bool msp430) {
  Download &download = sensor.download;
  if (!download.active || download.msp430 != msp430) return;
  download.active = false;
  uloop_timeout_cancel(&sensor.download_step.timeout);
  const std::string id = ext_address_text(sensor.config.ext_address);
  if (msp430) {
    delete_oad_sensor(id.c_str());
  } else {
    delete_upgrade_sensor(id.c_str());
    unlink(progress_file(sensor).c_str());
  }
}

}  // namespace sim
