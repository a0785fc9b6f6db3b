// Reads of sensorlist in this process through the uci library, giving what `uci -q get` prints.
//
// A thread keeps the package as it last loaded it, with the files it was loaded from, and loads it
// again only when one of them has changed since: several reads of one frame cost one load, and a
// handler forked after the main process looked at the files inherits the package parsed and only
// looks whether they changed (file_snapshot.h: their times, and their bytes while the times are
// too recent to tell).
#include <uci.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>

#include "devices/file_snapshot.h"
#include "devices/sensorlist_store.h"

namespace vorn::devices {

namespace {

constexpr const char *kPackage = "sensorlist";
// The router's library reads a package from here instead of /etc/config when the file is there.
constexpr const char *kOverrideSensorlist = "/var/run/uci/sensorlist";
// Far beyond any sensor list of 100 sensors; a larger file is loaded for every read.
constexpr std::size_t kLargestCompared = 4u << 20;

// Everything a load of the package reads: the router's library looks for an override first, then
// reads the configuration file and the staged changes.
struct SourceFiles {
  FileSnapshot override_file, config, staged;

  bool comparable() const {
    for (const FileSnapshot *file : {&override_file, &config, &staged})
      if (file->state == FileSnapshot::State::kUnreadable) return false;
    return true;
  }
  bool same_bytes(const SourceFiles &other) const {
    return override_file.same_bytes(other.override_file) && config.same_bytes(other.config) &&
           staged.same_bytes(other.staged);
  }
};

SourceFiles read_source_files() {
  return {take_snapshot(kOverrideSensorlist, kLargestCompared), take_snapshot(kSensorlistFile, kLargestCompared),
          take_snapshot(kStagedSensorlist, kLargestCompared)};
}

bool sources_unchanged(SourceFiles &known) {
  return still_holds(kOverrideSensorlist, known.override_file) && still_holds(kSensorlistFile, known.config) &&
         still_holds(kStagedSensorlist, known.staged);
}

struct ContextFree {
  void operator()(uci_context *context) const { uci_free_context(context); }
};

enum class Load { kPackage, kAbsent, kFailed };

// The package as one load found it, and the files it was loaded from when they did not change
// while it loaded; without them it serves only the read that loaded it.
struct ParsedSensorlist {
  std::unique_ptr<uci_context, ContextFree> context;
  Load load = Load::kFailed;
  std::optional<SourceFiles> sources;
};

std::unique_ptr<ParsedSensorlist> load_sensorlist() {
  const SourceFiles before = read_source_files();
  auto parsed = std::make_unique<ParsedSensorlist>();
  parsed->context.reset(uci_alloc_context());
  if (!parsed->context) return parsed;
  bool lasting = true;  // a result that holds as long as the files stay as they are
  switch (uci_load(parsed->context.get(), kPackage, nullptr)) {
    case UCI_OK: parsed->load = Load::kPackage; break;
    case UCI_ERR_NOTFOUND: parsed->load = Load::kAbsent; break;
    case UCI_ERR_PARSE: break;
    default: lasting = false;  // no memory, or a file that could not be read: try again next time
  }
  SourceFiles after = read_source_files();
  if (lasting && before.comparable() && after.same_bytes(before)) parsed->sources = std::move(after);
  return parsed;
}

// Per thread: a process forked by a thread inherits that thread's copy, never one that another
// thread was changing as it forked.
thread_local std::unique_ptr<ParsedSensorlist> parsed_copy;

const ParsedSensorlist &sensorlist_as_now() {
  if (parsed_copy && parsed_copy->sources && sources_unchanged(*parsed_copy->sources)) return *parsed_copy;
  parsed_copy.reset();  // the old copy goes before the new one is made
  parsed_copy = load_sensorlist();
  return *parsed_copy;
}

// The first line of what a command prints, as read_pipe_line keeps it: up to and with the first
// line end, at most size - 1 characters.
class FirstLine {
 public:
  FirstLine(char *line, std::size_t size) : line_(line), size_(size) {}
  void put(char c) {
    if (ended_ || length_ + 1 >= size_) return;
    line_[length_++] = c;
    line_[length_] = '\0';
    ended_ = c == '\n';
  }
  void put(const char *text) {
    for (; *text != '\0'; ++text) put(*text);
  }
  std::size_t length() const { return length_; }

