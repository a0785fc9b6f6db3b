// The agent's bus object: the cloud agent's methods "transmit" and "obtain" under the agent's own
// name (the daemon's cloud_ubus_name selects it), and "stats" for people and tests.
#pragma once

#include <libubus.h>

#include <string>

namespace mqtt_agent {

class Agent;

// Registers the object named `name` on `bus`; every "transmit" goes to `agent` and, when
// `forward_to` is set, to that object too, whose answer is returned.
bool register_bus_object(ubus_context *bus, const std::string &name, const std::string &forward_to, Agent &agent);
// Closes the connection used for forwarding.
void close_bus_object();

}  // namespace mqtt_agent
