#include "definition.h"

#include <fcntl.h>
#include <grp.h>
#include <net/if.h>
#include <pwd.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace procd {

bool all_strings(json_object *container) {
  if (json_object_is_type(container, json_type_array)) {
    for (std::size_t i = 0; i < json_object_array_length(container); ++i)
      if (!json_object_is_type(json_object_array_get_idx(container, i), json_type_string)) return false;
    return true;
  }
  json_object_object_foreach(container, key, value) {
    (void)key;
    if (!json_object_is_type(value, json_type_string)) return false;
  }
  return true;
}

std::string file_fingerprint(const std::string &path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "";
  std::uint64_t hash = 14695981039346656037ull;  // FNV-1a
  std::uint64_t size = 0;
  char buffer[4096];
  for (;;) {
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    for (ssize_t i = 0; i < got; ++i) hash = (hash ^ static_cast<unsigned char>(buffer[i])) * 1099511628211ull;
    size += static_cast<std::uint64_t>(got);
  }
  close(fd);
  return std::to_string(size) + ":" + std::to_string(hash);
}

namespace {

std::vector<std::string> strings_of(json_object *array) {
  std::vector<std::string> out;
  for (std::size_t i = 0; i < json_object_array_length(array); ++i)
    out.emplace_back(json_object_get_string(json_object_array_get_idx(array, i)));
  return out;
}

std::map<std::string, std::string> table_of(json_object *table) {
  std::map<std::string, std::string> out;
  json_object_object_foreach(table, key, value) out[key] = json_object_get_string(value);
  return out;
}

int facility_named(const std::string &name) {
  static const std::pair<const char *, int> kFacilities[] = {
      {"auth", LOG_AUTH}, {"authpriv", LOG_AUTHPRIV}, {"cron", LOG_CRON}, {"daemon", LOG_DAEMON},
      {"ftp", LOG_FTP}, {"kern", LOG_KERN}, {"lpr", LOG_LPR}, {"mail", LOG_MAIL}, {"news", LOG_NEWS},
      {"syslog", LOG_SYSLOG}, {"user", LOG_USER}, {"uucp", LOG_UUCP}, {"local0", LOG_LOCAL0},
      {"local1", LOG_LOCAL1}, {"local2", LOG_LOCAL2}, {"local3", LOG_LOCAL3}, {"local4", LOG_LOCAL4},
      {"local5", LOG_LOCAL5}, {"local6", LOG_LOCAL6}, {"local7", LOG_LOCAL7}};
  for (const auto &[text, value] : kFacilities)
    if (strcasecmp(text, name.c_str()) == 0) return value;
  return -1;
}

// Fields the router's process manager accepts and compares but that change nothing here.
constexpr std::pair<const char *, json_type> kInert[] = {
    {"no_new_privs", json_type_boolean}, {"jail", json_type_object}, {"trace", json_type_boolean},
    {"seccomp", json_type_string}, {"capabilities", json_type_string}, {"extroot", json_type_string},
    {"overlaydir", json_type_string}, {"tmpoverlaysize", json_type_string}, {"bundle", json_type_string},
    {"watchdog", json_type_array}};

}  // namespace

