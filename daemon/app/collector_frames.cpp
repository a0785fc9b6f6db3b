#include "app/collector_frames.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/byte_order.h"
#include "core/ext_address.h"
#include "core/log_line.h"
#include "core/sensorlist_lock.h"
#include "core/shell_command.h"
#include "devices/sensorlist_store.h"

namespace vorn::app {

void print_collector_state(std::uint8_t state) {
  static const char *const names[] = {"Waiting\n",  "Starting\n",  "Restoring\n", "Started\n",
                                      "Restored\n", "Join Open\n", "Join Close\n"};
  std::fputs(state < 7 ? names[state] : "Unknow State\n", stdout);
}

void print_network_mode(int mode) {
  switch (mode) {
    case 1: std::fputs("Beacon Enabled\n", stdout); break;
    case 2: std::fputs("Non Beacon\n", stdout); break;
    case 3: std::fputs("Freq Hopping\n", stdout); break;
    default: std::fputs("Unknown Mode\n", stdout); break;
  }
}

namespace {

const char *true_false(std::uint8_t value) { return value ? "True" : "False"; }

void print_ext_address_line(const std::uint8_t *ext_address) {
  char text[core::kExtAddressTextSize];
  core::ext_address_text(ext_address, text);
  std::printf("\tExt. Address: %s\n", text);
}

void store_coprocessor_ext_address(const std::uint8_t *ext_address) {
  if (!core::ext_address_is_set(ext_address)) return;
  char text[core::kExtAddressTextSize];
  core::ext_address_text(ext_address, text);
  devices::set_coprocessor_option("ExtAddress", text);
}

// The mode and state lines that close both network information blocks.
void print_network_tail(std::uint16_t pan_id, std::uint16_t short_address, const std::uint8_t *ext_address,
                        const std::uint8_t *channel_to_state) {
  std::printf("\tPanID: %04X\n", pan_id);
  std::printf("\tShort Address: %04X\n", short_address);
  print_ext_address_line(ext_address);
  std::printf("\tChannel: %d\n", channel_to_state[0]);
  std::printf("\tFH Enable: %s\n", true_false(channel_to_state[1]));
  std::printf("\tSecurity Enable: %s\n", true_false(channel_to_state[2]));
  std::fputs("\tNetwork Mode: ", stdout);
  print_network_mode(channel_to_state[3]);
  std::fputs("\tState: ", stdout);
  print_collector_state(channel_to_state[4]);
}

}  // namespace

void handle_nwk_info_ind(const std::uint8_t *p) {
  std::fputs("Update Network Info:\n", stdout);
  std::printf("\tFW Ver: %d.%d.%d.%d\n", p[0], p[1], p[2], p[3]);
  print_network_tail(core::read_le16(p + 4), core::read_le16(p + 6), p + 8, p + 16);
  const core::SensorlistWriteLock write_lock;
  store_coprocessor_ext_address(p + 8);
  devices::commit_sensorlist();
}

void model_region(const char *model_name, char *region) {
  std::memset(region, 0, 3);
  std::size_t length = std::strlen(model_name);
  if (length >= 2) std::memcpy(region, model_name + length - 2, 2);
}

void handle_get_nwk_info_cnf(const std::uint8_t *p) {
  core::run_shell_command("killall -9 cm_restart");
  {
    const core::SensorlistWriteLock write_lock;
    devices::reset_start_count();
    devices::commit_sensorlist();
  }

  char model_name[33] = {};
  std::memcpy(model_name, p + 22, 32);
  char region[3];
  model_region(model_name, region);

  const int major = static_cast<std::int8_t>(p[1]);
  const int minor = static_cast<std::int8_t>(p[2]);
  const int patch = static_cast<std::int8_t>(p[3]);
  const std::uint8_t build = p[4];
  const std::int64_t word = (std::int64_t{major} << 24) + (std::int64_t{minor} << 16) +
                            (std::int64_t{patch} << 8) + static_cast<std::int8_t>(build);
  const std::uint32_t version = static_cast<std::uint32_t>(word);

  std::fputs("Get Network Info:\n", stdout);
  std::printf("\tModel Name: %s\n", model_name);
  std::printf("\tModel Region: %s\n", region);
  std::printf("\tModel FW Ver: %d.%d.%d.%02X\n", major, minor, patch, build);
  std::printf("\tStatus: %s\n", true_false(p[0]));
  print_network_tail(core::read_le16(p + 5), core::read_le16(p + 7), p + 9, p + 17);

  const core::SensorlistWriteLock write_lock;  // check_sub1g_module below starts in the background
  ensure_coprocessor_section();
  char model_version[64];
  std::snprintf(model_version, sizeof model_version, "%d.%d.%d.%02X", major, minor, patch, build);
  devices::set_coprocessor_option("ModelVersion", model_version);
  store_coprocessor_ext_address(p + 9);
  if (version > 0x90004) {
    // An empty text would delete the stored option on the router's uci, so it is not written.
    if (model_name[0] == '\0') {
      std::printf("Model name is empty, the stored one is kept\n");
    } else if (core::is_safe_command_value(model_name)) {
      devices::set_coprocessor_option("ModelName", model_name);
      if (region[0] != '\0') devices::set_coprocessor_option("ModelRegion", region);
    } else {
      std::printf("Model name holds characters unfit for the configuration, not stored\n");
    }
  }
  devices::commit_sensorlist();
  core::run_shell_command("check_sub1g_module &");
}

void ensure_coprocessor_section() {
  const core::SensorlistWriteLock write_lock;
  char line[128];
  switch (devices::get_line(line, sizeof line, "sensorlist.@Coprocessor[]")) {
    case devices::LineRead::kNotRun: return;  // nothing known: adding could make a second section
    case devices::LineRead::kLine:
      if (std::strlen(line) > 10 && std::strncmp(line, "Coprocessor", 11) == 0) return;
      break;
    case devices::LineRead::kNoLine: break;
  }
  devices::add_coprocessor_section();
  devices::reset_start_count();
  devices::commit_sensorlist();
}

void handle_device_array_cnf(const std::uint8_t *p, std::size_t length) {
  std::fputs("Get Device List:\n", stdout);
  std::printf("Status: %d\n", p[0]);
  if (length < 3) {
    std::printf("Device number: missing (%zu payload bytes)\n", length);
    return;
  }
  const unsigned count = core::read_le16(p + 1);
  std::printf("Device number: %u\n", count);
  const std::size_t held = (length - 3) / 18;
  for (unsigned k = 0; k < count && k < held; ++k) {
    const std::uint8_t *entry = p + 3 + 18 * k;
    std::printf("Device %u:\n", k + 1);
    std::printf("\tShort Address: %04X\n", core::read_le16(entry + 2));
    print_ext_address_line(entry + 4);
  }
  if (count > held)
    std::printf("Device number %u claims more than the %zu entries the frame holds\n", count, held);
}

void handle_collector_state_change(std::uint8_t state) {
  std::fputs("Collector State Change: ", stdout);
  print_collector_state(state);
  std::fflush(stdout);
  switch (state) {
    case 5:
      core::run_shell_command("ubus send controld \"{'action':4}\"");
      core::run_shell_command("echo \"`date` `echo - Start WPS`\" >> /etc/status_log &");
      break;
    case 6:
      core::run_shell_command("ubus send controld \"{'action':5}\"");
      core::run_shell_command("echo \"`date` `echo - Stop WPS`\" >> /etc/status_log &");
      break;
    case 3:
      core::run_shell_command("echo \"`date` `echo - Collector ready`\" >> /etc/cm_log &");
      core::run_shell_command("killall -9 cm_restart");
      {
        const core::SensorlistWriteLock write_lock;
        devices::reset_start_count();
        devices::commit_sensorlist();
      }
      break;
    default: break;
  }
}

void handle_join_permit_cnf(const std::uint8_t *p) {
  std::printf("Set Join Permit Result: 0x%X\n", core::read_le32(p));
}

void handle_tx_data_cnf(const std::uint8_t *p) {
  core::log_line("Tx Data Request Result: 0x%X\n", core::read_le32(p));
}

}  // namespace vorn::app
