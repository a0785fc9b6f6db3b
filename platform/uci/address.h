// Command-line addresses: "pkg", "pkg.section", "pkg.section.option", each optionally followed
// by "=value"; a section is a name or "@type[N]" ("[]" is the first, negative N counts from the
// end, "@[N]" counts sections of every type).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "config_model.h"

namespace uci {

struct Address {
  std::string package;
  std::optional<SectionRef> section;
  std::string option;  // empty when the address stops at the section
  std::optional<std::string> value;
};

// Parses ARG; "=value" is accepted only with ALLOW_VALUE. False when ARG is malformed.
bool parse_address(std::string_view arg, bool allow_value, Address& address);

// Parses the section part of an address, a name or "@type[N]". False when it is malformed.
bool parse_section_ref(std::string_view text, SectionRef& ref);

}  // namespace uci
