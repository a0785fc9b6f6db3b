// Counts of the frames the collector sent and received, by kind, for the control's "stats" and
// the file written at exit: a test compares them with what the daemon and the cloud show.
#pragma once

#include <json-c/json.h>

#include <cstdint>
#include <map>
#include <string>

namespace sim {

struct FrameCounts {
  std::map<std::string, std::uint64_t> sent;      // link frame names and, inside data indications, sensor commands
  std::map<std::string, std::uint64_t> received;  // request names
  std::map<std::string, std::uint64_t> answered;  // sensor requests the gateway answered with the right tag
  std::map<std::string, double> last_received_at;  // request name -> monotonic seconds of the latest one
  std::uint64_t dropped = 0;                      // frames not sent for want of a link
  std::uint64_t rejected = 0;                     // received frames that were malformed or unexpected
  std::uint64_t unmatched = 0;                    // replies whose sensor tag the sensor never sent
  std::uint64_t unreachable = 0;                  // requests for a sensor not (or no longer) in the network
};

// {"Sent":{...},"Received":{...},"Answered":{...},"LastReceivedAt":{...},"Dropped":n,"Rejected":n,
//  "Unmatched":n,"Unreachable":n}
json_object *counts_json(const FrameCounts &counts);

// Writes the JSON text of `document` to path through a temporary file and a rename.
void write_json_file(const char *path, json_object *document);

}  // namespace sim
