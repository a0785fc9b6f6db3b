#include "commands.h"

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

constexpr std::string_view kUsage =
    "Usage: uci [-q] <command> [<arguments>]\n"
    "\n"
    "Commands:\n"
    "\tget     <config>.<section>[.<option>]\n"
    "\tset     <config>.<section>[.<option>]=<value>\n"
    "\tadd     <config> <section-type>\n"
    "\tdelete  <config>.<section>[.<option>]\n"
    "\tshow    [<config>[.<section>[.<option>]]]\n"
    "\tchanges [<config>]\n"
    "\tcommit  [<config>]\n"
    "\trevert  <config>[.<section>[.<option>]]\n"
    "\n"
    "Options:\n"
    "\t-q      quiet: print no error messages\n"
    "\n"
    "A section is a name or @<type>[<index>]: [] is the first section of the type, a negative\n"
    "index counts from the end.\n";

constexpr std::string_view kNotFound = "Entry not found";
constexpr std::string_view kInvalid = "Invalid argument";

class Command {
 public:
  Command(const Paths& paths, Output& output, bool quiet)
      : paths_(paths), output_(output), quiet_(quiet) {}

  int get(std::string_view arg);
  int set(std::string_view arg);
  int add(std::string_view package, std::string_view type);
  int remove(std::string_view arg);
  int show(const char* arg);
  int changes(const char* arg);
  int commit(const char* arg);
  int revert(std::string_view arg);

 private:
  int fail(std::string_view text) {
    if (!quiet_) {
      output_.err += "uci: ";
      output_.err += text;
      output_.err += '\n';
    }
    return 1;
  }
  int fail(const Result& result) { return fail(result.text); }

  // One read-modify-write of a package's staged changes under its lock. EDIT gets the loaded
  // package and returns 0 with the changes to stage (possibly none), or an exit status.
  template <typename Edit>
  int stage(std::string_view package, Edit edit);

  void show_package(std::string_view package, const Package& view);
  void show_section(std::string_view package, const Section& section, const std::string& shown);
  void show_option(const std::string& prefix, const Option& option);
  void list_changes(std::string_view package, LoadedPackage& loaded);
  int commit_one(std::string_view package);

  const Paths& paths_;
  Output& output_;
  bool quiet_;
};

int Command::get(std::string_view arg) {
  Address address;
  if (!parse_address(arg, false, address) || !address.section) return fail(kInvalid);
  LoadedPackage loaded;
  if (Result result = load_package(paths_, address.package, loaded); !result.ok()) return fail(result);
  std::size_t index = resolve(loaded.view, *address.section);
  if (index == npos) return fail(kNotFound);
  const Section& section = loaded.view.sections[index];
  if (address.option.empty()) {
    output_.out += section.type;
  } else {
    const Option* option = section.find_option(address.option);
    if (!option) return fail(kNotFound);
    for (std::size_t i = 0; i < option->values.size(); ++i) {
      if (i > 0) output_.out += ' ';
      output_.out += option->values[i];
    }
  }
  output_.out += '\n';
  return 0;
}

template <typename Edit>
int Command::stage(std::string_view package, Edit edit) {
  FileLock lock;
  if (Result result = lock_package(paths_, package, lock); !result.ok()) return fail(result);
  LoadedPackage loaded;
  if (Result result = load_package(paths_, package, loaded); !result.ok()) return fail(result);
  std::vector<Change> changes;
  if (int status = edit(loaded, changes); status != 0) return status;
  if (changes.empty()) return 0;
  for (auto& change : changes) loaded.staged.changes.push_back(std::move(change));
  if (Result result = save_staged(paths_, package, loaded.staged); !result.ok()) return fail(result);
  return 0;
}

int Command::set(std::string_view arg) {
  Address address;
  if (!parse_address(arg, true, address) || !address.section || !address.value) return fail(kInvalid);
  const std::string& value = *address.value;
  if (address.option.empty() && !valid_name(value)) return fail(kInvalid);
  return stage(address.package, [&](LoadedPackage& loaded, std::vector<Change>& changes) {
    std::size_t index = resolve(loaded.view, *address.section);
    if (address.option.empty()) {
      if (index == npos) {
        if (address.section->by_type) return fail(kNotFound);
        changes.push_back(Change{ChangeKind::set_type, address.section->text, value, "", ""});
      } else if (loaded.view.sections[index].type != value) {
        changes.push_back(
            Change{ChangeKind::set_type, stable_ref(loaded.view.sections[index]), value, "", ""});
      }
      return 0;
    }
    if (index == npos) return fail(kNotFound);
    const Section& section = loaded.view.sections[index];
    const Option* option = section.find_option(address.option);
    // Setting the value an option already has changes nothing and is not staged.
    if (option && !option->is_list && option->values.front() == value) return 0;
    changes.push_back(Change{ChangeKind::set_option, stable_ref(section), "", address.option, value});
    return 0;
  });
}

int Command::add(std::string_view package, std::string_view type) {
  if (!valid_package_name(package) || !valid_name(type)) return fail(kInvalid);
  std::string name;
  int status = stage(package, [&](LoadedPackage& loaded, std::vector<Change>& changes) {
    Change change{ChangeKind::add, next_added_id(loaded.staged), std::string(type), "", ""};
    apply_change(loaded.view, change);
    name = generated_name(loaded.view, loaded.view.sections.size() - 1);
    changes.push_back(std::move(change));
    return 0;
  });
  if (status == 0) {
    output_.out += name;
    output_.out += '\n';
  }
  return status;
}

