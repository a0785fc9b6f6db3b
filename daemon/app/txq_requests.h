// What the transmit thread does with each kind of queued request: one table from the request's
// TX API id to the function that turns it into its collector request(s).
#pragma once

#include <cstdint>

namespace vorn::app {

// Serves one queued request; an id without a handler prints one line and sends nothing.
void serve_txq_request(std::int32_t tx_api_id, const std::uint8_t *payload);

}  // namespace vorn::app
