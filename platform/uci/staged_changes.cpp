#include "staged_changes.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

namespace uci {
namespace {

constexpr std::string_view kHeader = "uci-staged 1 ";

bool digits(std::string_view text, std::size_t max_length) {
  if (text.empty() || text.size() > max_length) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  return true;
}

bool valid_ref(std::string_view ref) {
  if (!ref.empty() && (ref.front() == '#' || ref.front() == '$')) return digits(ref.substr(1), 9);
  return valid_name(ref);
}

void append_escaped(std::string& out, std::string_view value) {
  for (char c : value) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      default: out += c;
    }
  }
}

bool unescape(std::string_view text, std::string& out) {
  out.clear();
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\0') return false;
    if (c != '\\') {
      out += c;
      continue;
    }
    if (++i == text.size()) return false;
    switch (text[i]) {
      case '\\': out += '\\'; break;
      case 'n': out += '\n'; break;
      case 't': out += '\t'; break;
      default: return false;
    }
  }
  return true;
}

// Splits LINE at tabs into at most MAX fields; false if there are more.
bool split_fields(std::string_view line, std::string_view* fields, std::size_t max,
                  std::size_t& count) {
  count = 0;
  for (;;) {
    if (count == max) return false;
    auto tab = line.find('\t');
    fields[count++] = line.substr(0, tab);
    if (tab == std::string_view::npos) return true;
    line.remove_prefix(tab + 1);
  }
}

bool parse_change(std::string_view line, Change& change) {
  std::string_view f[4];
  std::size_t n = 0;
  if (!split_fields(line, f, 4, n) || n < 2 || f[0].size() != 1 || !valid_ref(f[1])) return false;
  change = Change{};
  change.ref = std::string(f[1]);
  switch (f[0][0]) {
    case '+':
      if (n != 3 || f[1][0] != '$' || !valid_name(f[2])) return false;
      change.kind = ChangeKind::add;
      change.type = std::string(f[2]);
      return true;
    case '=':
      if (n != 3 || !valid_name(f[2])) return false;
      change.kind = ChangeKind::set_type;
      change.type = std::string(f[2]);
      return true;
    case '.':
      if (n != 4 || !valid_name(f[2])) return false;
      change.kind = ChangeKind::set_option;
      change.option = std::string(f[2]);
      return unescape(f[3], change.value);
    case '-':
      if (n > 3 || (n == 3 && !valid_name(f[2]))) return false;
      change.kind = ChangeKind::remove;
      if (n == 3) change.option = std::string(f[2]);
      return true;
    default:
      return false;
  }
}

bool parse_header(std::string_view line, ContentVersion& version) {
  if (line.substr(0, kHeader.size()) != kHeader) return false;
  line.remove_prefix(kHeader.size());
  auto space = line.find(' ');
  if (space != 16 || !digits(line.substr(space + 1), 19)) return false;
  std::uint64_t hash = 0;
  for (char c : line.substr(0, 16)) {
    int nibble = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    if (nibble < 0) return false;
    hash = hash << 4 | static_cast<unsigned>(nibble);
  }
  std::uint64_t size = 0;
  for (char c : line.substr(space + 1)) size = size * 10 + static_cast<unsigned>(c - '0');
  version = ContentVersion{hash, size};
  return true;
}

}  // namespace

ContentVersion version_of(std::string_view content) {
  // 64-bit multiply-xorshift over 8-byte words: cheap enough for every load, and together with
  // the size an accidental match between two versions of a file is out of reach.
  std::uint64_t h = 0x9e3779b97f4a7c15ull ^ content.size();
  auto mix = [&h](std::uint64_t word) {
    h ^= word;
    h *= 0xff51afd7ed558ccdull;
    h ^= h >> 32;
  };
  std::size_t i = 0;
  for (; i + 8 <= content.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, content.data() + i, 8);
    mix(word);
  }
  std::uint64_t tail = 0;
  if (i < content.size()) std::memcpy(&tail, content.data() + i, content.size() - i);
  mix(tail);
  h ^= h >> 29;
  h *= 0xc4ceb9fe1a85ec53ull;
  h ^= h >> 32;
  return ContentVersion{h, content.size()};
}

bool parse_staged(std::string_view text, StagedChanges& staged) {
  staged = StagedChanges{};
  auto end = text.find('\n');
  if (end == std::string_view::npos || !parse_header(text.substr(0, end), staged.base)) return false;
  text.remove_prefix(end + 1);
  while (!text.empty()) {
    end = text.find('\n');
    if (end == std::string_view::npos) break;  // cut short: not a complete change
    Change change;
    if (parse_change(text.substr(0, end), change)) staged.changes.push_back(std::move(change));
    text.remove_prefix(end + 1);
  }
  return true;
}

std::string format_staged(const StagedChanges& staged) {
  char header[64];
  std::snprintf(header, sizeof header, "%.*s%016llx %llu\n", static_cast<int>(kHeader.size()),
                kHeader.data(), static_cast<unsigned long long>(staged.base.hash),
                static_cast<unsigned long long>(staged.base.size));
  std::string out = header;
  for (const Change& change : staged.changes) {
    out += static_cast<char>(change.kind);
    out += '\t';
    out += change.ref;
    switch (change.kind) {
      case ChangeKind::add:
      case ChangeKind::set_type:
        out += '\t';
        out += change.type;
        break;
      case ChangeKind::set_option:
        out += '\t';
        out += change.option;
        out += '\t';
        append_escaped(out, change.value);
        break;
      case ChangeKind::remove:
        if (!change.option.empty()) {
          out += '\t';
          out += change.option;
        }
        break;
    }
    out += '\n';
  }
  return out;
}

void apply_change(Package& package, const Change& change) {
  std::size_t index = find_stable(package, change.ref);
  switch (change.kind) {
    case ChangeKind::add:
      if (index != npos) return;  // the same identity twice: keep the first
      package.sections.push_back(Section{change.type, "", change.ref, {}});
      return;
    case ChangeKind::set_type:
      if (index != npos)
        package.sections[index].type = change.type;
      else if (valid_name(change.ref))
        package.sections.push_back(Section{change.type, change.ref, "", {}});
      return;
    case ChangeKind::set_option:
      if (index != npos) package.sections[index].set_option(change.option, change.value);
      return;
    case ChangeKind::remove:
      if (index == npos) return;
      if (change.option.empty())
        package.sections.erase(package.sections.begin() + static_cast<long>(index));
      else
        package.sections[index].remove_option(change.option);
      return;
  }
}

std::string next_added_id(const StagedChanges& staged) {
  constexpr unsigned long kLargest = 999999999;  // ids have at most 9 digits
  std::set<unsigned long> used;
  for (const Change& change : staged.changes)
    if (change.kind == ChangeKind::add)
      used.insert(std::strtoul(change.ref.c_str() + 1, nullptr, 10));
  unsigned long next = used.empty() ? 1 : *used.rbegin() + 1;
  if (next > kLargest) {
    // Only a doctored file gets here: take the lowest free number instead.
    next = 1;
    while (used.count(next)) ++next;
  }
  return "$" + std::to_string(next);
}

}  // namespace uci
