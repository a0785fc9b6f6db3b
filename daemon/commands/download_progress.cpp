#include <gateway_lib/utils.h>

#include <cctype>
#include <cstdio>
#include <memory>

#include "cloud/json_document.h"
#include "commands/command_event.h"
#include "core/link_io.h"

namespace vorn::commands {

namespace {

bool all_hex_digits(const char *text) {
  if (*text == '\0') return false;
  for (; *text != '\0'; ++text)
    if (!std::isxdigit(static_cast<unsigned char>(*text))) return false;
  return true;
}

}  // namespace

void read_download_progress(const char *ext_address_text, int *progress) {
  char *short_text = nullptr;
  if (GetShortAddrStr(ext_address_text, &short_text) != 0 || short_text == nullptr) return;
  const std::unique_ptr<char, core::FreeDeleter> owned(short_text);
  if (!all_hex_digits(short_text)) return;  // it names a file under /tmp: nothing else may get in
  char path[32];
  if (std::snprintf(path, sizeof path, "/tmp/%s", short_text) >= static_cast<int>(sizeof path)) return;

  const cloud::JsonPtr document = cloud::parse_json_file(path);
  json_object *process = nullptr;
  if (document && json_object_object_get_ex(document.get(), "process", &process) &&
      json_object_is_type(process, json_type_int))
    *progress = json_object_get_int(process);
}

}  // namespace vorn::commands
