// Calls to the cloud agent on the bus.
#pragma once

namespace vorn::cloud {

// 0 when the cloud agent can be used: the platform settings say so, or its bus object exists.
// Otherwise a non-zero status (4 without a bus connection or agent name, else the lookup's).
int cloud_agent_ready();

}  // namespace vorn::cloud
