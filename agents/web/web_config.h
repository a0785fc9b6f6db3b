// vorn_web's settings: the uci package vorn_web, section main (see files/vorn_web), with the
// command line able to override the listen address and the page's folder.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace web {

struct WebConfig {
  std::string host = "127.0.0.1";
  int port = 8080;
  std::string user, password;  // HTTP basic authentication; both empty: none
  std::string www = "/usr/share/vorn_web/www";
  int poll_ms = 1000;
  int max_streams = 32;            // event streams at a time
  std::vector<std::string> names;  // host names the page is reached by (beyond IP addresses)
  std::string cert, key;           // PEM files: served over TLS when both are set
};

// "ADDRESS:PORT" with a dotted IPv4 address (0.0.0.0 for every address) or "localhost", and a
// port 1..65535. False, with the config unchanged, for anything else.
bool parse_listen(const std::string &text, WebConfig &config);

// True when only the machine itself can reach the address.
bool is_loopback(const std::string &host);

// Why the settings cannot be served, or nothing when they can: an address beyond the machine
// itself without a user and a password would show the gateway to its whole network.
std::optional<std::string> config_problem(const WebConfig &config);

// True when a request's Host header (with or without a port) names this page: an IP address
// (IPv4, or IPv6 in brackets), localhost, or one of the configured names. A name that only
// resolves to the router (DNS rebinding) is refused.
bool host_allowed(const char *host, const WebConfig &config);

// The settings from uci (`uci -q get vorn_web.main.<option>`); what is missing keeps its default.
// A value that does not parse is reported in `problem`.
WebConfig read_web_config(std::string &problem);

}  // namespace web
