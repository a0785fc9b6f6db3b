// Commands from the page to the daemon: checked here, sent as the daemon's "vorn_mgr" bus event,
// and followed until their effect shows in sensorlist (or time runs out), which is the daemon's
// answer: it confirms no command on the bus itself.
//
//   {"command":"set_interval","id":"<sensor>","interval":<seconds>}   SetEventTimer + TimeBase
//   {"command":"remove","id":"<sensor>"}                              RemoveDev
//   {"command":"permit_join","enable":true|false}                     JoinNetwork_Enable
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace web {

struct PageCommand {
  std::string kind, id;  // id: the sensor, upper case
  std::int64_t interval = 0;
  bool enable = false;
};

// The command in a request body, or nothing with `reason` set.
std::optional<PageCommand> parse_page_command(const std::string &body, std::string &reason);

// The daemon's bus event for it (a JSON object text).
std::string command_event(const PageCommand &command);

// What shows that the daemon took the command: the sensorlist option and the value it must hold
// ("" option: nothing to look at, sending is all there is).
struct CommandEffect {
  std::string option, value;
};
CommandEffect command_effect(const PageCommand &command);

}  // namespace web
