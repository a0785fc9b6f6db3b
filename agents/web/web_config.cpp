#include "web_config.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstdlib>

namespace web {

namespace {

// The first line `uci -q get vorn_web.main.<option>` prints; the option names are fixed here, so
// nothing from outside reaches the shell.
std::optional<std::string> uci_option(const char *option) {
  const std::string command = std::string("uci -q get vorn_web.main.") + option + " 2>/dev/null";
  FILE *pipe = popen(command.c_str(), "re");
  if (pipe == nullptr) return std::nullopt;
  char line[256];
  std::optional<std::string> value;
  if (std::fgets(line, sizeof line, pipe) != nullptr) {
    std::string text(line);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    value = text;
  }
  pclose(pipe);
  return value;
}

bool parse_number(const std::string &text, int low, int high, int &out) {
  if (text.empty() || text.size() > 9) return false;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  if (value < low || value > high) return false;
  out = value;
  return true;
}

}  // namespace

bool parse_listen(const std::string &text, WebConfig &config) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string::npos) return false;
  const std::string host = text.substr(0, colon);
  int port = 0;
  if (!parse_number(text.substr(colon + 1), 1, 65535, port)) return false;
  in_addr address{};
  if (host != "localhost" && inet_pton(AF_INET, host.c_str(), &address) != 1) return false;
  config.host = host == "localhost" ? "127.0.0.1" : host;
  config.port = port;
  return true;
}

bool is_loopback(const std::string &host) {
  in_addr address{};
  return inet_pton(AF_INET, host.c_str(), &address) == 1 && (ntohl(address.s_addr) >> 24) == 127;
}

std::optional<std::string> config_problem(const WebConfig &config) {
  if (config.user.empty() != config.password.empty()) return "give both a user and a password, or neither";
  if (!is_loopback(config.host) && config.user.empty())
    return "listening on " + config.host + " (beyond this machine) needs a user and a password";
  if (config.user.find(':') != std::string::npos) return "the user may not contain ':'";
  return std::nullopt;
}

WebConfig read_web_config(std::string &problem) {
  WebConfig config;
  if (auto listen = uci_option("listen"); listen && !parse_listen(*listen, config))
    problem = "listen '" + *listen + "' is not ADDRESS:PORT";
  if (auto user = uci_option("user")) config.user = *user;
  if (auto password = uci_option("password")) config.password = *password;
  if (auto www = uci_option("www"); www && !www->empty()) config.www = *www;
  if (auto poll = uci_option("poll_ms"); poll && !parse_number(*poll, 100, 60000, config.poll_ms))
    problem = "poll_ms '" + *poll + "' is not 100..60000";
  return config;
}

}  // namespace web