int Command::remove(std::string_view arg) {
  Address address;
  if (!parse_address(arg, false, address) || !address.section) return fail(kInvalid);
  return stage(address.package, [&](LoadedPackage& loaded, std::vector<Change>& changes) {
    std::size_t index = resolve(loaded.view, *address.section);
    if (index == npos) return fail(kNotFound);
    const Section& section = loaded.view.sections[index];
    if (!address.option.empty() && !section.find_option(address.option)) return fail(kNotFound);
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
  // Positions counted on the way: display_name() per section would be quadratic.
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
    int status = 0;
    for (const std::string& package : committed_packages(paths_)) {
      LoadedPackage loaded;
      if (Result result = load_package(paths_, package, loaded); !result.ok())
        status = fail(result);
      else
        show_package(package, loaded.view);
    }
    return status;
  }
  Address address;
  if (!parse_address(arg, false, address)) return fail(kInvalid);
  LoadedPackage loaded;
  if (Result result = load_package(paths_, address.package, loaded); !result.ok()) return fail(result);
  if (!address.section) {
    show_package(address.package, loaded.view);
    return 0;
  }
  std::size_t index = resolve(loaded.view, *address.section);
  if (index == npos) return fail(kNotFound);
  const Section& section = loaded.view.sections[index];
  std::string shown = display_name(loaded.view, index);
  if (address.option.empty()) {
    show_section(address.package, section, shown);
    return 0;
  }
  const Option* option = section.find_option(address.option);
  if (!option) return fail(kNotFound);
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
        line = prefix + display_name(view, view.sections.size() - 1) + "=" + change.type;
        break;
      case ChangeKind::set_type:
        if (index == npos && !valid_name(change.ref)) break;
        line = prefix + (index == npos ? change.ref : display_name(view, index)) + "=" + change.type;
        break;
      case ChangeKind::set_option:
        if (index == npos) break;
        line = prefix + display_name(view, index) + "." + change.option + "=";
        append_quoted(line, change.value);
        break;
      case ChangeKind::remove:
        if (index == npos) break;
        line = "-" + prefix + display_name(view, index);
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
    if (!valid_package_name(arg)) return fail(kInvalid);
    packages.emplace_back(arg);
  } else {
    packages = staged_packages(paths_);
  }
  int status = 0;
  for (const std::string& package : packages) {
    LoadedPackage loaded;
    if (Result result = load_package(paths_, package, loaded, false); !result.ok())
      status = fail(result);
    else
      list_changes(package, loaded);
  }
  return status;
}

int Command::commit_one(std::string_view package) {
  FileLock lock;
  if (Result result = lock_package(paths_, package, lock); !result.ok()) return fail(result);
  if (Result result = commit_package(paths_, package); !result.ok()) return fail(result);
  return 0;
}

int Command::commit(const char* arg) {
  if (!arg) {
    int status = 0;
    for (const std::string& package : staged_packages(paths_))
      if (commit_one(package) != 0) status = 1;
    return status;
  }
  if (!valid_package_name(arg)) return fail(kInvalid);
  if (!package_exists(paths_, arg)) return fail(kNotFound);
  // Nothing staged, nothing to write: the daemon commits after every group, changed or not.
  if (::access(paths_.staged_file(arg).c_str(), F_OK) != 0 && errno == ENOENT) return 0;
  return commit_one(arg);
}

int Command::revert(std::string_view arg) {
  Address address;
  if (!parse_address(arg, false, address)) return fail(kInvalid);
  if (!package_exists(paths_, address.package)) return fail(kNotFound);
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
  if (index == npos) return fail(kNotFound);
  std::string ref = stable_ref(loaded.view.sections[index]);
  std::erase_if(loaded.staged.changes, [&](const Change& change) {
    return change.ref == ref && (address.option.empty() || change.option == address.option);
  });
  if (Result result = save_staged(paths_, address.package, loaded.staged); !result.ok())
    return fail(result);
  return 0;
}

int usage(Output& output) {
  output.err += kUsage;
  return kUsageStatus;
}

}  // namespace

int run(int argc, const char* const* argv, const Paths& paths, Output& output) {
  int next = 1;
  bool quiet = false;
  for (; next < argc && argv[next][0] == '-'; ++next) {
    if (std::strcmp(argv[next], "-q") != 0) return usage(output);
    quiet = true;
  }
  if (next >= argc) return usage(output);
  std::string_view command = argv[next++];
  int count = argc - next;
  const char* first = count > 0 ? argv[next] : nullptr;
  Command tool(paths, output, quiet);

  if (command == "get" && count == 1) return tool.get(first);
  if (command == "set" && count == 1) return tool.set(first);
  if (command == "add" && count == 2) return tool.add(first, argv[next + 1]);
  if (command == "delete" && count == 1) return tool.remove(first);
  if (command == "show" && count <= 1) return tool.show(first);
  if (command == "changes" && count <= 1) return tool.changes(first);
  if (command == "commit" && count <= 1) return tool.commit(first);
  if (command == "revert" && count == 1) return tool.revert(first);
  return usage(output);
}

}  // namespace uci
