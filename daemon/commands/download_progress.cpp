#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gateway_lib/utils.h>

#include <cctype>
#include <cstdio>
#include <memory>

#include "cloud/json_document.h"
#include "commands/command_event.h"
#include "core/link_io.h"

namespace vorn::commands {

namespace {

// The whole content of a regular file, mapped read-only; empty for anything else. The file is
// opened without blocking so that a FIFO planted at the path cannot hang the command process.
class FileMapping {
 public:
  explicit FileMapping(const char *path) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return;
    struct stat info {};
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) {
      void *address = mmap(nullptr, static_cast<std::size_t>(info.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
      if (address != MAP_FAILED) {
        address_ = address;
        size_ = static_cast<std::size_t>(info.st_size);
      }
    }
    close(fd);  // the mapping stays valid without it
  }
  ~FileMapping() {
    if (address_ != nullptr) munmap(address_, size_);
  }
  FileMapping(const FileMapping &) = delete;
  FileMapping &operator=(const FileMapping &) = delete;
  const char *data() const { return static_cast<const char *>(address_); }
  std::size_t size() const { return size_; }

 private:
  void *address_ = nullptr;
  std::size_t size_ = 0;
};

bool all_hex_digits(const char *text) {
  if (*text == '\0') return false;
  for (; *text != '\0'; ++text)
    if (!std::isxdigit(static_cast<unsigned char>(*text))) return false;
  return true;
}

}  // namespace

void read_download_progress(const char *ext_address_text, int *progress) {
  char *short_text = nullptr;
  if (GetShortAddrStr(ext_address_text, &short_text) != 0 || short_text == nullptr) return;
  const std::unique_ptr<char, core::FreeDeleter> owned(short_text);
  if (!all_hex_digits(short_text)) return;  // it names a file under /tmp: nothing else may get in
  char path[32];
  if (std::snprintf(path, sizeof path, "/tmp/%s", short_text) >= static_cast<int>(sizeof path)) return;

  const FileMapping file(path);
  if (file.data() == nullptr) return;
  // The mapping has no terminator: the parser is told its length.
  const cloud::JsonPtr document = cloud::parse_json(file.data(), file.size());
  json_object *process = nullptr;
  if (document && json_object_object_get_ex(document.get(), "process", &process) &&
      json_object_is_type(process, json_type_int))
    *progress = json_object_get_int(process);
}

}  // namespace vorn::commands
