#include "web_config.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cctype>
#include <cstdlib>
#include <cstring>

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

std::string lower(std::string text) {
  for (char &c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

bool host_allowed(const char *host, const WebConfig &config) {
  if (host == nullptr || *host == '\0' || std::strlen(host) > 255) return false;
  std::string name = lower(host);
  if (name.front() == '[') {  // an IPv6 address, maybe with a port
    const std::size_t close = name.find(']');
    if (close == std::string::npos || (close + 1 < name.size() && name[close + 1] != ':')) return false;
    in6_addr address{};
    return inet_pton(AF_INET6, name.substr(1, close - 1).c_str(), &address) == 1;
  }
  if (const std::size_t colon = name.rfind(':'); colon != std::string::npos) {
    int port = 0;
    if (!parse_number(name.substr(colon + 1), 1, 65535, port)) return false;
    name.resize(colon);
  }
  if (!name.empty() && name.back() == '.') name.pop_back();  // a fully qualified name
  in_addr address{};
  if (inet_pton(AF_INET, name.c_str(), &address) == 1 || name == "localhost") return true;
  for (const std::string &allowed : config.names)
    if (name == allowed) return true;
  return false;
}

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
  if (config.cert.empty() != config.key.empty()) return "give both a certificate and a key file, or neither";
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
  if (auto streams = uci_option("max_streams"); streams && !parse_number(*streams, 1, 64, config.max_streams))
    problem = "max_streams '" + *streams + "' is not 1..64";
  if (auto names = uci_option("name")) {
    std::size_t start = 0;
    for (std::size_t end; start <= names->size(); start = end + 1) {  // a uci list: words apart
      end = names->find(' ', start);
      if (end == std::string::npos) end = names->size();
      if (end > start) config.names.push_back(lower(names->substr(start, end - start)));
    }
  }
  if (auto cert = uci_option("cert")) config.cert = *cert;
  if (auto key = uci_option("key")) config.key = *key;
  return config;
}

}  // namespace web
