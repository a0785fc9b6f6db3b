// Frames about the collector itself: network information, device array, state changes and the
// confirmations of join-permit and transmit requests.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vorn::app {

void handle_nwk_info_ind(const std::uint8_t *payload);
void handle_get_nwk_info_cnf(const std::uint8_t *payload);
void handle_device_array_cnf(const std::uint8_t *payload, std::size_t length);
void handle_collector_state_change(std::uint8_t state);
void handle_join_permit_cnf(const std::uint8_t *payload);
void handle_tx_data_cnf(const std::uint8_t *payload);

// The collector's state and network mode as the log names them, one line each.
void print_collector_state(std::uint8_t state);
void print_network_mode(int mode);

// Makes sure sensorlist has its Coprocessor section.
void ensure_coprocessor_section();

// The last two characters of a model name (empty when it is shorter), into a 3-byte buffer.
void model_region(const char *model_name, char *region);

}  // namespace vorn::app
