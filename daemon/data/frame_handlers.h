// The handlers of the sensor application frames, one file each, dispatched by command id in
// data_indication.cpp.
#pragma once

#include "data/sensor_frame.h"

namespace vorn::data {

void handle_config_response(SensorFrame &frame);            // 2, config_response.cpp
void handle_sensor_data(SensorFrame &frame);                // 5, sensor_data_frame.cpp
void handle_set_device_value_response(SensorFrame &frame);  // 21, value_responses.cpp
void handle_get_device_value_response(SensorFrame &frame);  // 23, value_responses.cpp
void handle_set_sensor_response(SensorFrame &frame);        // 25, value_responses.cpp
void handle_get_sensor_response(SensorFrame &frame);        // 27, value_responses.cpp
void handle_data_frame_request(SensorFrame &frame);         // 32, data_frame_request.cpp
void handle_identification_request(SensorFrame &frame);     // 34, identification_request.cpp
void handle_disassociation_response(SensorFrame &frame);    // 42, disassociation_response.cpp
void handle_sensor_status_request(SensorFrame &frame);      // 43, sensor_status_request.cpp

}  // namespace vorn::data
