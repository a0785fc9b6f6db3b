// Cloud commands: the bus event "vorn_mgr".
#pragma once

#include <libubus.h>

#include "cloud/json_document.h"
#include "core/ext_address.h"

namespace vorn::commands {

// The command of a bus event as a JSON document; null when it is not one.
cloud::JsonPtr command_document(struct blob_attr *message);

// Turns one command into a sensorlist change or one filled TXQ slot.
void run_command(json_object *document);

// Both, for one event at once (the command process lets commands wait instead: command_backlog.h).
void handle_command_event(struct ubus_context *context, struct ubus_event_handler *handler,
                          const char *type, struct blob_attr *message);

// Writes the ExtAddress text of the sensor with this short address (1..100) into `text`; leaves
// `text` untouched when the short address is out of range or its DeviceList entry is free.
void ext_text_for_short_address(int short_address, char (&text)[core::kExtAddressTextSize]);

// Reads the radio download progress ("process" of the sensor's progress file "/tmp/<short
// address text>") into `progress`; leaves it unchanged when there is none to read.
void read_download_progress(const char *ext_address_text, int *progress);

}  // namespace vorn::commands
