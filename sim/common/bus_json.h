// JSON over the bus for the simulators and their tests: the helpers of the programs beside the
// daemon (agents/common) under the simulators' namespace.
#pragma once

#include "common/bus_json.h"
#include "json_doc.h"
