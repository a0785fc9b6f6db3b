// Latency of the daemon's TX queue: a device array request (tx_api_id 6) posted into a
// slot the way the command process posts, timed until the collector receives the request.
#pragma once

#include <vector>

namespace bench {

// `count` posts, each at a random moment against the transmit thread's 5 ms step, and the
// latencies in milliseconds of those that arrived (a post that does not arrive within a second
// is left out and counted in `lost`).
std::vector<double> txq_latencies(int count, int &lost);

}  // namespace bench
