// The agent's version, as bridge/info and the gateway's discovery device show it.
#pragma once

namespace mqtt_agent {

constexpr const char *kAgentVersion = "1.1.0";

}  // namespace mqtt_agent
