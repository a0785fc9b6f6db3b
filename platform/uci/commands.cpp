#include "commands.h"

#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "address.h"
#include "config_text.h"

namespace uci {
namespace {

// The commands this tool knows, in the router's tool's wording.
constexpr std::string_view kUsageText =
    " [<options>] <command> [<arguments>]\n"
    "\n"
    "Commands:\n"
    "\tchanges    [<config>]\n"
    "\tcommit     [<config>]\n"
    "\tadd        <config> <section-type>\n"
    "\tshow       [<config>[.<section>[.<option>]]]\n"
    "\tget        <config>.<section>[.<option>]\n"
    "\tset        <config>.<section>[.<option>]=<value>\n"
    "\tdelete     <config>[.<section>[.<option>]]\n"
    "\trevert     <config>[.<section>[.<option>]]\n"
    "\n"
    "Options:\n"
    "\t-q         quiet mode (don't print error messages)\n"
    "\n";

constexpr std::string_view kNotFoundText = "Entry not found";
constexpr std::string_view kInvalidText = "Invalid argument";

class Command {
 public:
  Command(std::string_view name, const Paths& paths, Output& output, bool quiet)
      : name_(name), paths_(paths), output_(output), quiet_(quiet) {}

  int get(std::string_view arg);
  int set(std::string_view arg);
  int add(std::string_view package, std::string_view type);
  int remove(std::string_view arg);
  int show(const char* arg);
  int changes(const char* arg);
  int commit(const char* arg);
  int revert(std::string_view arg);

 private:
  // Prints "<name>: TEXT" unless quiet; returns the exit status of a failed command, 1, and
  // keeps CODE for "add", whose exit status is the error's code.
  int fail(std::string_view text, int code) {
    code_ = code;
    if (!quiet_) {
      output_.err += name_;
      output_.err += ": ";
      output_.err += text;
      output_.err += '\n';
    }
    return 1;
  }
  int fail(const Result& result) {
    switch (result.status) {
      case Status::not_found: return fail(result.text, kNotFound);
      case Status::parse_error: return fail(result.text, kParseError);
      default: return fail(result.text, kIoError);
    }
  }
  int fail_invalid() { return fail(kInvalidText, kInvalidArgument); }
  int fail_not_found() { return fail(kNotFoundText, ErrorCode::kNotFound); }

  // One read-modify-write of a package's staged changes under its lock. EDIT gets the loaded
  // package and returns 0 with the changes to stage (possibly none), or an exit status.
  template <typename Edit>
  int stage(std::string_view package, Edit edit);

  void show_package(std::string_view package, const Package& view);
  void show_section(std::string_view package, const Section& section, const std::string& shown);
  void show_option(const std::string& prefix, const Option& option);
  void list_changes(std::string_view package, LoadedPackage& loaded);
  int commit_one(std::string_view package);

