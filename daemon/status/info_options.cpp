#include "status/info_options.h"

#include <cstdio>
#include <cstring>

#include "status/status_document.h"

namespace vorn::status {

namespace {

constexpr const char *kUsage =
    "usage: vorn_mgr [-d1 | -d2]\n"
    "The gateway daemon of the sub-GHz sensor network: starts and supervises the collector, records\n"
    "the sensors that join and leave, decodes their frames, reports to the cloud agent and carries\n"
    "out the cloud's commands (bus event \"vorn_mgr\"). Its state: ubus call vorn_mgr status|sensors.\n"
    "  -d1        print every frame received from the collector, as a hex dump\n"
    "  -d2        print every message sent to the cloud agent (frames are not dumped)\n"
    "  --help     this text\n"
    "  --version  the daemon's version\n";

}  // namespace

bool print_info_option(int argc, char **argv) {
  if (argc != 2) return false;
  if (std::strcmp(argv[1], "--help") == 0) {
    std::fputs(kUsage, stdout);
    return true;
  }
  if (std::strcmp(argv[1], "--version") == 0) {
    std::printf("vorn_mgr %s\n", kDaemonVersion);
    return true;
  }
  return false;
}

}  // namespace vorn::status
