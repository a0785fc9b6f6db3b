#include "file_io.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace uci {

void UniqueFd::reset() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

ReadStatus read_file(const std::string& path, std::string& out) {
  out.clear();
  // Not blocking: a FIFO in the file's place must not hold the reader up.
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd.valid()) return errno == ENOENT || errno == ENOTDIR ? ReadStatus::missing : ReadStatus::error;
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return ReadStatus::error;
  if (!S_ISREG(st.st_mode)) return ReadStatus::missing;  // as the router's tool, which looks only for files
  if (static_cast<std::size_t>(st.st_size) > kMaxFileSize) return ReadStatus::error;
  // One byte more than the size, so that the second read sees the end of the file.
  out.resize(static_cast<std::size_t>(st.st_size) + 1);
  std::size_t used = 0;
  for (;;) {
    if (used == out.size()) {
      if (out.size() > kMaxFileSize) return ReadStatus::error;
      out.resize(out.size() * 2);
    }
    ssize_t n = ::read(fd.get(), out.data() + used, out.size() - used);
    if (n < 0) {
      if (errno == EINTR) continue;
      return ReadStatus::error;
    }
    if (n == 0) break;
    used += static_cast<std::size_t>(n);
  }
  out.resize(used);
  return ReadStatus::ok;
}

bool write_all(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

namespace {

std::string describe(const char* what, const std::string& path) {
  return std::string(what) + " " + path + ": " + std::strerror(errno);
}

std::string folder_of(const std::string& path) {
  auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace

bool replace_file(const std::string& path, const std::string& temp_path, std::string_view data,
                  mode_t mode, bool durable, std::string& error_text) {
  // O_TRUNC: a temporary file left by a writer that was killed is simply overwritten. Callers
  // hold the file's lock, so no one else writes the same temporary file.
  UniqueFd fd(::open(temp_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode));
  if (!fd.valid()) {
    error_text = describe("cannot create", temp_path);
    return false;
  }
  bool ok = ::fchmod(fd.get(), mode) == 0 && write_all(fd.get(), data) &&
            (!durable || ::fsync(fd.get()) == 0);
  if (!ok) error_text = describe("cannot write", temp_path);
  fd.reset();
  if (ok && ::rename(temp_path.c_str(), path.c_str()) != 0) {
    error_text = describe("cannot replace", path);
    ok = false;
  }
  if (!ok) {
    ::unlink(temp_path.c_str());
    return false;
  }
  if (durable) {
    // Make the rename itself survive a power loss.
    UniqueFd dir(::open(folder_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.valid()) ::fsync(dir.get());
  }
  return true;
}

bool write_new_file(const std::string& pattern, std::string_view data, mode_t mode,
                    std::string& temp_path, std::string& error_text) {
  std::string name = pattern;
  UniqueFd fd(::mkostemp(name.data(), O_CLOEXEC));
  if (!fd.valid()) {
    error_text = describe("cannot create", pattern);
    return false;
  }
  if (::fchmod(fd.get(), mode) != 0 || !write_all(fd.get(), data) || ::fsync(fd.get()) != 0) {
    error_text = describe("cannot write", name);
    ::unlink(name.c_str());
    return false;
  }
  temp_path = std::move(name);
  return true;
}

bool install_file(const std::string& temp_path, const std::string& path, std::string& error_text) {
  if (::rename(temp_path.c_str(), path.c_str()) != 0) {
    error_text = describe("cannot replace", path);
    ::unlink(temp_path.c_str());
    return false;
  }
  // Make the rename itself survive a power loss.
  UniqueFd dir(::open(folder_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.valid()) ::fsync(dir.get());
  return true;
}

FileLock::FileLock(const std::string& path)
    : fd_(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600)) {
  if (!fd_.valid()) return;
  while (::flock(fd_.get(), LOCK_EX) != 0) {
    if (errno != EINTR) {
      fd_.reset();
      return;
    }
  }
}

bool ensure_directory(const std::string& path, mode_t mode) {
  if (::mkdir(path.c_str(), mode) == 0) return true;
  if (errno != EEXIST) return false;
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace uci