  std::string_view name_;  // the name the tool was run by, which starts every message
  const Paths& paths_;
  Output& output_;
  bool quiet_;
  int code_ = 0;
};

// A section's name, or the generated one of an anonymous section.
std::string section_name(const Package& view, std::size_t index) {
  const Section& section = view.sections[index];
  return section.anonymous() ? generated_name(view, index) : section.name;
}

int Command::get(std::string_view arg) {
  Address address;
  if (!parse_address(arg, true, address)) return fail_invalid();
  if (address.value) return 1;  // a value where none belongs: refused without a word
  LoadedPackage loaded;
  if (Result result = load_package(paths_, address.package, loaded); !result.ok()) return fail(result);
  if (!address.section) return 0;  // a package alone prints nothing
  std::size_t index = resolve(loaded.view, *address.section);
  if (index == npos) return fail_not_found();
  const Section& section = loaded.view.sections[index];
  if (address.option.empty()) {
    output_.out += section.type;
  } else {
    const Option* option = section.find_option(address.option);
    if (!option) return fail_not_found();
    // A list's values one after the other, quoted only where one holds a blank or a line end.
    for (std::size_t i = 0; i < option->values.size(); ++i) {
      const std::string& value = option->values[i];
      if (i > 0) output_.out += ' ';
      if (option->is_list && value.find_first_of(" \t\r\n") != std::string::npos)
        append_quoted(output_.out, value);
      else
        output_.out += value;
    }
  }
  output_.out += '\n';
  return 0;
}

template <typename Edit>
int Command::stage(std::string_view package, Edit edit) {
  // As the router's tool does: the package is read without a lock, and only the append to the
  // staged changes is locked (see append_staged for what a commit in between does).
  LoadedPackage loaded;
  if (Result result = load_package(paths_, package, loaded); !result.ok()) return fail(result);
  std::vector<Change> changes;
  if (int status = edit(loaded, changes); status != 0) return status;
  if (changes.empty()) return 0;
  if (Result result = append_staged(paths_, package, loaded.staged.base, std::move(changes));
      !result.ok())
    return fail(result);
  return 0;
}

int Command::set(std::string_view arg) {
  Address address;
  if (!parse_address(arg, true, address) || !address.section || !address.value) return fail_invalid();
  const std::string& value = *address.value;
  if (address.option.empty() && !value.empty() && !valid_name(value)) return fail_invalid();
  return stage(address.package, [&](LoadedPackage& loaded, std::vector<Change>& changes) {
    std::size_t index = resolve(loaded.view, *address.section);
    if (value.empty()) {
      // An empty value deletes what it names, as the router's tool does; nothing there, nothing
      // to do. An option of a section that does not exist is still a mistake.
      if (index == npos) return address.option.empty() ? 0 : fail_invalid();
      const Section& section = loaded.view.sections[index];
      if (!address.option.empty() && !section.find_option(address.option)) return 0;
      changes.push_back(Change{ChangeKind::remove, stable_ref(section), "", address.option, ""});
      return 0;
    }
    if (address.option.empty()) {
      if (index == npos) {
        if (address.section->by_type) return fail_invalid();
        changes.push_back(Change{ChangeKind::set_type, address.section->text, value, "", ""});
      } else if (loaded.view.sections[index].type != value) {
        changes.push_back(
            Change{ChangeKind::set_type, stable_ref(loaded.view.sections[index]), value, "", ""});
      }
      return 0;
    }
    if (index == npos) return fail_invalid();  // an option of no section
    const Section& section = loaded.view.sections[index];
    const Option* option = section.find_option(address.option);
    // Setting the value an option already has changes nothing and is not staged.
    if (option && !option->is_list && option->values.front() == value) return 0;
    changes.push_back(Change{ChangeKind::set_option, stable_ref(section), "", address.option, value});
    return 0;
  });
}

int Command::add(std::string_view package, std::string_view type) {
  if (!valid_package_name(package) || !valid_name(type)) {
    fail_invalid();
    return code_;
  }
  std::string name;
  int status = stage(package, [&](LoadedPackage& loaded, std::vector<Change>& changes) {
    Change change{ChangeKind::add, next_added_id(loaded.staged), std::string(type), "", ""};
    apply_change(loaded.view, change);
    name = generated_name(loaded.view, loaded.view.sections.size() - 1);
    changes.push_back(std::move(change));
    return 0;
  });
  if (status != 0) return code_;
  output_.out += name;
  output_.out += '\n';
  return 0;
}

int Command::remove(std::string_view arg) {
  Address address;
  if (!parse_address(arg, false, address) || !address.section) return fail_invalid();
  return stage(address.package, [&](LoadedPackage& loaded, std::vector<Change>& changes) {
    std::size_t index = resolve(loaded.view, *address.section);
    if (index == npos) return fail_not_found();
    const Section& section = loaded.view.sections[index];
    if (!address.option.empty() && !section.find_option(address.option)) return fail_not_found();
    changes.push_back(Change{ChangeKind::remove, stable_ref(section), "", address.option, ""});
    return 0;
  });
}

void Command::show_option(const std::string& prefix, const Option& option) {
  std::string& out = output_.out;
  out += prefix;
  out += '.';
  out += option.name;
  out += '=';
  for (std::size_t i = 0; i < option.values.size(); ++i) {
    if (i > 0) out += ' ';
    append_quoted(out, option.values[i]);
  }
  out += '\n';
}

void Command::show_section(std::string_view package, const Section& section,
                           const std::string& shown) {
  std::string prefix = std::string(package) + "." + shown;
  output_.out += prefix;
  output_.out += '=';
  output_.out += section.type;
  output_.out += '\n';
  for (const Option& option : section.options) show_option(prefix, option);
}

void Command::show_package(std::string_view package, const Package& view) {
  // A whole package shows anonymous sections as "@type[N]", positions counted on the way.
  std::unordered_map<std::string_view, std::size_t> seen_of_type;
  for (const Section& section : view.sections) {
    std::size_t position = seen_of_type[section.type]++;
    show_section(package, section,
                 section.anonymous() ? "@" + section.type + "[" + std::to_string(position) + "]"
                                     : section.name);
  }
}

int Command::show(const char* arg) {
  if (!arg) {
    for (const std::string& package : committed_packages(paths_)) {
      LoadedPackage loaded;
      if (Result result = load_package(paths_, package, loaded); !result.ok())
        fail(result);  // said, and the others still shown
      else
        show_package(package, loaded.view);
    }
    return 0;
  }
  Address address;
  if (!parse_address(arg, false, address)) return fail_invalid();
  LoadedPackage loaded;
  if (Result result = load_package(paths_, address.package, loaded); !result.ok()) return fail(result);
  if (!address.section) {
    show_package(address.package, loaded.view);
    return 0;
  }
  std::size_t index = resolve(loaded.view, *address.section);
  if (index == npos) return fail_not_found();
  const Section& section = loaded.view.sections[index];
  // Addressed, a section is shown by its name, an anonymous one by its generated name.
  std::string shown = section_name(loaded.view, index);
  if (address.option.empty()) {
    show_section(address.package, section, shown);
    return 0;
  }
  const Option* option = section.find_option(address.option);
  if (!option) return fail_not_found();
  show_option(address.package + "." + shown, *option);
  return 0;
}

void Command::list_changes(std::string_view package, LoadedPackage& loaded) {
  // Replays the changes over the committed file, naming each section as it stood at that step.
  // Changes whose section is gone do nothing and are not listed.
  Package& view = loaded.view;
  std::string prefix = std::string(package) + ".";
  for (const Change& change : loaded.staged.changes) {
    std::size_t index = find_stable(view, change.ref);
    std::string line;
    switch (change.kind) {
      case ChangeKind::add:
        if (index != npos) break;
        apply_change(view, change);
        line = prefix + section_name(view, view.sections.size() - 1) + "=";
        append_quoted(line, change.type);
        break;
      case ChangeKind::set_type:
        if (index == npos && !valid_name(change.ref)) break;
        line = prefix + (index == npos ? change.ref : section_name(view, index)) + "=";
        append_quoted(line, change.type);
        break;
      case ChangeKind::set_option:
        if (index == npos) break;
        line = prefix + section_name(view, index) + "." + change.option + "=";
        append_quoted(line, change.value);
        break;
      case ChangeKind::remove:
        if (index == npos) break;
        line = "-" + prefix + section_name(view, index);
        if (!change.option.empty()) line += "." + change.option;
        break;
    }
    if (change.kind != ChangeKind::add) apply_change(view, change);
    if (!line.empty()) {
      output_.out += line;
      output_.out += '\n';
    }
  }
}

int Command::changes(const char* arg) {
  std::vector<std::string> packages;
  if (arg) {
    if (!valid_package_name(arg)) return fail_invalid();
    packages.emplace_back(arg);
  } else {
    packages = staged_packages(paths_);
  }
  // Over all packages a failure is said but does not count, as with the router's tool.
  int status = 0;
  for (const std::string& package : packages) {
    LoadedPackage loaded;
    if (Result result = load_package(paths_, package, loaded, false); !result.ok())
      status = fail(result);
    else
      list_changes(package, loaded);
  }
  return arg ? status : 0;
}

int Command::commit_one(std::string_view package) {
  if (Result result = commit_package(paths_, package); !result.ok()) return fail(result);
  return 0;
}

int Command::commit(const char* arg) {
  if (!arg) {
    for (const std::string& package : staged_packages(paths_)) commit_one(package);
    return 0;  // as with "show" and "changes", failures over all packages are only said
  }
  if (!valid_package_name(arg)) return fail_invalid();
  if (!package_exists(paths_, arg)) return fail_not_found();
  // Nothing staged, nothing to write: the daemon commits after every group, changed or not.
  if (::access(paths_.staged_file(arg).c_str(), F_OK) != 0 && errno == ENOENT) return 0;
  return commit_one(arg);
}

int Command::revert(std::string_view arg) {
  Address address;
  if (!parse_address(arg, false, address)) return fail_invalid();
  if (!package_exists(paths_, address.package)) return fail_not_found();
  FileLock lock;
  if (Result result = lock_package(paths_, address.package, lock); !result.ok()) return fail(result);
  if (!address.section) {
    // Needs no parsing, so it also rescues a package whose committed file is damaged.
    if (Result result = save_staged(paths_, address.package, StagedChanges{}); !result.ok())
      return fail(result);
    return 0;
  }
  LoadedPackage loaded;
  if (Result result = load_package(paths_, address.package, loaded); !result.ok()) return fail(result);
  std::size_t index = resolve(loaded.view, *address.section);
  if (index == npos) return fail_not_found();
  std::string ref = stable_ref(loaded.view.sections[index]);
  std::erase_if(loaded.staged.changes, [&](const Change& change) {
    return change.ref == ref && (address.option.empty() || change.option == address.option);
  });
  if (Result result = save_staged(paths_, address.package, loaded.staged); !result.ok())
    return fail(result);
  return 0;
}

int usage(std::string_view name, Output& output, int status) {
  output.err += "Usage: ";
  output.err += name;
  output.err += kUsageText;
  return status;
}

}  // namespace

int run(int argc, const char* const* argv, const Paths& paths, Output& output) {
  std::string_view name = argc > 0 && argv[0] ? argv[0] : "uci";
  int next = 1;
  bool quiet = false;
  // Options as getopt reads them before the command: "-q", also grouped; "--" ends them.
  for (; next < argc && argv[next][0] == '-' && argv[next][1] != '\0'; ++next) {
    if (std::strcmp(argv[next], "--") == 0) {
      ++next;
      break;
    }
    for (const char* c = argv[next] + 1; *c; ++c) {
      if (*c == 'q') {
        quiet = true;
        continue;
      }
      output.err += std::string(name) + ": invalid option -- '" + *c + "'\n";
      return usage(name, output, 0);
    }
  }
  if (next >= argc) return usage(name, output, 0);
  const char* command = argv[next++];
  int count = argc - next;
  const char* first = count > 0 ? argv[next] : nullptr;
  Command tool(name, paths, output, quiet);
  auto is = [command](const char* known) { return ::strcasecmp(command, known) == 0; };

  if (is("get") && count == 1) return tool.get(first);
  if (is("set") && count == 1) return tool.set(first);
  if (is("add") && count == 2) return tool.add(first, argv[next + 1]);
  if ((is("delete") || is("del")) && count == 1) return tool.remove(first);
  if (is("show") && count <= 1) return tool.show(first);
  if (is("changes") && count <= 1) return tool.changes(first);
  if (is("commit") && count <= 1) return tool.commit(first);
  if (is("revert") && count == 1) return tool.revert(first);
  return usage(name, output, kUsageStatus);
}

}  // namespace uci
