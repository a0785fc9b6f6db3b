// The configuration file format:
//
//   config TYPE ['name']
//   	option NAME 'value'
//   	list NAME 'value'
//
// Reading accepts single-quoted, double-quoted (backslash escapes) and bare words, words made of
// several such pieces ('it'\''s'), quoted text across lines, '#' comments and "package" lines.
// Writing always produces the canonical single-quoted form.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "config_model.h"

namespace uci {

struct ParseError {
  std::string reason;    // e.g. "invalid command"
  std::size_t line = 0;  // 1-based
  std::size_t byte = 0;  // 1-based position within the line
};

// Parses TEXT into PACKAGE (replacing its content). Sections get the ids "#0", "#1", ... in file
// order. Returns false and fills ERROR on the first malformed statement.
bool parse_config(std::string_view text, Package& package, ParseError& error);

// The canonical file text of PACKAGE.
std::string format_config(const Package& package);

// Appends VALUE single-quoted, a quote inside written as '\''.
void append_quoted(std::string& out, std::string_view value);

}  // namespace uci
