// Calls to the cloud agent on the bus.
#pragma once

namespace vorn::cloud {

// 0 when the cloud agent can be used: the platform settings say so, or its bus object exists.
// Otherwise a non-zero status (4 without a bus connection or agent name, else the lookup's).
int cloud_agent_ready();

// Calls `method` of the bus object `object` with {"id": sender, "msg": message}, waiting at most
// 3000 ms; the answer goes to on_transmit_reply with `context` (the report's sensor id, which must
// stay valid until the call returns). The bus status (0 on success), or -1 without a bus
// connection or when the object is not on the bus. Every failure prints one line.
int cloud_invoke(const char *object, const char *method, const char *sender, const char *message,
                 const char *context);

// The tries of one report made while it exists count as that one report, with the outcome of the
// last try: answered records are sent again while the agent is away, and are one report all the same.
class OneReportCount {
 public:
  OneReportCount();
  ~OneReportCount();
  OneReportCount(const OneReportCount &) = delete;
  OneReportCount &operator=(const OneReportCount &) = delete;
};

// True for a cloud_invoke result that means the agent was certainly not reached: no bus
// connection, the object not on the bus, or gone before the call was delivered. A time-out or an
// error the agent answered may follow a message it took, so those are not counted here.
bool agent_was_absent(int result);

}  // namespace vorn::cloud
