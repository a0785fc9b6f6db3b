// What a file held at one moment, and a sure and cheap look at whether it still holds it: its
// identity and times first, its bytes only while those times are too recent to tell (a file
// changed twice within one tick of the file system's clock keeps the same times).
#pragma once

#include <sys/types.h>

#include <ctime>
#include <string>

namespace vorn::devices {

struct FileSnapshot {
  enum class State { kMissing, kRead, kUnreadable };
  State state = State::kMissing;
  std::string bytes;
  dev_t device = 0;
  ino_t inode = 0;
  timespec modified{}, changed{};
  bool recent = true;  // changed too shortly before the snapshot for its times to tell

  // Both moments saw the file in the same state with the same bytes.
  bool same_bytes(const FileSnapshot &other) const { return state == other.state && bytes == other.bytes; }
};

// Reads the whole file (at most `largest` bytes: a larger one is kUnreadable, as is one that
// cannot be read; anything but a regular file is kMissing).
FileSnapshot take_snapshot(const char *path, std::size_t largest);

// Whether the file at `path` still holds what `known` recorded. When only its identity or times
// moved and the bytes are the same, `known` takes them on, so the next look is cheap again.
bool still_holds(const char *path, FileSnapshot &known);

}  // namespace vorn::devices
