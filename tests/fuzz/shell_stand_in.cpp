// The handlers' shell commands, answered inside the fuzz target instead of by a shell: `uci`,
// `sync`, `killall`, `ubus` and check_sub1g_module do nothing, and a `uci` read prints what the
// router would for the sensors the targets use: the cloud agent is ready, sensor 00124B0001A2B3C4
// has ShortAddress 0001 and wants interval 300, 00124B0001A2B3C5 is to be removed; nothing else
// is known. Other commands (cp, rm, echo) still go to the shell, without those. No process per
// command keeps the targets fast and their runs alike.
//
// Every `uci` command is also checked as the shell would read it: text that came from outside
// must never reach it unescaped. A control character, an unterminated quote, or a `$` or backtick
// that is not escaped stops the run, since the shell would run whatever follows it.
#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>
#include <string_view>

namespace {

struct Answer {
  const char *sensor;  // in the key, or null
  const char *option;  // ends the key
  const char *line;
};

constexpr Answer kAnswers[] = {
    {nullptr, "gateway.main.cloud_ready", "1\n"},
    {"00124B0001A2B3C4", "EventIntervalUserWanted", "300\n"},
    {"00124B0001A2B3C4", "ShortAddress", "0001\n"},
    {"00124B0001A2B3C5", "RemoveSensor", "1\n"},
};

bool starts_with_word(std::string_view command, std::string_view word) {
  return command.substr(0, word.size()) == word && (command.size() == word.size() || command[word.size()] == ' ');
}

[[noreturn]] void refuse(const char *why, std::string_view command) {
  std::fprintf(stderr, "shell stand-in: %s: %.*s\n", why, static_cast<int>(command.size()), command.data());
  __builtin_trap();
}

// A `uci` command the shell would read as its author meant: no control character, quotes closed,
// and no unescaped `$` or backtick outside single quotes.
void check_uci_command(std::string_view command) {
  char quote = 0;  // the open quote, if any
  for (std::size_t i = 0; i < command.size(); ++i) {
    const char c = command[i];
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) refuse("control character", command);
    if (quote == '\'') {
      if (c == '\'') quote = 0;
    } else if (c == '\\') {
      ++i;  // the next character is taken as it is
    } else if (c == '$' || c == '`') {
      refuse("unescaped $ or backtick", command);
    } else if (c == '"') {
      quote = quote == '"' ? 0 : '"';
    } else if (c == '\'' && quote == 0) {
      quote = '\'';
    }
  }
  if (quote != 0) refuse("unterminated quote", command);
}

bool is_stood_in(std::string_view command) {
  if (starts_with_word(command, "uci")) {
    check_uci_command(command);
    return true;
  }
  for (std::string_view tool : {"sync", "killall", "ubus", "check_sub1g_module"})
    if (starts_with_word(command, tool)) return true;
  return false;
}

// What is left of the line for the shell once the commands this file stands in for are taken
// out. The line is split where the shell would split it: at `;` and `&` outside quotes.
std::string for_the_shell(std::string_view line) {
  std::string rest;
  std::size_t start = 0;
  const auto take = [&](std::size_t end) {  // the command before `end`, with its separator
    std::string_view command = line.substr(start, end - start);
    while (!command.empty() && command.front() == ' ') command.remove_prefix(1);
    if (!command.empty() && !is_stood_in(command)) rest.append(command).append(line.substr(end, 1));
    start = end + 1;
  };
  char quote = 0;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (quote != 0) {
      if (c == quote) quote = 0;
      else if (c == '\\' && quote == '"') ++i;
    } else if (c == '\\') {
      ++i;
    } else if (c == '"' || c == '\'') {
      quote = c;
    } else if (c == ';' || c == '&') {
      take(i);
    }
  }
  if (quote != 0) refuse("unterminated quote", line);
  if (start < line.size()) take(line.size());
  return rest;
}

const char *uci_answer(std::string_view command) {
  if (command.find(" get ") == std::string_view::npos) return "";
  for (const Answer &answer : kAnswers) {
    const std::size_t at = answer.sensor ? command.find(answer.sensor) : 0;
    if (at != std::string_view::npos && command.find(answer.option, at) != std::string_view::npos)
      return answer.line;
  }
  return "";
}

}  // namespace

extern "C" int system(const char *command) {
  if (command == nullptr) return 1;  // a shell is there
  const std::string rest = for_the_shell(command);
  if (rest.empty()) return 0;
  using System = int (*)(const char *);
  static const auto real_system = reinterpret_cast<System>(dlsym(RTLD_NEXT, "system"));
  return real_system ? real_system(rest.c_str()) : -1;
}

// Every command the handlers read from is a `uci` read (a few through grep or cut): its answer
// is the first line of a stream in memory.
extern "C" FILE *popen(const char *command, const char *) {
  const std::string_view line(command);
  if (!starts_with_word(line, "uci")) refuse("a read this stand-in does not know", line);
  check_uci_command(line.substr(0, line.find('|')));
  const char *answer = uci_answer(line);
  FILE *stream = fmemopen(nullptr, std::strlen(answer) + 1, "w+");
  if (stream == nullptr) return nullptr;
  std::fputs(answer, stream);
  std::rewind(stream);
  return stream;
}

extern "C" int pclose(FILE *stream) { return std::fclose(stream) == 0 ? 0 : -1; }
