// What a firmware file named by the cloud must be before the daemon or the collector reads it.
#include <sys/stat.h>

#include <cstring>

#include "firmware/firmware_download.h"

namespace vorn::firmware {

namespace {

// A ".." component climbs out of the folder the name seems to be in.
bool climbs_up(const char *path) {
  for (const char *part = path; *part != '\0';) {
    const std::size_t length = std::strcspn(part, "/");
    if (length == 2 && part[0] == '.' && part[1] == '.') return true;
    part += length;
    if (*part == '/') ++part;
  }
  return false;
}

}  // namespace

const char *firmware_file_refusal(const char *path) {
  for (const char *c = path; *c != '\0'; ++c)
    if (static_cast<unsigned char>(*c) < 0x20 || *c == 0x7F) return "holds a control character";
  if (climbs_up(path)) return "holds a \"..\" component";
  // A FIFO would block its reader, a device or a folder is no image; a file that is not there
  // (yet) is left to the reader, as before.
  struct stat info {};
  if (stat(path, &info) == 0 && !S_ISREG(info.st_mode)) return "names no regular file";
  return nullptr;
}

}  // namespace vorn::firmware
