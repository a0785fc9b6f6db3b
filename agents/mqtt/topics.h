// The topic layout under <base>/<gateway id> and the discovery messages for home automation.
#pragma once

#include <string>
#include <vector>

#include "sensor_state.h"

namespace mqtt_agent {

struct TopicLayout {
  std::string base;               // <base topic>/<gateway id>
  std::string gateway_id;
  std::string discovery_prefix;   // empty: discovery off

  std::string sensor_state(const std::string &id) const { return base + "/" + id; }
  std::string availability(const std::string &id) const { return base + "/" + id + "/availability"; }
  std::string set_response(const std::string &id) const { return base + "/" + id + "/set/response"; }
  std::string bridge_state() const { return base + "/bridge/state"; }
  std::string bridge_devices() const { return base + "/bridge/devices"; }
  std::string bridge_dropped() const { return base + "/bridge/dropped"; }
  std::string bridge_response(const std::string &command) const { return base + "/bridge/response/" + command; }
  std::string set_filter() const { return base + "/+/set"; }
  std::string request_filter() const { return base + "/bridge/request/+"; }
  std::string discovery_status() const { return discovery_prefix + "/status"; }
};

// Letters, digits and '_' only, lower case: a channel name fit for an object id.
std::string slug(const std::string &text);

// The text with every character but letters, digits and '-' replaced by '_': an id part.
std::string safe_id(const std::string &text);

// The device class of a channel from its unit or type text; "" when none fits.
std::string device_class(const ChannelState &channel);

struct DiscoveryMessage {
  std::string topic, payload;  // payload "" removes the entity
};

// One config message per channel of the sensor.
std::vector<DiscoveryMessage> discovery_configs(const TopicLayout &topics, const SensorState &sensor);

// The empty retained messages that remove those configs.
std::vector<DiscoveryMessage> discovery_removals(const TopicLayout &topics, const SensorState &sensor);

// <base>/bridge/devices: the sensors present, by id.
std::string devices_document(const std::vector<const SensorState *> &sensors);

}  // namespace mqtt_agent
