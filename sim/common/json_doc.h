// The simulators and their tests use the JSON helpers of the programs beside the daemon
// (agents/common) under their own namespace.
#pragma once

#include "common/json_doc.h"

namespace sim {
using namespace agents;
}
