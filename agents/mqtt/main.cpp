// mqtt_agent: the gateway's sensors on an MQTT broker.
//
// Serves the cloud agent's bus interface under its own name (gateway.main.cloud_ubus_name selects
// it), optionally forwarding every report to another cloud agent, and publishes each sensor's
// state, availability and discovery configs under <base>/<gateway id>; takes commands from the
// broker and hands them to the daemon as its "vorn_mgr" bus event. Messages wait in memory until the
// broker has them, and in a SQLite file while it is away. Configuration: /etc/config/vorn_mqtt. Ends on SIGTERM, SIGINT
// or SIGHUP.
#include <gateway_lib/settings.h>
extern "C" {
#include <libubox/uloop.h>
}
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <signal.h>
#include <sys/stat.h>

#include <cstdio>
#include <ctime>
#include <memory>

#include "agent.h"
#include "agent_config.h"
#include "bus_object.h"

namespace {

std::unique_ptr<mqtt_agent::Agent> g_agent;
uloop_timeout g_tick{};
uloop_fd g_wake{};

void on_signal(int) { uloop_end(); }

void on_tick(uloop_timeout *timeout) {
  g_agent->tick(std::time(nullptr));
#ifdef __GLIBC__
  // Memory freed after a burst goes back to the system, also pages amid the heap (musl's allocator
  // returns them by itself).
  malloc_trim(0);
#endif
  uloop_timeout_set(timeout, 1000);
}

void on_wake(uloop_fd *, unsigned int) { g_agent->handle_link_events(); }

struct BusRelease {
  void operator()(ubus_context *context) const { ubus_free(context); }
};

// Creates the folder that holds the queue file, and its parents.
void make_parent_folders(const std::string &path) {
  for (std::size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1))
    mkdir(path.substr(0, slash).c_str(), 0755);
}

}  // namespace

int main() {
  setvbuf(stdout, nullptr, _IOLBF, 0);
#ifdef __GLIBC__
  // One allocation arena for the network thread and the loop: a small agent, not a fast one.
  mallopt(M_ARENA_MAX, 1);
#endif
  struct sigaction action {};
  action.sa_handler = on_signal;
  for (int signal_number : {SIGTERM, SIGINT, SIGHUP}) sigaction(signal_number, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);

  std::string warnings;
  const mqtt_agent::AgentConfig config = mqtt_agent::read_agent_config(warnings);
  if (!warnings.empty()) std::fprintf(stderr, "mqtt_agent: %s", warnings.c_str());
  char gateway_id[24] = {};
  if (get_register_name(gateway_id) != 0 || gateway_id[0] == '\0') {
    std::fputs("mqtt_agent: the platform setting register_name (the gateway id) is not set\n", stderr);
    return 1;
  }
  // The id becomes a topic level: no wildcards or separators.
  for (char *c = gateway_id; *c != '\0'; ++c)
    if (*c == '/' || *c == '+' || *c == '#') *c = '_';

  make_parent_folders(config.queue_file);
  // Without a usable queue file the agent still runs, its queue in memory (it says so).
  auto outbox = std::make_unique<mqtt_agent::Outbox>(config.queue_file, config.queue_limit);
  std::string error;

  uloop_init();
  // The router's uloop_init catches SIGCHLD without SA_RESTART and reaps every child. The agent
  // watches no child through the loop, so it takes the default back.
  signal(SIGCHLD, SIG_DFL);
  std::unique_ptr<ubus_context, BusRelease> bus(ubus_connect(nullptr));
  if (!bus) {
    std::fputs("mqtt_agent: cannot connect to the bus\n", stderr);
    uloop_done();
    return 1;
  }
  g_agent = std::make_unique<mqtt_agent::Agent>(config, gateway_id, std::move(outbox));
  if (!mqtt_agent::register_bus_object(bus.get(), config.bus_name, config.forward_to, *g_agent)) {
    std::fprintf(stderr, "mqtt_agent: cannot register the bus object %s\n", config.bus_name.c_str());
    g_agent.reset();
    uloop_done();
    return 1;
  }
  ubus_add_uloop(bus.get());
  if (!g_agent->start(bus.get(), error)) {
    std::fprintf(stderr, "mqtt_agent: %s\n", error.c_str());
    mqtt_agent::close_bus_object();
    g_agent.reset();
    bus.reset();
    uloop_done();
    return 1;
  }
  g_wake.cb = on_wake;
  g_wake.fd = g_agent->wake_fd();
  uloop_fd_add(&g_wake, ULOOP_READ);
  g_tick.cb = on_tick;
  uloop_timeout_set(&g_tick, 1000);
  if (config.socket.empty())
    std::printf("mqtt_agent: serving %s for gateway %s, broker %s:%d\n", config.bus_name.c_str(), gateway_id,
                config.host.c_str(), config.port);
  else
    std::printf("mqtt_agent: serving %s for gateway %s, broker at %s\n", config.bus_name.c_str(), gateway_id,
                config.socket.c_str());
  uloop_run();

  uloop_fd_delete(&g_wake);
  uloop_timeout_cancel(&g_tick);
  std::printf("mqtt_agent: %s\n", g_agent->stats_document().c_str());
  mqtt_agent::close_bus_object();
  g_agent.reset();
  bus.reset();
  uloop_done();
  return 0;
}
