#include "devices/database_file.h"

#include <gateway_lib/utils.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "core/ext_address.h"
#include "core/log_line.h"
#include "core/shell_command.h"

namespace vorn::devices {

namespace {

off_t template_size = 0;  // measured once per process; 0: not yet

// off_t, not long: on the router long has 32 bits, and a cut size would make a big database look
// cut short and be replaced by the empty template.
off_t file_size(const char *path) {
  struct stat info {};
  return stat(path, &info) == 0 ? info.st_size : 0;
}

void copy_template(const char *ext_address_text, const char *path) {
  core::log_line("Create database file for %s\n",
                 ext_address_text);
  core::_system("cp -f %s %s; sync", kDatabaseTemplate, path);
}

}  // namespace

void database_path(const char *ext_address_text, char *path, std::size_t size) {
  std::snprintf(path, size, "/etc/data/%s.sqlite", ext_address_text);
}

void ensure_database_file(const char *ext_address_text) {
  char path[128] = {};
  database_path(ext_address_text, path, sizeof path);
  if (template_size == 0) template_size = file_size(kDatabaseTemplate);
  if (!isFileExisted(path)) copy_template(ext_address_text, path);
  sleep(1);
  if (file_size(path) < template_size) copy_template(ext_address_text, path);
}

void remove_database_file(const char *ext_address_text) {
  char path[128] = {};
  database_path(ext_address_text, path, sizeof path);
  core::_system("rm -f %s; sync", path);
}

}  // namespace vorn::devices
