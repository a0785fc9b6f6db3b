// The agent's configuration, the uci package vorn_mqtt (section "main"), with its defaults.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace mqtt_agent {

struct AgentConfig {
  std::string host = "127.0.0.1";
  int port = 1883;
  std::string socket;            // a unix socket path; when set it is used instead of host and port
  std::string client_id;         // default vorn_mqtt_<gateway id>
  std::string username, password;
  bool tls = false;              // TLS; on by itself when ca_file, cert_file or key_file is set
  std::string ca_file;           // the broker's CA; empty: the system's certificate store
  std::string cert_file, key_file;  // a client certificate and its key, for brokers that ask for one
  int protocol = 4;              // MQTT 3.1.1 (4) or 5
  int qos = 1;                   // of every publish
  bool retain = true;            // state, availability, devices and info retained
  std::string base_topic = "vorn";
  bool discovery = true;
  std::string discovery_prefix = "homeassistant";
  std::int64_t queue_limit = 10000;
  int offline_intervals = 3;
  std::string bus_name = "mqtt_agent";
  std::string forward_to;        // a cloud agent's bus object that also gets every report
  std::string queue_file = "/etc/vorn_mqtt/queue.sqlite";
  int keepalive = 30;
  std::size_t inbound_limit = 65536;  // larger inbound payloads are refused unread
  int command_rate = 2;          // requests a second taken, sustained
  int command_burst = 10;        // requests taken at once
};

// Options from `uci -q show vorn_mqtt` output: option name to value, of the section "main" (or of
// the first section when there is no "main").
std::map<std::string, std::string> parse_uci_show(const std::string &text);

// The configuration from those options; unusable values keep their defaults and are named in
// `warnings`.
AgentConfig config_from_options(const std::map<std::string, std::string> &options, std::string &warnings);

// A warning when the file that holds a secret (the configuration with the broker password, a key)
// can be read by every user; "" otherwise.
std::string secret_file_warning(const std::string &path, const char *what);

// Reads the package with the configuration tool.
AgentConfig read_agent_config(std::string &warnings);

}  // namespace mqtt_agent
