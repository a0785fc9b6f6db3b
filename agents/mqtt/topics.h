// The topic layout under <base>/<gateway id> and the discovery messages for home automation.
#pragma once

#include <string>
#include <vector>

#include "json.h"
#include "sensor_state.h"

namespace mqtt_agent {

struct TopicLayout {
  std::string base;               // <base topic>/<gateway id>
  std::string gateway_id;
  std::string discovery_prefix;   // empty: discovery off

  std::string sensor_state(const std::string &id) const { return base + "/" + id; }
  std::string availability(const std::string &id) const { return base + "/" + id + "/availability"; }
  std::string set_response(const std::string &id) const { return base + "/" + id + "/set/response"; }
  std::string get_response(const std::string &id) const { return base + "/" + id + "/get/response"; }
  std::string bridge_state() const { return base + "/bridge/state"; }
  std::string bridge_devices() const { return base + "/bridge/devices"; }
  std::string bridge_dropped() const { return base + "/bridge/dropped"; }
  std::string bridge_event() const { return base + "/bridge/event"; }
  std::string bridge_info() const { return base + "/bridge/info"; }
  std::string bridge_response(const std::string &command) const { return base + "/bridge/response/" + command; }
  std::string set_filter() const { return base + "/+/set"; }
  std::string get_filter() const { return base + "/+/get"; }
  std::string request_filter() const { return base + "/bridge/request/#"; }
  std::string request_prefix() const { return base + "/bridge/request/"; }
  std::string discovery_status() const { return discovery_prefix + "/status"; }
};

// The bridge state and availability payloads of the bridge: {"state":"online"} / {"state":"offline"}.
std::string bridge_state_payload(bool online);

// Letters, digits and '_' only, lower case: a channel name fit for an object id.
std::string slug(const std::string &text);

// The text with every character but letters, digits and '-' replaced by '_': an id part.
std::string safe_id(const std::string &text);

// Each channel's part of its entity ids: its slug, and for a channel whose slug an earlier channel
// already took, the slug with "-<position>" (1 for the first channel), which no slug can be.
std::vector<std::string> channel_keys(const SensorState &sensor);

// The name Home Assistant shows for the sensor: its stored name, else its id.
std::string display_name(const SensorState &sensor);

struct DiscoveryMessage {
  std::string topic, payload;  // payload "" removes the entity
};

// One sensor config per channel, and the sensor's battery, signal strength and last seen as
// diagnostic entities.
std::vector<DiscoveryMessage> discovery_configs(const TopicLayout &topics, const SensorState &sensor);

// The empty retained messages that remove those configs.
std::vector<DiscoveryMessage> discovery_removals(const TopicLayout &topics, const SensorState &sensor);

// The gateway as a device of its own (the sensors' via_device): its connection state.
DiscoveryMessage gateway_discovery_config(const TopicLayout &topics);

// One sensor's entry of bridge/devices (also the data of get_device_list).
json_object *device_entry(const SensorState &sensor);

// <base>/bridge/devices: the sensors present, by id.
std::string devices_document(const std::vector<const SensorState *> &sensors);

}  // namespace mqtt_agent
