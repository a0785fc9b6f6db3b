#include "frame_counts.h"

#include <cstdio>
#include <string>

namespace sim {

namespace {

json_object *map_json(const std::map<std::string, std::uint64_t> &counts) {
  json_object *object = json_object_new_object();
  for (const auto &[name, count] : counts) json_object_object_add(object, name.c_str(), json_object_new_int64(static_cast<std::int64_t>(count)));
  return object;
}

}  // namespace

json_object *counts_json(const FrameCounts &counts) {
  json_object *object = json_object_new_object();
  json_object_object_add(object, "Sent", map_json(counts.sent));
  json_object_object_add(object, "Received", map_json(counts.received));
  json_object_object_add(object, "Answered", map_json(counts.answered));
  json_object *received_at = json_object_new_object();
  for (const auto &[name, seconds] : counts.last_received_at)
    json_object_object_add(received_at, name.c_str(), json_object_new_double(seconds));
  json_object_object_add(object, "LastReceivedAt", received_at);
  json_object_object_add(object, "Dropped", json_object_new_int64(static_cast<std::int64_t>(counts.dropped)));
  json_object_object_add(object, "Rejected", json_object_new_int64(static_cast<std::int64_t>(counts.rejected)));
  json_object_object_add(object, "Unmatched", json_object_new_int64(static_cast<std::int64_t>(counts.unmatched)));
  json_object_object_add(object, "Unreachable", json_object_new_int64(static_cast<std::int64_t>(counts.unreachable)));
  return object;
}

void write_json_file(const char *path, json_object *document) {
  const std::string temporary = std::string(path) + ".new";
  FILE *file = std::fopen(temporary.c_str(), "w");
  if (file == nullptr) return;
  const char *text = json_object_to_json_string_ext(document, JSON_C_TO_STRING_PLAIN);
  const bool written = std::fputs(text, file) >= 0 && std::fputc('\n', file) != EOF;
  if (std::fclose(file) == 0 && written) std::rename(temporary.c_str(), path);
}

}  // namespace sim
