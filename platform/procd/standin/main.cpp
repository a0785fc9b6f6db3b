// procd (stand-in): the router's service manager, run beside the bus daemon. It serves the bus
// object "service" (set, add, list, delete, signal, event, validate) as the router's does and
// supervises the instances init scripts hand it; its own lines and its instances' output go to
// the system log (/dev/log). It connects to the bus again whenever the bus daemon restarts.
//   procd [-s SOCKET] [-d LEVEL]
extern "C" {
#include <libubus.h>
}

#include <syslog.h>
#include <unistd.h>

#include <cstdio>

#include "loop.h"
#include "service_object.h"

namespace {

const char *g_socket = nullptr;
ubus_context *g_bus = nullptr;
int g_retry_ms = 50;

void connect_later();

void connect_now() {
  if (g_bus != nullptr) ubus_free(g_bus);
  g_bus = ubus_connect(g_socket);
  if (g_bus == nullptr || procd::add_service_object(g_bus) != UBUS_STATUS_OK) {
    connect_later();
    return;
  }
  g_retry_ms = 50;
  g_bus->connection_lost = [](ubus_context *) { connect_later(); };
  ubus_add_uloop(g_bus);
}

procd::Timer &reconnect() {
  static procd::Timer timer(connect_now);
  return timer;
}

// Tries again 50 ms later, then twice as long each time, at most a second apart.
void connect_later() {
  reconnect().set(g_retry_ms);
  g_retry_ms = g_retry_ms * 2 > 1000 ? 1000 : g_retry_ms * 2;
}

}  // namespace

int main(int argc, char **argv) {
  for (int option; (option = getopt(argc, argv, "s:d:S")) != -1;) {
    if (option == 's') g_socket = optarg;
    else if (option == '?') {
      std::fprintf(stderr, "Usage: %s [-s <ubus socket>] [-d <debug level>]\n", argv[0]);
      return 1;
    }
  }
  openlog("procd", 0, LOG_DAEMON);
  setsid();
  uloop_handle_sigchld = false;  // the manager waits for its children itself
  uloop_init();
  procd::watch_children();
  connect_later();
  uloop_run();
  if (g_bus != nullptr) ubus_free(g_bus);
  uloop_done();
  return 0;
}
