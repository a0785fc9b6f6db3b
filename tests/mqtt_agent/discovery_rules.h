// A checker of Home Assistant's MQTT discovery rules, written from the facts we build against
// (topic and id syntax, device classes with their exact units and state classes, availability,
// entity categories, via_device naming an announced device), independent of the agent's tables.
#pragma once

#include <string>
#include <vector>

namespace discovery_rules {

struct Config {
  std::string topic, payload;  // payload "" removes the entity
};

// Every fault of a set of configs, one line each naming the topic; none when Home Assistant takes
// them all.
std::vector<std::string> check_configs(const std::vector<Config> &configs, const std::string &prefix);

}  // namespace discovery_rules
