// Staged changes of one package: the list of edits made since the last commit, kept in a file
// that every process sees and replayed over the committed file by every command.
//
// The list belongs to one version of the committed file, recorded as that file's content hash
// and size. A list whose version does not match the file on disk is stale (a commit has already
// applied it, or the file was replaced some other way) and is ignored. Sections are recorded by
// identities that no other edit can shift (see Section::id), never by position among their type.
//
// File text: a header line, then one tab-separated line per change:
//   uci-staged 1 <hash, 16 hex digits> <size>
//   +  $N    TYPE               add an anonymous section
//   =  REF   TYPE               create a named section, or change a section's type
//   .  REF   OPTION  VALUE      set an option (VALUE with \\ \n \t escapes)
//   -  REF   [OPTION]           delete a section or one option
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "config_model.h"

namespace uci {

enum class ChangeKind : char { add = '+', set_type = '=', set_option = '.', remove = '-' };

struct Change {
  ChangeKind kind = ChangeKind::set_option;
  std::string ref;     // stable_ref() of the section; for add, the new section's id
  std::string type;    // add, set_type
  std::string option;  // set_option; remove when only one option goes
  std::string value;   // set_option
};

struct ContentVersion {
  std::uint64_t hash = 0;
  std::uint64_t size = 0;
  bool operator==(const ContentVersion&) const = default;
};

ContentVersion version_of(std::string_view content);

struct StagedChanges {
  ContentVersion base;
  std::vector<Change> changes;
};

// Parses a staged-changes file. False when the header is missing or malformed (nothing usable);
// otherwise malformed lines, and a last line cut short without its line end, are skipped.
bool parse_staged(std::string_view text, StagedChanges& staged);
std::string format_staged(const StagedChanges& staged);

// Applies one change; a change whose section no longer exists does nothing.
void apply_change(Package& package, const Change& change);

// Identity for the next section that "add" stages: "$N" above every one in use.
std::string next_added_id(const StagedChanges& staged);

}  // namespace uci
