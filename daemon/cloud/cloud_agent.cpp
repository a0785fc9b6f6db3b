#include "cloud/cloud_agent.h"

#include <gateway_lib/settings.h>
#include <libubus.h>

#include <cstdint>
#include <cstdio>

#include "cloud/bus_call.h"
#include "cloud/message_retrieval.h"
#include "core/daemon_state.h"
#include "shared/status_counters.h"

namespace vorn::cloud {

namespace {

// Used only by "transmit": the "obtain" made while a "transmit" answer is handled has its own.
blob_buf transmit_buffer;

// A handler process makes its reports one after the other, in its only thread.
int one_report_depth = 0;
bool one_report_tried = false;
shared::ReportOutcome one_report_outcome = shared::ReportOutcome::kFailed;

void count_try(shared::ReportOutcome outcome) {
  if (one_report_depth == 0) return shared::count_report(outcome);
  one_report_tried = true;
  one_report_outcome = outcome;
}

shared::ReportOutcome outcome_of(int result) {
  if (result == 0) return shared::ReportOutcome::kDelivered;
  return result == UBUS_STATUS_TIMEOUT ? shared::ReportOutcome::kTimedOut : shared::ReportOutcome::kFailed;
}

}  // namespace

OneReportCount::OneReportCount() {
  if (one_report_depth++ == 0) one_report_tried = false;
}

OneReportCount::~OneReportCount() {
  if (--one_report_depth == 0 && one_report_tried) shared::count_report(one_report_outcome);
}

int cloud_agent_ready() {
  system_settings_record settings{};
  if (get_system_settings(&settings) == 1 && settings.cloud_ready != 0) return 0;

  BusConnection bus;
  int status = UBUS_STATUS_NOT_FOUND;
  if (bus.get() == nullptr) {
    std::fputs("Failed to connect to ubus\n", stderr);
  } else if (core::daemon_state.cloud_agent_name != nullptr) {
    std::uint32_t id = 0;
    status = ubus_lookup_id(bus.get(), core::daemon_state.cloud_agent_name, &id);
  }
  if (status != 0) std::puts("Cloud_Agent not ready, Waiting...");
  return status;
}

int cloud_invoke(const char *object, const char *method, const char *sender, const char *message,
                 const char *context) {
  BusConnection bus;
  if (bus.get() == nullptr) {
    std::fputs("Failed to connect to ubus\n", stderr);
    return -1;
  }
  std::uint32_t id = 0;
  if (object == nullptr || ubus_lookup_id(bus.get(), object, &id) != 0) {
    std::fputs("ubus_lookup_id failed\n", stdout);
    count_try(shared::ReportOutcome::kFailed);
    return -1;
  }
  int result = invoke_with_message(bus.get(), id, method, &transmit_buffer, sender, message, on_transmit_reply,
                                   const_cast<char *>(context));
  // The bus reports a time-out or a vanished agent as a positive status: a failure all the same.
  if (result != 0) std::fputs("ubus_invoke failed\n", stdout);
  count_try(outcome_of(result));
  if (core::daemon_state.debug_level > 1) std::printf("tMsg:\r\n%s\r\n", message);
  return result;
}

bool agent_was_absent(int result) { return result == -1 || result == UBUS_STATUS_NOT_FOUND; }

}  // namespace vorn::cloud
