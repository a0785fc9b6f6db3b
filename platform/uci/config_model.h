// In-memory form of one configuration package: sections in file order, each with a type, an
// optional name and its options in order.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace uci {

struct Option {
  std::string name;
  std::vector<std::string> values;  // exactly one for a plain option, one or more for a list
  bool is_list = false;
};

struct Section {
  std::string type;
  std::string name;  // empty for an anonymous section
  // Identity of an anonymous section that does not move when other sections come and go:
  // "#N" is the N-th section of the committed file, "$N" a section added by a staged change.
  std::string id;
  std::vector<Option> options;

  bool anonymous() const { return name.empty(); }
  Option* find_option(std::string_view option_name);
  const Option* find_option(std::string_view option_name) const;
  // Sets a plain option, replacing a list or a plain option of the same name, keeping its place.
  void set_option(std::string_view option_name, std::string_view value);
  bool remove_option(std::string_view option_name);
};

struct Package {
  std::vector<Section> sections;
};

// Section types, section names and option names: letters, digits and underscores.
bool valid_name(std::string_view text);
// Package names are file names under the configuration folder: letters, digits, '_' and '-'.
bool valid_package_name(std::string_view text);

// A section as the command line addresses it: by name, or by type and position.
struct SectionRef {
  bool by_type = false;
  std::string text;  // section name, or section type when by_type (empty: every type)
  long index = 0;    // by_type: position among sections of the type, negative from the end
};

inline constexpr std::size_t npos = static_cast<std::size_t>(-1);

// Index into package.sections of the section REF means, or npos.
std::size_t resolve(const Package& package, const SectionRef& ref);

// The text that stays valid in staged changes for SECTION: its name, or its id.
std::string stable_ref(const Section& section);
// Index of the section a stable reference names, or npos.
std::size_t find_stable(const Package& package, std::string_view ref);

// Name of the anonymous section at INDEX as "add" prints it and an addressed "show" and "changes"
// name it: "cfg", the position from 1 in two or more hex digits, four of a hash of the type. The
// command line accepts it back while the sections before it stay the same.
std::string generated_name(const Package& package, std::size_t index);

}  // namespace uci
