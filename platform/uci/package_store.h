// Where packages live and how they are read, staged and committed.
//
// Committed files: <config_dir>/<package>. Staged changes: <staging_dir>/<package>. Writers take
// the package's lock (<staging_dir>/.<package>.lock) around every read-modify-write of the staged
// changes and around commit. Readers take no lock: both files are only ever replaced whole by
// rename, a commit installs the new committed file before it drops the staged changes, and a
// reader reads the staged changes first; so a reader always sees a state that some moment of the
// history had (a stale staged list is recognised by its base version and ignored).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "config_model.h"
#include "file_io.h"
#include "staged_changes.h"

namespace uci {

struct Paths {
  std::string config_dir = "/etc/config";
  std::string staging_dir = "/tmp/.uci";

  std::string config_file(std::string_view package) const;
  std::string staged_file(std::string_view package) const;
};

enum class Status { ok, not_found, parse_error, io_error };

struct Result {
  Status status = Status::ok;
  std::string text;  // the message for the user, without the "uci: " prefix
  bool ok() const { return status == Status::ok; }
};

struct LoadedPackage {
  Package view;          // the committed file, with the staged changes applied unless asked not to
  StagedChanges staged;  // the changes valid for this committed file; base is its version
};

// Loads PACKAGE (a valid package name). With APPLY_STAGED false, view is the committed file.
Result load_package(const Paths& paths, std::string_view package, LoadedPackage& loaded,
                    bool apply_staged = true);

// Takes the package's lock, creating the staging folder when needed.
Result lock_package(const Paths& paths, std::string_view package, FileLock& lock);

// Replaces the package's staged changes (removes the file when there are none). Lock held.
Result save_staged(const Paths& paths, std::string_view package, const StagedChanges& staged);

// Writes the package with its staged changes to the committed file, durably and atomically, then
// drops the staged changes. Lock held.
Result commit_package(const Paths& paths, std::string_view package);

// Packages that have a committed file, and packages that have staged changes; sorted.
std::vector<std::string> committed_packages(const Paths& paths);
std::vector<std::string> staged_packages(const Paths& paths);

bool package_exists(const Paths& paths, std::string_view package);

}  // namespace uci
