// One instance's definition as an init script sends it (`ubus call service set`), read the way
// the router's process manager reads it: a field of the wrong type is ignored, a list or table
// that should hold only strings but does not, an empty command or a nice outside -20..20 makes
// the instance invalid (kept, never started, not listed).
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "json.h"

namespace procd {

struct Definition {
  bool valid = false;
  std::vector<std::string> command;
  std::map<std::string, std::string> env;
  std::map<std::string, std::string> limits;
  // Each file named by "file" with a fingerprint of its content when the definition was read
  // (empty when it could not be read).
  std::vector<std::pair<std::string, std::string>> files;
  // Each network device named by "netdev" with its interface index then (0: none).
  std::vector<std::pair<std::string, unsigned>> netdevs;
  std::vector<std::string> errors;
  // "user" and "group" count only when they name an existing user or group.
  std::string user, group;
  uid_t uid = 0;
  gid_t user_gid = 0, group_gid = 0;
  std::string pidfile;
  bool respawn = false;
  int respawn_threshold = 3600, respawn_timeout = 5, respawn_retry = 5;
  int reload_signal = 0, term_timeout = 5, nice = 0;
  int facility = 0;  // syslog facility, LOG_DAEMON unless "facility" names another
  bool log_stdout = false, log_stderr = false;
  // Accepted and compared but without an effect here: jail, seccomp, capabilities, watchdog, ...
  std::string other;
  Json data, triggers, raw;
};

Definition read_definition(json_object *table);

// Whether an instance running with `now` must restart to run with `next`: the router's rule,
// which compares the command, environment, files' content, devices, user and group, pid file,
// respawn rule, reload signal, stop timeout, limits, nice, log facility and the rest, but not
// "data", "stdout", "stderr" or the instance's triggers; and of an environment or limits value
// not its last three characters.
bool definition_changed(const Definition &now, const Definition &next);

// A fingerprint of a file's content (its size and a 64-bit hash); empty when it cannot be read.
std::string file_fingerprint(const std::string &path);

}  // namespace procd
