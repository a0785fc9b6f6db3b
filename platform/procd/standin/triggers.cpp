#include "triggers.h"

#include <fcntl.h>
#include <unistd.h>

#include <deque>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "loop.h"

namespace procd {

namespace {

struct Rule {
  const void *owner;
  std::string type;
  Json script;
  int delay_ms;
};

std::list<Rule> &rules() {
  static std::list<Rule> all;
  return all;
}

// A command waiting for its delay, waiting its turn, or running.
struct Command {
  std::vector<std::string> argv;
  std::unique_ptr<Timer> delay;
  bool requeue = false;
};

std::map<std::vector<std::string>, std::unique_ptr<Command>> g_commands;
std::deque<Command *> g_queue;
bool g_running = false;

void run_next();

void finished(Command *command) {
  g_running = false;
  if (command->requeue) {
    command->requeue = false;
    g_queue.push_back(command);
  } else {
    g_commands.erase(command->argv);
  }
  run_next();
}

void run_next() {
  if (g_running || g_queue.empty()) return;
  Command *command = g_queue.front();
  g_queue.pop_front();
  const pid_t pid = fork();
  if (pid < 0) {
    g_commands.erase(command->argv);
    run_next();
    return;
  }
  if (pid == 0) {
    reset_signals_in_child();
    const int null = open("/dev/null", O_RDWR);
    for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) dup2(null, fd);
    std::vector<char *> argv;
    for (const std::string &word : command->argv) argv.push_back(const_cast<char *>(word.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(1);
  }
  g_running = true;
  on_child_exit(pid, [command](int) { finished(command); });
}

void ask_for(const std::vector<std::string> &argv, int delay_ms) {
  if (argv.empty()) return;
  auto found = g_commands.find(argv);
  if (found != g_commands.end()) {
    Command &command = *found->second;
    if (!command.delay->pending()) {
      command.requeue = true;  // waiting its turn or running: once more afterwards
    } else if (command.delay->remaining_ms() < delay_ms) {
      command.delay->set(delay_ms);
    }
    return;
  }
  auto command = std::make_unique<Command>();
  command->argv = argv;
  Command *raw = command.get();
  command->delay = std::make_unique<Timer>([raw] {
    g_queue.push_back(raw);
    run_next();
  });
  command->delay->set(delay_ms > 0 ? delay_ms : 1);
  g_commands[argv] = std::move(command);
}

// The event data's value named `name` (strings and numbers), or null.
const char *variable(json_object *data, const char *name) {
  json_object *value = nullptr;
  if (data == nullptr || !json_object_object_get_ex(data, name, &value) || json_object_is_type(value, json_type_object) ||
      json_object_is_type(value, json_type_array))
    return nullptr;
  return json_object_get_string(value);
}

// "%name%" replaced by the data's value (nothing when absent), "%%" by "%".
std::string expand(const std::string &text, json_object *data) {
  std::string out;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t open = text.find('%', at);
    if (open == std::string::npos) break;
    const std::size_t close = text.find('%', open + 1);
    if (close == std::string::npos) break;
    out += text.substr(at, open - at);
    const std::string name = text.substr(open + 1, close - open - 1);
    if (name.empty()) out += '%';
    else if (const char *value = variable(data, name.c_str())) out += value;
    at = close + 1;
  }
  return out + text.substr(at);
}

json_object *element(json_object *array, std::size_t index) {
  return index < json_object_array_length(array) ? json_object_array_get_idx(array, index) : nullptr;
}

bool is_string(json_object *value) { return value != nullptr && json_object_is_type(value, json_type_string); }

bool holds(json_object *data, json_object *names) {
  if (is_string(names)) return variable(data, json_object_get_string(names)) != nullptr;
  if (names == nullptr || !json_object_is_type(names, json_type_array)) return false;
  for (std::size_t i = 0; i < json_object_array_length(names); ++i)
    if (is_string(element(names, i)) && variable(data, json_object_get_string(element(names, i)))) return true;
  return false;
}

bool condition(json_object *expression, json_object *data) {
  if (expression == nullptr || !json_object_is_type(expression, json_type_array) || !is_string(element(expression, 0)))
    return false;
  const std::string name = json_object_get_string(element(expression, 0));
  const std::size_t length = json_object_array_length(expression);
  if (name == "eq") {
    const char *value = is_string(element(expression, 1)) ? variable(data, json_object_get_string(element(expression, 1))) : nullptr;
    json_object *wanted = element(expression, 2);
    if (value == nullptr || wanted == nullptr) return false;
    if (is_string(wanted)) return json_object_get_string(wanted) == std::string(value);
    if (!json_object_is_type(wanted, json_type_array)) return false;
    for (std::size_t i = 0; i < json_object_array_length(wanted); ++i)
      if (is_string(element(wanted, i)) && json_object_get_string(element(wanted, i)) == std::string(value)) return true;
    return false;
  }
  if (name == "has") return holds(data, element(expression, 1));
  if (name == "not") return !condition(element(expression, 1), data);
  if (name == "and" || name == "or") {
    for (std::size_t i = 1; i < length; ++i)
      if (condition(element(expression, i), data) != (name == "and")) return name == "or";
    return name == "and";
  }
  return false;  // "regex" and "isdir" are not known here
}

void run_block(json_object *block, json_object *data, int delay_ms) {
  if (block == nullptr || !json_object_is_type(block, json_type_array) || json_object_array_length(block) == 0) return;
  if (!is_string(element(block, 0))) {
    for (std::size_t i = 0; i < json_object_array_length(block); ++i) run_block(element(block, i), data, delay_ms);
    return;
  }
  const std::string name = json_object_get_string(element(block, 0));
  if (name == "if") {
    if (condition(element(block, 1), data)) run_block(element(block, 2), data, delay_ms);
    else run_block(element(block, 3), data, delay_ms);
    return;
  }
  if (name != "run_script") return;
  std::vector<std::string> argv;
  for (std::size_t i = 1; i < json_object_array_length(block); ++i)
    if (is_string(element(block, i))) argv.push_back(expand(json_object_get_string(element(block, i)), data));
  ask_for(argv, delay_ms);
}

// "config.*" matches every type starting "config."; other types match exactly.
bool matches(const std::string &event, const std::string &pattern) {
  const std::size_t wildcard = pattern.find(".*");
  if (wildcard != std::string::npos) return event.compare(0, wildcard, pattern, 0, wildcard) == 0;
  return event == pattern;
}

}  // namespace

void add_triggers(const void *owner, json_object *list) {
  if (list == nullptr || !json_object_is_type(list, json_type_array)) return;
  for (std::size_t i = 0; i < json_object_array_length(list); ++i) {
    json_object *rule = element(list, i);
    if (rule == nullptr || !json_object_is_type(rule, json_type_array)) continue;
    json_object *type = element(rule, 0), *script = element(rule, 1), *delay = element(rule, 2);
    if (!is_string(type) || script == nullptr || !json_object_is_type(script, json_type_array)) continue;
    const int ms = delay != nullptr && json_object_is_type(delay, json_type_int) ? json_object_get_int(delay) : 0;
    rules().push_back(Rule{owner, json_object_get_string(type), share(script), ms});
  }
}

void remove_triggers(const void *owner) {
  rules().remove_if([owner](const Rule &rule) { return rule.owner == owner; });
}

void trigger_event(const char *type, json_object *data) {
  for (const Rule &rule : rules())
    if (matches(type, rule.type)) run_block(rule.script.get(), data, rule.delay_ms);
}

}  // namespace procd
