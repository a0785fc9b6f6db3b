// File primitives of the configuration tool: owned descriptors, whole-file reads, advisory locks
// and durable replacement of a file by rename.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

namespace uci {

// Owns one file descriptor and closes it once. The bus and the platform libraries have their own:
// each is a separate router package and none links the others.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  void reset();

 private:
  int fd_ = -1;
};

enum class ReadStatus { ok, missing, error };

// Files larger than this are refused rather than read: a configuration never comes close.
inline constexpr std::size_t kMaxFileSize = 64u << 20;

// Reads the whole regular file at PATH into OUT in one go; anything else there (a folder, a FIFO)
// counts as missing.
ReadStatus read_file(const std::string& path, std::string& out);

// Writes all of DATA, retrying short writes and interrupted calls.
bool write_all(int fd, std::string_view data);

// Replaces PATH with DATA so that a reader or a crash sees either the old or the new file, never
// a mix: DATA goes to TEMP_PATH (same folder), then is renamed over PATH. With DURABLE the data
// and the folder entry are flushed to storage as well. MODE is the new file's permission bits.
// On failure ERROR_TEXT says what went wrong and PATH is untouched.
bool replace_file(const std::string& path, const std::string& temp_path, std::string_view data,
                  mode_t mode, bool durable, std::string& error_text);

// Writes DATA durably to a new file made from PATTERN (ending in "XXXXXX", in the folder of the
// file it will replace) with permission bits MODE; TEMP_PATH is its name. On failure ERROR_TEXT
// says what went wrong and no file is left.
bool write_new_file(const std::string& pattern, std::string_view data, mode_t mode,
                    std::string& temp_path, std::string& error_text);

// Renames TEMP_PATH over PATH and flushes the folder entry to storage; removes TEMP_PATH when
// that fails.
bool install_file(const std::string& temp_path, const std::string& path, std::string& error_text);

// An exclusive flock on a lock file, held for the object's lifetime.
class FileLock {
 public:
  FileLock() = default;
  explicit FileLock(const std::string& path);
  bool locked() const { return fd_.valid(); }

 private:
  UniqueFd fd_;
};

// Creates the folder PATH (one level) when it does not exist yet.
bool ensure_directory(const std::string& path, mode_t mode);

}  // namespace uci
