// cloud_agent: the simulated cloud agent of the gateway.
//
// Registers the bus object named by the platform setting cloud_ubus_name ("cloud_agent" in the
// router sandbox) with the methods "transmit", "obtain" and "reports". Keeps its files under
// /tmp/cloud_agent: transmit.log (every transmitted message, one per line, in call order),
// hold/<sensor id>.json (a message held for a sensor), reports.sqlite (the received reports).
// Ends on SIGTERM, SIGINT or SIGHUP.
#include <gateway_lib/settings.h>
#include <signal.h>
#include <sys/stat.h>

#include <cstdio>

#include "bus_json.h"
#include "cloud_agent.h"

namespace sim {
CloudAgent g_agent;
}

namespace {

void on_signal(int) { uloop_end(); }

const ubus_method kMethods[] = {
    UBUS_METHOD_NOARG("transmit", sim::method_transmit),
    UBUS_METHOD_NOARG("obtain", sim::method_obtain),
    UBUS_METHOD_NOARG("reports", sim::method_reports),
};
ubus_object_type g_type = UBUS_OBJECT_TYPE("cloud_agent", kMethods);

}  // namespace

int main() {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  struct sigaction action {};
  action.sa_handler = on_signal;
  for (int signal_number : {SIGTERM, SIGINT, SIGHUP}) sigaction(signal_number, &action, nullptr);

  char *name = nullptr;
  if (get_cloud_ubus_name(&name) != 0 || name == nullptr) {
    std::fputs("cloud_agent: the platform setting cloud_ubus_name is not set\n", stderr);
    return 1;
  }
  mkdir(sim::kAgentDirectory, 0755);
  mkdir(sim::kHoldDirectory, 0755);
  sim::g_agent.store = sim::open_report_store(sim::kReportDatabase);

  uloop_init();
  sim::Bus bus(ubus_connect(nullptr));
  if (!bus) {
    std::fputs("cloud_agent: cannot connect to the bus\n", stderr);
    uloop_done();
    return 1;
  }
  ubus_object object{.name = name, .type = &g_type, .methods = kMethods,
                     .n_methods = static_cast<int>(ARRAY_SIZE(kMethods))};
  if (ubus_add_object(bus.get(), &object) != UBUS_STATUS_OK) {
    std::fprintf(stderr, "cloud_agent: cannot register the bus object %s\n", name);
    uloop_done();
    return 1;
  }
  ubus_add_uloop(bus.get());
  std::printf("cloud_agent: serving %s\n", name);
  uloop_run();
  bus.reset();
  uloop_done();
  std::printf("cloud_agent: %lld messages received\n", static_cast<long long>(sim::g_agent.transmit_calls));
  return 0;
}
