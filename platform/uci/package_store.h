// Where packages live and how they are read, staged and committed.
//
// Committed files: <config_dir>/<package>. Staged changes: <staging_dir>/<package>. The locking
// is no stronger than the router's own tool, so that everything run against this tool meets the
// same races: a package's lock (<staging_dir>/.<package>.lock) covers an append to the staged
// changes, and a commit from reading the package to emptying the staged changes; it is released
// before the commit puts its new file in place. So a commit that takes the lock before another's
// new file is in place writes the old file with only its own changes (the other's are lost), and
// changes appended after a commit emptied the staged changes but before its new file is in place
// belong to the file it replaces and are lost. Readers take no lock: files are only ever
// replaced whole by rename and a reader reads the staged changes first; a stale staged list is
// recognised by its base version and ignored.
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

// Appends CHANGES, made against the committed file of version BASE, to the package's staged
// changes under its lock. When a commit has replaced that file meanwhile, they no longer apply
// and are dropped without a word, as the router's tool loses them.
Result append_staged(const Paths& paths, std::string_view package, const ContentVersion& base,
                     std::vector<Change> changes);

// Writes the package with its staged changes to a new file and empties the staged changes under
// the lock, then, without it, renames the new file over the committed one (see above).
Result commit_package(const Paths& paths, std::string_view package);

// Packages that have a committed file, and packages that have staged changes; sorted.
std::vector<std::string> committed_packages(const Paths& paths);
std::vector<std::string> staged_packages(const Paths& paths);

bool package_exists(const Paths& paths, std::string_view package);

}  // namespace uci
