// Fuzz target: the configuration file parser of the uci tool. An input that parses is written out
// again, and the written text must parse back to the same sections, options and values, and be
// written out the same way: every commit rewrites a package this way, so a value that does not
// survive the trip is lost or changed on disk.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "config_text.h"

namespace {

bool same_options(const uci::Section &a, const uci::Section &b) {
  if (a.options.size() != b.options.size()) return false;
  for (std::size_t i = 0; i < a.options.size(); ++i) {
    const uci::Option &x = a.options[i], &y = b.options[i];
    if (x.name != y.name || x.values != y.values || x.is_list != y.is_list) return false;
  }
  return true;
}

bool same_package(const uci::Package &a, const uci::Package &b) {
  if (a.sections.size() != b.sections.size()) return false;
  for (std::size_t i = 0; i < a.sections.size(); ++i) {
    const uci::Section &x = a.sections[i], &y = b.sections[i];
    if (x.type != y.type || x.name != y.name || x.id != y.id || !same_options(x, y)) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char *>(data), size);
  uci::Package package;
  uci::ParseError error;
  if (!uci::parse_config(text, package, error)) {
    if (error.reason.empty() || error.line == 0 || error.byte == 0) __builtin_trap();  // a failure says where
    return 0;
  }
  const std::string written = uci::format_config(package);
  uci::Package again;
  if (!uci::parse_config(written, again, error) || !same_package(package, again)) __builtin_trap();
  if (uci::format_config(again) != written) __builtin_trap();
  return 0;
}
