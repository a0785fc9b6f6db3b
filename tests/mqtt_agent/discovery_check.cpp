// discovery_check PREFIX: reads retained discovery messages as `mosquitto_sub -v` prints them
// ("<topic> <payload>", one a line) and prints every fault Home Assistant would find; exit status
// 1 when there is one or when no config came.
#include <iostream>
#include <map>
#include <string>

#include "discovery_rules.h"

int main(int argc, char **argv) {
  if (argc != 2) {
    std::cerr << "usage: discovery_check PREFIX <messages\n";
    return 2;
  }
  // The latest message of each topic, as the broker keeps it.
  std::map<std::string, std::string> latest;
  std::string line;
  while (std::getline(std::cin, line)) {
    const std::size_t space = line.find(' ');
    latest[line.substr(0, space)] = space == std::string::npos ? "" : line.substr(space + 1);
  }
  std::vector<discovery_rules::Config> configs;
  for (const auto &[topic, payload] : latest) configs.push_back({topic, payload});
  const std::vector<std::string> faults = discovery_rules::check_configs(configs, argv[1]);
  for (const std::string &fault : faults) std::cout << "fault: " << fault << "\n";
  std::cout << configs.size() << " discovery configs, " << faults.size() << " faults\n";
  return faults.empty() && !configs.empty() ? 0 : 1;
}
