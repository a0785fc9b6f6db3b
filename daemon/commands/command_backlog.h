// Cloud commands waiting for the command process to carry them out, oldest first. The bus hands
// them over faster than uci writes go, so they wait here and the bus is read at once: a flood then
// neither fills the bus daemon's queue nor holds up the status object. A waiting command that a
// newer one makes pointless (another interval for the same sensor, another join permit, another
// device list request, the same removal) takes the newer one's content where it waits; past
// kCommandBacklog waiting commands a new one is dropped. Both are counted for the status object.
#pragma once

#include <cstddef>
#include <deque>
#include <string>

#include "cloud/json_document.h"

namespace vorn::commands {

// At the pace uci writes allow (a hundred commands a second or less), the last of them waits a
// second or two.
constexpr std::size_t kCommandBacklog = 64;

// What a command replaces when it waits already: "" when it replaces nothing. Only commands that
// hold nothing else are merged, and only valid ones (one whose value would be refused must not
// take the place of a good one).
std::string superseding_key(json_object *document);

class CommandBacklog {
 public:
  enum class Added { kWaiting, kMerged, kDropped };
  Added add(cloud::JsonPtr document);
  // The oldest waiting command; null when none waits.
  cloud::JsonPtr take();
  std::size_t size() const { return waiting_.size(); }

 private:
  struct Waiting {
    std::string key;
    cloud::JsonPtr document;
  };
  std::deque<Waiting> waiting_;
};

}  // namespace vorn::commands
