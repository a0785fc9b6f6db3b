#include "package_store.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>

#include "config_text.h"

namespace uci {

std::string Paths::config_file(std::string_view package) const {
  return config_dir + "/" + std::string(package);
}

std::string Paths::staged_file(std::string_view package) const {
  return staging_dir + "/" + std::string(package);
}

namespace {

// Helper files start with a dot, which no package name does.
std::string lock_file(const Paths& paths, std::string_view package) {
  return paths.staging_dir + "/." + std::string(package) + ".lock";
}

std::string staged_temp(const Paths& paths, std::string_view package) {
  return paths.staging_dir + "/." + std::string(package) + ".new";
}

Result io_error(const std::string& what) { return Result{Status::io_error, "I/O error (" + what + ")"}; }

std::vector<std::string> list_packages(const std::string& folder) {
  std::vector<std::string> names;
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), ::closedir);
  if (!dir) return names;
  while (const dirent* entry = ::readdir(dir.get())) {
    std::string name = entry->d_name;
    if (!valid_package_name(name)) continue;
    struct stat st {};
    if (::stat((folder + "/" + name).c_str(), &st) == 0 && S_ISREG(st.st_mode))
      names.push_back(std::move(name));
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

Result load_package(const Paths& paths, std::string_view package, LoadedPackage& loaded,
                    bool apply_staged) {
  // Staged changes first, committed file second: see the ordering argument in the header.
  std::string staged_text;
  bool have_staged = read_file(paths.staged_file(package), staged_text) == ReadStatus::ok;

  std::string path = paths.config_file(package);
  std::string text;
  switch (read_file(path, text)) {
    case ReadStatus::ok: break;
    case ReadStatus::missing: return Result{Status::not_found, "Entry not found"};
    case ReadStatus::error: return io_error("cannot read " + path);
  }
  ParseError error;
  if (!parse_config(text, loaded.view, error)) {
    return Result{Status::parse_error, "Parse error (" + error.reason + ") at line " +
                                           std::to_string(error.line) + ", byte " +
                                           std::to_string(error.byte)};
  }
  ContentVersion version = version_of(text);
  if (!have_staged || !parse_staged(staged_text, loaded.staged) || loaded.staged.base != version)
    loaded.staged = StagedChanges{version, {}};
  if (apply_staged)
    for (const Change& change : loaded.staged.changes) apply_change(loaded.view, change);
  return {};
}

Result lock_package(const Paths& paths, std::string_view package, FileLock& lock) {
  if (!ensure_directory(paths.staging_dir, 0700)) return io_error("cannot create " + paths.staging_dir);
  std::string path = lock_file(paths, package);
  lock = FileLock(path);
  if (!lock.locked()) return io_error("cannot lock " + path);
  return {};
}

namespace {

// Empties the staged changes as the router's tool does, keeping the file (an empty file is no
// list of changes). Lock held.
Result empty_staged(const Paths& paths, std::string_view package) {
  std::string path = paths.staged_file(package);
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC));
  if (!fd.valid() && errno != ENOENT) return io_error("cannot empty " + path);
  return {};
}

}  // namespace

Result save_staged(const Paths& paths, std::string_view package, const StagedChanges& staged) {
  std::string path = paths.staged_file(package);
  if (staged.changes.empty()) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) return io_error("cannot remove " + path);
    return {};
  }
  // The staging folder is memory on the router and is lost at power-off anyway, so no fsync;
  // the rename alone keeps a killed writer from leaving half a file.
  std::string error_text;
  if (!replace_file(path, staged_temp(paths, package), format_staged(staged), 0600, false,
                    error_text))
    return io_error(error_text);
  return {};
}

Result append_staged(const Paths& paths, std::string_view package, const ContentVersion& base,
                     std::vector<Change> changes) {
  FileLock lock;
  if (Result result = lock_package(paths, package, lock); !result.ok()) return result;
  std::string text;
  if (read_file(paths.config_file(package), text) != ReadStatus::ok || version_of(text) != base)
    return {};
  StagedChanges staged;
  std::string staged_text;
  if (read_file(paths.staged_file(package), staged_text) != ReadStatus::ok ||
      !parse_staged(staged_text, staged) || staged.base != base)
    staged = StagedChanges{base, {}};
  // Another process may have added a section since this one read the package: a new section
  // takes the next free identity, and this batch's later changes follow it.
  std::vector<std::pair<std::string, std::string>> renamed;
  for (Change& change : changes) {
    if (change.kind == ChangeKind::add) renamed.emplace_back(change.ref, next_added_id(staged));
    for (const auto& [from, to] : renamed)
      if (change.ref == from) change.ref = to;
    staged.changes.push_back(std::move(change));
  }
  return save_staged(paths, package, staged);
}

Result commit_package(const Paths& paths, std::string_view package) {
  std::string path = paths.config_file(package);
  std::string temp_path;
  {
    FileLock lock;
    if (Result result = lock_package(paths, package, lock); !result.ok()) return result;
    LoadedPackage loaded;
    if (Result result = load_package(paths, package, loaded); !result.ok()) return result;
    if (loaded.staged.changes.empty()) {
      // Nothing (or only a stale list) staged: nothing to write, and an emptied save file.
      return empty_staged(paths, package);
    }
    struct stat st {};
    mode_t mode = ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0644;
    std::string error_text;
    if (!write_new_file(paths.config_dir + "/." + std::string(package) + ".uci-XXXXXX",
                        format_config(loaded.view), mode, temp_path, error_text))
      return io_error(error_text);
    // Emptied before the new file is in place, as the router's tool does: killed in between,
    // the changes are gone.
    if (Result result = empty_staged(paths, package); !result.ok()) {
      ::unlink(temp_path.c_str());
      return result;
    }
  }
  std::string error_text;
  if (!install_file(temp_path, path, error_text)) return io_error(error_text);
  return {};
}

std::vector<std::string> committed_packages(const Paths& paths) {
  return list_packages(paths.config_dir);
}

std::vector<std::string> staged_packages(const Paths& paths) {
  return list_packages(paths.staging_dir);
}

bool package_exists(const Paths& paths, std::string_view package) {
  struct stat st {};
  return ::stat(paths.config_file(package).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace uci
