#include "config_model.h"

#include <cstdint>
#include <cstdio>

namespace uci {

Option* Section::find_option(std::string_view option_name) {
  for (auto& option : options)
    if (option.name == option_name) return &option;
  return nullptr;
}

const Option* Section::find_option(std::string_view option_name) const {
  for (const auto& option : options)
    if (option.name == option_name) return &option;
  return nullptr;
}

void Section::set_option(std::string_view option_name, std::string_view value) {
  Option* option = find_option(option_name);
  if (!option) {
    options.push_back(Option{std::string(option_name), {}, false});
    option = &options.back();
  }
  option->is_list = false;
  option->values.assign(1, std::string(value));
}

bool Section::remove_option(std::string_view option_name) {
  for (auto it = options.begin(); it != options.end(); ++it) {
    if (it->name == option_name) {
      options.erase(it);
      return true;
    }
  }
  return false;
}

namespace {

bool name_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

}  // namespace

bool valid_name(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text)
    if (!name_char(c)) return false;
  return true;
}

bool valid_package_name(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text)
    if (!name_char(c) && c != '-') return false;
  return true;
}

std::size_t resolve(const Package& package, const SectionRef& ref) {
  const auto& sections = package.sections;
  if (!ref.by_type) {
    for (std::size_t i = 0; i < sections.size(); ++i)
      if (sections[i].name == ref.text) return i;
    for (std::size_t i = 0; i < sections.size(); ++i)
      if (sections[i].anonymous() && generated_name(package, i) == ref.text) return i;
    return npos;
  }
  const auto counted = [&](const Section& section) { return ref.text.empty() || section.type == ref.text; };
  std::size_t count = 0;
  for (const auto& section : sections)
    if (counted(section)) ++count;
  long wanted = ref.index;
  if (wanted < 0) wanted += static_cast<long>(count);
  if (wanted < 0 || static_cast<std::size_t>(wanted) >= count) return npos;
  std::size_t seen = 0;
  for (std::size_t i = 0; i < sections.size(); ++i) {
    if (!counted(sections[i])) continue;
    if (seen++ == static_cast<std::size_t>(wanted)) return i;
  }
  return npos;
}

std::string stable_ref(const Section& section) {
  return section.anonymous() ? section.id : section.name;
}

std::size_t find_stable(const Package& package, std::string_view ref) {
  if (ref.empty()) return npos;
  bool by_id = ref.front() == '#' || ref.front() == '$';
  for (std::size_t i = 0; i < package.sections.size(); ++i) {
    const Section& section = package.sections[i];
    if (by_id ? (section.anonymous() && section.id == ref) : section.name == ref) return i;
  }
  return npos;
}

std::string generated_name(const Package& package, std::size_t index) {
  // Built as the router's tool builds it: the section's count in the package (from 1) and a hash
  // of its type, so that a stale name misses rather than hits a section of another type.
  std::uint32_t hash = 5381;
  for (unsigned char c : package.sections[index].type) hash = hash * 33u + c;
  char text[32];
  std::snprintf(text, sizeof text, "cfg%02zx%04x", index + 1, static_cast<unsigned>(hash & 0xffffu));
  return text;
}

}  // namespace uci
