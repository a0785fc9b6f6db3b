// What every call to the cloud agent shares: a bus connection that lives for one call, the
// request message {"id", "msg"}, the bounded wait for the answer, and the answer's "rc" text.
#pragma once

#include <libubus.h>

#include <cstdint>

namespace vorn::cloud {

constexpr int kAgentCallTimeoutMs = 3000;
constexpr const char *kSenderName = "vorn_mgr";

// The event loop and one bus connection (on the default socket), both ended with the object.
class BusConnection {
 public:
  BusConnection();
  ~BusConnection();
  BusConnection(const BusConnection &) = delete;
  BusConnection &operator=(const BusConnection &) = delete;
  ubus_context *get() const { return context_; }

 private:
  ubus_context *context_;
};

// Fills `buffer` with {"id": sender, "msg": message} (each string with its terminator), calls
// `method` of the object and waits at most kAgentCallTimeoutMs; `on_answer` runs for the answer
// before this returns. The buffer is freed again. The bus status: 0 on success.
int invoke_with_message(ubus_context *context, std::uint32_t object_id, const char *method, blob_buf *buffer,
                        const char *sender, const char *message, ubus_data_handler_t on_answer, void *context_data);

// The text of the answer's "rc" member (a string); null when the answer has none.
const char *answer_return_code(blob_attr *answer);

}  // namespace vorn::cloud