Definition read_definition(json_object *table) {
  Definition d;
  d.raw = share(table);
  d.facility = LOG_DAEMON;
  json_object *value = typed_member(table, "command", json_type_array);
  if (value == nullptr || !all_strings(value) || json_object_array_length(value) == 0) return d;
  d.command = strings_of(value);
  if ((value = typed_member(table, "term_timeout", json_type_int))) d.term_timeout = json_object_get_int(value);
  if ((value = typed_member(table, "respawn", json_type_array))) {
    int numbers[3] = {3600, 5, 5};
    for (std::size_t i = 0; i < 3 && i < json_object_array_length(value); ++i)
      numbers[i] = std::atoi(json_object_get_string(json_object_array_get_idx(value, i)));
    d.respawn = true;
    d.respawn_threshold = numbers[0], d.respawn_timeout = numbers[1], d.respawn_retry = numbers[2];
  }
  if ((value = typed_member(table, "nice", json_type_int))) {
    d.nice = json_object_get_int(value);
    if (d.nice < -20 || d.nice > 20) return d;
  }
  // A user or group that does not exist is dropped: the program then runs as the manager does.
  if ((value = typed_member(table, "user", json_type_string))) {
    if (const passwd *account = getpwnam(json_object_get_string(value))) {
      d.user = json_object_get_string(value);
      d.uid = account->pw_uid;
      d.user_gid = d.group_gid = account->pw_gid;
    }
  }
  if ((value = typed_member(table, "group", json_type_string))) {
    if (const group *found = getgrnam(json_object_get_string(value))) {
      d.group = json_object_get_string(value);
      d.group_gid = found->gr_gid;
    }
  }
  if ((value = typed_member(table, "pidfile", json_type_string))) d.pidfile = json_object_get_string(value);
  if ((value = typed_member(table, "reload_signal", json_type_int))) d.reload_signal = json_object_get_int(value);
  if ((value = typed_member(table, "stdout", json_type_boolean))) d.log_stdout = json_object_get_boolean(value);
  if ((value = typed_member(table, "stderr", json_type_boolean))) d.log_stderr = json_object_get_boolean(value);
  d.data = share(typed_member(table, "data", json_type_object));
  d.triggers = share(typed_member(table, "triggers", json_type_array));
  for (const char *key : {"env", "limits"}) {
    if (!(value = typed_member(table, key, json_type_object))) continue;
    if (!all_strings(value)) return d;
    (std::strcmp(key, "env") == 0 ? d.env : d.limits) = table_of(value);
  }
  for (const char *key : {"file", "netdev", "error"}) {
    if (!(value = typed_member(table, key, json_type_array))) continue;
    if (!all_strings(value)) return d;
    for (const std::string &name : strings_of(value)) {
      if (std::strcmp(key, "file") == 0) d.files.emplace_back(name, file_fingerprint(name));
      else if (std::strcmp(key, "netdev") == 0) d.netdevs.emplace_back(name, if_nametoindex(name.c_str()));
      else d.errors.push_back(name);
    }
  }
  if ((value = typed_member(table, "facility", json_type_string))) {
    const int facility = facility_named(json_object_get_string(value));
    if (facility != -1) d.facility = facility;
  }
  for (const auto &[key, type] : kInert)
    if ((value = typed_member(table, key, type))) d.other += std::string(key) + "=" + text_of(value) + ";";
  d.valid = true;
  return d;
}

namespace {

// Tables of strings (env, limits) compared as the router's manager compares them: the same names,
// values of the same length, but of each value the last three characters are not looked at (it
// compares each entry's bytes short of the last four, which hold them and the terminator).
bool tables_equal(const std::map<std::string, std::string> &a, const std::map<std::string, std::string> &b) {
  if (a.size() != b.size()) return false;
  for (auto x = a.begin(), y = b.begin(); x != a.end(); ++x, ++y) {
    if (x->first != y->first || x->second.size() != y->second.size()) return false;
    const std::size_t seen = x->second.size() > 3 ? x->second.size() - 3 : 0;
    if (x->second.compare(0, seen, y->second, 0, seen) != 0) return false;
  }
  return true;
}

}  // namespace

bool definition_changed(const Definition &now, const Definition &next) {
  if (!now.valid) return true;
  return now.command != next.command || !tables_equal(now.env, next.env) || now.netdevs != next.netdevs ||
         now.files != next.files || now.nice != next.nice || now.facility != next.facility ||
         now.user != next.user || now.group != next.group || now.uid != next.uid ||
         now.user_gid != next.user_gid || now.group_gid != next.group_gid || now.pidfile != next.pidfile ||
         now.respawn_retry != next.respawn_retry || now.respawn_threshold != next.respawn_threshold ||
         now.respawn_timeout != next.respawn_timeout || now.reload_signal != next.reload_signal ||
         now.term_timeout != next.term_timeout || !tables_equal(now.limits, next.limits) || now.errors != next.errors ||
         now.other != next.other;
}

}  // namespace procd
