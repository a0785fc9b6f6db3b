#include "app/startup.h"

#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gateway_lib/settings.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/collector_supervision.h"
#include "app/command_supervision.h"
#include "app/inbound_loop.h"
#include "app/shutdown.h"
#include "app/transmit_thread.h"
#include "cloud/cloud_agent.h"
#include "cloud/message_retrieval.h"
#include "core/daemon_state.h"
#include "core/process_fork.h"
#include "core/run_file.h"
#include "core/shell_command.h"
#include "data/retrieved_settings.h"
#include "devices/reconcile.h"
#include "devices/sensorlist_store.h"
#include "firmware/firmware_download.h"
#include "shared/answered_records.h"
#include "shared/segments.h"

namespace vorn::app {

int parse_debug_level(int argc, char **argv) {
  if (argc != 2) return 0;
  if (std::strcmp(argv[1], "-d1") == 0) return 1;
  if (std::strcmp(argv[1], "-d2") == 0) return 2;
  return 0;
}

namespace {

void wait_for_cloud_agent() {
  while (get_cloud_ubus_name(&core::daemon_state.cloud_agent_name) != 0 || core::daemon_state.cloud_agent_name == nullptr)
    sleep(1);
  while (cloud::cloud_agent_ready() != 0) sleep(3);
}

// gateway.main.waiting_handlers: the most frame handlers that may hold answered records for the
// cloud agent at once. Read once, at the start, as the other settings.
int waiting_handlers_setting() {
  char line[64];
  if (!devices::read_first_line(line, sizeof line, "uci -q get gateway.main.waiting_handlers"))
    return shared::kDefaultWaitingHandlers;
  char *end = nullptr;
  const long value = std::strtol(line, &end, 10);
  if (end != line && (*end == '\n' || *end == '\0') && value >= 1 && value <= shared::kAnswerSlots) return static_cast<int>(value);
  line[std::strcspn(line, "\n")] = '\0';
  std::printf("gateway.main.waiting_handlers \"%.20s\" is not 1 to %d: %d handlers may wait for Cloud_Agent\n", line,
              shared::kAnswerSlots, shared::kDefaultWaitingHandlers);
  return shared::kDefaultWaitingHandlers;
}

void start_transmit_thread() {
  static char argument[] = "appcli_tx";
  pthread_t thread;
  int rc = pthread_create(&thread, nullptr, transmit_thread, argument);
  if (rc != 0) {
    std::fprintf(stderr, "transmit thread could not start: %s\n", std::strerror(rc));
    std::exit(1);
  }
  pthread_detach(thread);
}

// The download records are kept in the platform's SQLite database. They are read in a child: the
// main process runs for months, and reading them itself would keep about a megabyte of the database
// library resident in it for good. The main process goes on once the child is done, as before.
void resume_downloads_in_child() {
  const pid_t child = core::fork_process();
  if (child < 0) return firmware::resume_downloads();
  if (child == 0) {
    firmware::resume_downloads();
    std::fflush(stdout);
    _exit(0);
  }
  while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace

void run_daemon(int argc, char **argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);  // the daemon forks per frame: never hold half a buffer
  core::claim_run_file();  // before any segment, semaphore, file or the collector is touched
  core::daemon_state.main_process = getpid();
  get_register_name(core::daemon_state.gateway_id);
  core::daemon_state.debug_level = parse_debug_level(argc, argv);
  install_shutdown_handler();
  cloud::set_retrieved_message_handler(data::handle_retrieved_message);  // before any fork
  wait_for_cloud_agent();
  shared::create_shared_state();
  shared::create_answer_slots(waiting_handlers_setting());
  fork_command_process();
  watch_command_process();

  add_common_log("vorn_mgr", 11);
  core::run_and_wait_in_child(check_start_count);  // sensorlist writes: never under a lock of this process
  start_collector();
  wait_for_collector_ready();
  core::daemon_state.link_socket.store(connect_to_collector());

  core::run_and_wait_in_child(devices::reconcile_sensor_list);  // it deletes sections: a child's writes
  resume_downloads_in_child();
  if (shared::open_link_semaphore() != 0) {
    std::fputs("Create Semphore Failed\n", stdout);
    std::exit(0);
  }
  std::fputs("Create Semphore Success\n", stdout);
  start_transmit_thread();
  core::run_shell_command("killall -9 cm_restart;/usr/sbin/cm_restart 30 3 &");
  sleep(1);
  run_inbound_loop();
}

}  // namespace vorn::app
