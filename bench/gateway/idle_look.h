// CPU of the daemon with no frame at all: every thread of the main and the command process over a
// while, in percent of one core, as a whole and by thread.
#pragma once

#include <json-c/json.h>
#include <sys/types.h>

namespace bench {

struct IdleLook {
  double percent_of_a_core = 0;
  json_object *threads = nullptr;  // [{"process","tid","name","percent_of_a_core"}], the caller's to keep
};
IdleLook look_at_idle(pid_t main_process, pid_t command_process, int seconds);

}  // namespace bench
