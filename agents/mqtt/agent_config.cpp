#include "agent_config.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <type_traits>
#include <vector>

namespace mqtt_agent {

namespace {

// uci show writes values in single quotes, a quote inside as '\''.
std::string unquote(const std::string &raw) {
  std::string out;
  bool quoted = false;
  for (std::size_t i = 0; i < raw.size(); ++i) {
    const char c = raw[i];
    if (c == '\'') quoted = !quoted;
    else if (c == '\\' && !quoted && i + 1 < raw.size()) out += raw[++i];
    else out += c;
  }
  return out;
}

bool parse_int(const std::string &text, long long low, long long high, long long &value) {
  if (text.empty()) return false;
  errno = 0;
  char *end = nullptr;
  const long long parsed = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || parsed < low || parsed > high) return false;
  value = parsed;
  return true;
}

// A topic level or prefix: no wildcards, no empty levels at either end, and not under '$', where
// brokers keep their own topics and drop what clients publish.
bool topic_prefix_ok(const std::string &text) {
  return !text.empty() && text.find_first_of("+#") == std::string::npos && text.front() != '/' && text.back() != '/' &&
         text.front() != '$';
}

}  // namespace

std::map<std::string, std::string> parse_uci_show(const std::string &text) {
  std::map<std::string, std::map<std::string, std::string>> sections;
  std::vector<std::string> order;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    const std::size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    const std::string path = line.substr(0, equals);
    const std::size_t first = path.find('.');
    const std::size_t second = first == std::string::npos ? std::string::npos : path.find('.', first + 1);
    if (second == std::string::npos) {
      if (first != std::string::npos) order.push_back(path.substr(first + 1));
      continue;
    }
    sections[path.substr(first + 1, second - first - 1)][path.substr(second + 1)] = unquote(line.substr(equals + 1));
  }
  if (sections.count("main") != 0) return sections["main"];
  if (!order.empty()) return sections[order.front()];
  return {};
}

AgentConfig config_from_options(const std::map<std::string, std::string> &options, std::string &warnings) {
  AgentConfig config;
  auto text = [&](const char *key, std::string &target) {
    const auto found = options.find(key);
    if (found != options.end()) target = found->second;
  };
  auto number = [&](const char *key, long long low, long long high, auto &target) {
    const auto found = options.find(key);
    if (found == options.end() || found->second.empty()) return;
    long long value = 0;
    if (parse_int(found->second, low, high, value)) target = static_cast<std::remove_reference_t<decltype(target)>>(value);
    else warnings += std::string("option ") + key + " '" + found->second + "' is not a number from " +
                     std::to_string(low) + " to " + std::to_string(high) + "; default used\n";
  };
  text("host", config.host);
  number("port", 1, 65535, config.port);
  text("socket", config.socket);
  text("client_id", config.client_id);
  text("username", config.username);
  text("password", config.password);
  text("ca_file", config.ca_file);
  text("cert_file", config.cert_file);
  text("key_file", config.key_file);
  if (config.cert_file.empty() != config.key_file.empty()) {
    warnings += "options cert_file and key_file go together; neither used\n";
    config.cert_file.clear();
    config.key_file.clear();
  }
  int tls = !config.ca_file.empty() || !config.cert_file.empty() ? 1 : 0;
  number("tls", 0, 1, tls);
  config.tls = tls != 0 || !config.ca_file.empty() || !config.cert_file.empty();
  if (const auto found = options.find("protocol"); found != options.end() && !found->second.empty()) {
    if (found->second == "5") config.protocol = 5;
    else if (found->second != "3.1.1" && found->second != "4")
      warnings += "option protocol '" + found->second + "' is neither 3.1.1 nor 5; 3.1.1 used\n";
  }
  number("qos", 0, 2, config.qos);
  int retain = config.retain ? 1 : 0;
  number("retain", 0, 1, retain);
  config.retain = retain != 0;
  number("max_payload", 256, 16777216, config.inbound_limit);
  number("command_rate", 1, 1000, config.command_rate);
  number("command_burst", 1, 10000, config.command_burst);
  std::string base = config.base_topic, prefix = config.discovery_prefix;
  text("base_topic", base);
  text("discovery_prefix", prefix);
  if (topic_prefix_ok(base)) config.base_topic = base;
  else warnings += "option base_topic '" + base + "' refused (no wildcards, empty levels or leading '$'); default used\n";
  if (topic_prefix_ok(prefix)) config.discovery_prefix = prefix;
  else warnings += "option discovery_prefix '" + prefix + "' refused (no wildcards, empty levels or leading '$'); default used\n";
  int discovery = config.discovery ? 1 : 0;
  number("discovery", 0, 1, discovery);
  config.discovery = discovery != 0;
  number("queue_limit", 1, 100000000, config.queue_limit);
  number("offline_intervals", 1, 1000, config.offline_intervals);
  number("keepalive", 5, 3600, config.keepalive);
  text("bus_name", config.bus_name);
  if (config.bus_name.empty()) config.bus_name = "mqtt_agent";
  text("forward_to", config.forward_to);
  text("queue_file", config.queue_file);
  return config;
}

std::string secret_file_warning(const std::string &path, const char *what) {
  struct stat info {};
  if (path.empty() || stat(path.c_str(), &info) != 0 || (info.st_mode & S_IROTH) == 0) return "";
  return path + " holds " + what + " and every user can read it: chmod o-r " + path + "\n";
}

AgentConfig read_agent_config(std::string &warnings) {
  std::string output;
  // A fixed command: nothing from outside reaches the shell.
  if (FILE *pipe = popen("uci -q show vorn_mqtt 2>/dev/null", "r")) {
    char buffer[512];
    std::size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, got);
    pclose(pipe);
  }
  if (output.empty()) warnings += "no configuration vorn_mqtt; defaults used\n";
  AgentConfig config = config_from_options(parse_uci_show(output), warnings);
  if (!config.password.empty()) warnings += secret_file_warning("/etc/config/vorn_mqtt", "the broker password");
  warnings += secret_file_warning(config.key_file, "the client key");
  return config;
}

}  // namespace mqtt_agent
