// Starting the collector, waiting until it is ready, and connecting the link to it.
#pragma once

namespace vorn::app {

constexpr const char *kCollectorReadyFile = "/tmp/collector_ready";
constexpr int kCollectorPort = 5000;

// Counts daemon starts since the collector last reached its started state.
void check_start_count();

// The copy command that installs the collector configuration of a region code.
const char *region_copy_command(int region);

// Stops any running collector, installs the regional configuration and starts the collector.
void start_collector();

// The readiness value the collector wrote (0: not ready).
int collector_ready();

// Waits until the collector is ready, restarting it after every 10 unsuccessful checks.
void wait_for_collector_ready();

// Creates the link socket and connects it, retrying every second without limit. Socket creation
// failure ends the daemon (status 0) after logging it.
int connect_to_collector();

// After the link failed: closes it, waits for the collector as at start-up (restarting it when it
// does not accept connections) and connects again. The new link is asked for its network info.
void reconnect_collector_link();

}  // namespace vorn::app
