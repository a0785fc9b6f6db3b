// Triggers: rules a service (or one of its instances) registers, run against each event the
// manager is sent (`ubus call service event`). A rule is ["<event type>", <script>, <delay ms>]:
// the script's conditions ("if" with "eq", "has", "and", "or", "not") are checked against the
// event's data, and each "run_script" it reaches is run with its arguments (%name% replaced by the
// data's value) once its delay has passed: the same command asked for again while it waits waits
// its delay again from then (a burst of events runs it once), asked for while it runs runs once
// more afterwards; commands run one at a time, without output.
#pragma once

#include "json.h"

namespace procd {

void add_triggers(const void *owner, json_object *rules);
void remove_triggers(const void *owner);
void trigger_event(const char *type, json_object *data);

}  // namespace procd