 private:
  char *line_;
  std::size_t size_;
  std::size_t length_ = 0;
  bool ended_ = false;
};

// What `uci get` prints for a looked-up address: an option's value, a list's values separated by
// blanks (one holding a blank or a line end between single quotes), or a section's type.
void print_get(const uci_ptr &ptr, FirstLine &out) {
  if (ptr.value != nullptr || (ptr.flags & uci_ptr::UCI_LOOKUP_COMPLETE) == 0) return;
  if (ptr.o != nullptr && ptr.o->type == UCI_TYPE_STRING) {
    out.put(ptr.o->v.string);
  } else if (ptr.o != nullptr && ptr.o->type == UCI_TYPE_LIST) {
    bool first = true;
    uci_element *item = nullptr;
    uci_foreach_element(&ptr.o->v.list, item) {
      if (!first) out.put(' ');
      first = false;
      if (std::strpbrk(item->name, " \t\r\n") == nullptr) {
        out.put(item->name);
        continue;
      }
      out.put('\'');
      for (const char *c = item->name; *c != '\0'; ++c) *c == '\'' ? out.put("'\\''") : out.put(*c);
      out.put('\'');
    }
  } else if (ptr.o == nullptr && ptr.s != nullptr) {
    out.put(ptr.s->type);
  } else {
    return;  // a package alone prints nothing
  }
  out.put('\n');
}

LineRead get_from(const ParsedSensorlist &parsed, char *address, char *line, std::size_t size) {
  if (parsed.load == Load::kFailed) return LineRead::kNotRun;
  if (parsed.load == Load::kAbsent) return LineRead::kNoLine;
  uci_ptr ptr{};
  if (uci_lookup_ptr(parsed.context.get(), &ptr, address, true) != UCI_OK) return LineRead::kNotRun;
  FirstLine out(line, size);
  print_get(ptr, out);
  return out.length() > 0 ? LineRead::kLine : LineRead::kNoLine;
}

LineRead vget_line(char *line, std::size_t size, const char *format, va_list args) {
  if (size == 0) return LineRead::kNotRun;
  std::memset(line, 0, size);
  char address[128];
  const int length = std::vsnprintf(address, sizeof address, format, args);
  const std::size_t prefix = std::strlen(kPackage);
  // Only this package's addresses: another would be loaded into the context beside it.
  if (length < 0 || static_cast<std::size_t>(length) >= sizeof address || std::strncmp(address, kPackage, prefix) != 0 ||
      (address[prefix] != '.' && address[prefix] != '\0'))
    return LineRead::kNotRun;
  try {
    return get_from(sensorlist_as_now(), address, line, size);
  } catch (const std::bad_alloc &) {
    return LineRead::kNotRun;
  }
}

}  // namespace

LineRead get_line(char *line, std::size_t size, const char *format, ...) {
  va_list args;
  va_start(args, format);
  const LineRead result = vget_line(line, size, format, args);
  va_end(args);
  return result;
}

bool get_first_line(char *line, std::size_t size, const char *format, ...) {
  va_list args;
  va_start(args, format);
  const LineRead result = vget_line(line, size, format, args);
  va_end(args);
  return result == LineRead::kLine;
}

int get_int_value(const char *format, ...) {
  char line[128];
  va_list args;
  va_start(args, format);
  const LineRead result = vget_line(line, sizeof line, format, args);
  va_end(args);
  return result == LineRead::kLine ? std::atoi(line) : 0;
}

void keep_sensorlist_parsed() {
  try {
    (void)sensorlist_as_now();
  } catch (const std::bad_alloc &) {
  }
}

}  // namespace vorn::devices
