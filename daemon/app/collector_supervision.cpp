#include "app/collector_supervision.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gateway_lib/settings.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cstdlib>

#include "app/collector_frames.h"
#include "core/daemon_state.h"
#include "core/link_io.h"
#include "core/link_semaphore.h"
#include "core/sensorlist_lock.h"
#include "core/shell_command.h"
#include "devices/sensorlist_store.h"
#include "shared/request_builders.h"
#include "shared/status_counters.h"

namespace vorn::app {

void check_start_count() {
  const core::SensorlistWriteLock write_lock;  // the count is read, raised and written back as one
  ensure_coprocessor_section();
  char line[128];
  if (!devices::get_first_line(line, sizeof line, "sensorlist.@Coprocessor[].StartCount")) return;
  const int count = std::atoi(line) + 1;
  std::printf("StartCount = %d\n", count);
  if (count > 10) {
    std::fputs("Coprocessor Error!!!\n", stdout);
    devices::reset_start_count();
    core::run_shell_command("ubus send controld \"{'action':6}\"");
  } else {
    char value[12];
    std::snprintf(value, sizeof value, "%d", count);
    devices::set_coprocessor_option("StartCount", value);
  }
  devices::commit_sensorlist();
}

const char *region_copy_command(int region) {
  switch (region) {
    case 0: case 1: case 2: case 3:
      return "cp -f /etc/vorn_cfg/collector_CN868_normal.cfg /etc/collector.cfg";
    case 4: return "cp -f /etc/vorn_cfg/collector_ETSI868_normal.cfg /etc/collector.cfg";
    case 8: return "cp -f /etc/vorn_cfg/collector_KR920_normal.cfg /etc/collector.cfg";
    case 9: case 11: return "cp -f /etc/vorn_cfg/collector_JP920_HiPA.cfg /etc/collector.cfg";
    case 14: return "cp -f /etc/vorn_cfg/collector_BR915_HiPA.cfg /etc/collector.cfg";
    default: return "cp -f /etc/vorn_cfg/collector_US915_HiPA.cfg /etc/collector.cfg";
  }
}

void start_collector() {
  shared::collector_starting();
  core::run_shell_command("killall -9 collector");
  unlink(kCollectorReadyFile);
  mp_info_record record{};
  const char *copy;
  if (get_mp_info(&record) == 1) {
    std::printf("Sub1g Region: %d\n", record.region);
    copy = region_copy_command(record.region);
  } else {
    std::fputs("Get MP Info fail.\n", stdout);
    copy = region_copy_command(-1);
  }
  core::run_shell_command(copy);
  core::run_shell_command("sync");
  core::run_shell_command("/usr/sbin/collector &");
  sleep(2);
}

int collector_ready() {
  FILE *file = std::fopen(kCollectorReadyFile, "r");
  if (file == nullptr) return 0;
  char digits[3] = {};
  std::size_t n = std::fread(digits, 1, 2, file);
  std::fclose(file);
  return n == 0 ? 0 : std::atoi(digits);
}

void wait_for_collector_ready() {
  for (;;) {
    for (int check = 0; check < 10; ++check) {
      if (collector_ready() != 0) return;
      sleep(1);
    }
    shared::collector_starting();
    core::run_shell_command("killall -9 collector;/usr/sbin/collector &");
  }
}

namespace {

sockaddr_in collector_address() {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(kCollectorPort);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

int create_link_socket() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    std::fputs("socket creation failed...\n", stderr);
    add_common_log("vorn_mgr", 12);
    std::exit(0);
  }
  // Every write on the link, by any process, gives up after this: a collector that stops reading
  // never holds a writer, and with it the link semaphore, for good.
  timeval limit{};
  limit.tv_sec = static_cast<decltype(limit.tv_sec)>(core::kLinkWriteTimeout.count());
  if (setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) != 0)
    std::fprintf(stderr, "link send time-out not set: %s\n", std::strerror(errno));
  std::fputs("Socket successfully created..\n", stdout);
  return fd;
}

bool try_connect(int fd) {
  sockaddr_in address = collector_address();
  if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0) {
    std::fputs("connected to the collector..\n", stdout);
    shared::collector_link_up();
    return true;
  }
  std::fputs("Connect to the collector failed...\n", stderr);
  return false;
}

}  // namespace

int connect_to_collector() {
  int fd = create_link_socket();
  while (!try_connect(fd)) sleep(1);
  return fd;
}

void reconnect_collector_link() {
  std::fputs("The collector closed the link, reconnecting..\n", stdout);
  shared::collector_link_lost();
  core::replace_link_socket(-1);
  for (;;) {
    wait_for_collector_ready();
    int fd = create_link_socket();
    for (int attempt = 0; attempt < 10; ++attempt) {
      if (try_connect(fd)) {
        core::replace_link_socket(fd);
        shared::send_get_nwk_info_req();
        return;
      }
      sleep(1);
    }
    // Ready but not accepting: a collector that died and left its ready file. Start it afresh.
    close(fd);
    unlink(kCollectorReadyFile);
    shared::collector_starting();
    core::run_shell_command("killall -9 collector;/usr/sbin/collector &");
  }
}

}  // namespace vorn::app
