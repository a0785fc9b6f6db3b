// The run-time control of the simulated network: the bus object "collector_sim".
//
//   ubus call collector_sim list                                  the network and every sensor
//   ubus call collector_sim stats                                 frames sent and received by kind
//   ubus call collector_sim add '{...a sensor, as in /etc/collector_sim.json...}'
//   ubus call collector_sim leave    '{"ID":"00124B0001A2B301"}'  the sensor leaves the network
//   ubus call collector_sim rejoin   '{"ID":...}'                 it joins again (re-join flag set)
//   ubus call collector_sim silence  '{"ID":...}'                 it stops sending (later: not active)
//   ubus call collector_sim fail     '{"ID":...,"Channel":0,"Code":1}'   the channel reports an error
//   ubus call collector_sim set      '{"ID":...,"Channel":0,"Value":21.5}' the channel reads this value
//   ubus call collector_sim restore  '{"ID":...[,"Channel":0]}'   back to normal (one channel, or all
//                                                                 and the sensor's silence)
//   ubus call collector_sim pause | resume    every sensor stops / starts sending of its own (they
//                                             still answer requests), so counts can settle
//   ubus call collector_sim stall '{"Seconds":20}'  what the daemon writes is left unread for 20 s
//                                             (0: read again now); frames to the daemon go on
//   ubus call collector_sim pace '{"Rate":300}'  SensorData at 300 frames per second from the
//                                             network as a whole, channel 0 reading the ms since
//                                             the stream began ("Rate":0 stops it; see PacedStream)
// "ID" is the sensor's ExtAddress text; "ShortAddress" (hex text) names it as well.
#pragma once

#include <libubus.h>

#include "network.h"

namespace sim {

// Connects to the bus and registers the object; without a bus it tries again every few seconds.
void start_control(Network &network);
void stop_control();

// The answers of list and stats, also written to /tmp/collector_sim/stats.json.
json_object *network_json(Network &network);
json_object *stats_json(Network &network);

}  // namespace sim
