#include "supervisor.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "triggers.h"

namespace procd {

std::map<std::string, std::unique_ptr<Service>> &services() {
  static std::map<std::string, std::unique_ptr<Service>> table;
  return table;
}

void forget_finished_services() {
  for (auto it = services().begin(); it != services().end();) {
    if (it->second->finished()) {
      remove_triggers(it->second.get());
      it = services().erase(it);
    } else {
      ++it;
    }
  }
}

namespace {

// syslog() keeps the identity it was opened with: it must outlive the lines written under it.
std::string g_log_ident = "procd";

void write_log(const std::string &ident, int facility, int priority, const std::string &text) {
  g_log_ident = ident;
  openlog(g_log_ident.c_str(), 0, facility);
  syslog(priority, "%s", text.c_str());
}

long monotonic_seconds(const timespec &since) {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long>(now.tv_sec - since.tv_sec);
}

const std::pair<const char *, int> kLimits[] = {
    {"as", RLIMIT_AS}, {"core", RLIMIT_CORE}, {"cpu", RLIMIT_CPU}, {"data", RLIMIT_DATA},
    {"fsize", RLIMIT_FSIZE}, {"memlock", RLIMIT_MEMLOCK}, {"nofile", RLIMIT_NOFILE},
    {"nproc", RLIMIT_NPROC}, {"rss", RLIMIT_RSS}, {"stack", RLIMIT_STACK}, {"nice", RLIMIT_NICE},
    {"rtprio", RLIMIT_RTPRIO}, {"msgqueue", RLIMIT_MSGQUEUE}, {"sigpending", RLIMIT_SIGPENDING}};

// "unlimited", or "soft [hard]" (a missing hard limit stays as it is), read into unsigned longs as
// the router's manager reads them.
void apply_limit(const std::string &name, const std::string &value) {
  for (const auto &[text, resource] : kLimits) {
    if (name != text) continue;
    rlimit limit{};
    if (value == "unlimited") {
      limit.rlim_cur = limit.rlim_max = RLIM_INFINITY;
    } else {
      if (getrlimit(resource, &limit) != 0) return;
      unsigned long soft = limit.rlim_cur, hard = limit.rlim_max;
      if (std::sscanf(value.c_str(), "%lu %lu", &soft, &hard) < 1) return;
      limit.rlim_cur = soft, limit.rlim_max = hard;
    }
    setrlimit(resource, &limit);
    return;
  }
}

// In the forked child: environment, limits, descriptors, user, then the program.
[[noreturn]] void run_program(const Definition &d, int out, int err) {
  reset_signals_in_child();
  if (d.nice != 0) setpriority(PRIO_PROCESS, 0, d.nice);
  for (const auto &[key, value] : d.env) setenv(key.c_str(), value.c_str(), 1);
  for (const auto &[key, value] : d.limits) apply_limit(key, value);
  const int null_in = open("/dev/null", O_RDONLY);
  if (out < 0) out = open("/dev/null", O_WRONLY);
  if (err < 0) err = open("/dev/null", O_WRONLY);
  dup2(null_in, STDIN_FILENO);
  dup2(out, STDOUT_FILENO);
  dup2(err, STDERR_FILENO);
  for (int fd : {null_in, out, err})
    if (fd > STDERR_FILENO) close(fd);
  if (!d.user.empty() && d.user_gid != 0 && initgroups(d.user.c_str(), d.user_gid) != 0) _exit(127);
  if (d.group_gid != 0 && setgid(d.group_gid) != 0) _exit(127);
  if (d.uid != 0 && setuid(d.uid) != 0) _exit(127);
  std::vector<char *> argv;
  for (const std::string &word : d.command) argv.push_back(const_cast<char *>(word.c_str()));
  argv.push_back(nullptr);
  execvp(argv[0], argv.data());
  _exit(127);
}

int exit_code_of(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return 1;
}

json_object *strings_array(const std::vector<std::string> &words) {
  json_object *array = json_object_new_array();
  for (const std::string &word : words) json_object_array_add(array, json_object_new_string(word.c_str()));
  return array;
}

json_object *strings_table(const std::map<std::string, std::string> &table) {
  json_object *object = json_object_new_object();
  for (const auto &[key, value] : table) json_object_object_add(object, key.c_str(), json_object_new_string(value.c_str()));
  return object;
}

}  // namespace

void log_line(int priority, const std::string &text) { write_log("procd", LOG_DAEMON, priority, text); }

void run_init_script(const std::string &service, const char *action) {
  const std::string script = "/etc/init.d/" + service;
  if (access(script.c_str(), X_OK) != 0) return;
  int output[2];
  if (pipe2(output, O_CLOEXEC) != 0) return;
  const pid_t pid = fork();
  if (pid < 0) {
    close(output[0]), close(output[1]);
    return;
  }
  if (pid == 0) {
    reset_signals_in_child();
    const int null_in = open("/dev/null", O_RDONLY);
    dup2(null_in, STDIN_FILENO);
    dup2(output[1], STDOUT_FILENO);
    dup2(output[1], STDERR_FILENO);
    execl(script.c_str(), script.c_str(), action, static_cast<char *>(nullptr));
    _exit(1);
  }
  close(output[1]);
  auto reader = std::make_shared<LineReader>(output[0], [script](const std::string &line) {
    log_line(LOG_NOTICE, script + ": " + line);
  });
  on_child_exit(pid, [reader](int) mutable { reader.reset(); });
}

Instance::Instance(Service &service, std::string name, Definition definition)
    : service_(service), name_(std::move(name)), definition_(std::move(definition)),
      respawn_(definition_.respawn), timeout_([this] { on_timeout(); }) {
  add_triggers(this, definition_.triggers.get());
}

Instance::~Instance() {
  remove_triggers(this);
  if (pid_ > 0) forget_child(pid_);
}

void Instance::start() {
  const std::string label = service_.name() + "::" + name_;
  if (!definition_.errors.empty()) {
    log_line(LOG_INFO, "Not starting instance " + label + ", an error was indicated");
    return;
  }
  if (definition_.command.empty()) {
    log_line(LOG_INFO, "Not starting instance " + label + ", command not set");
    return;
  }
  if (running()) {
    if (halt_) restart_ = true;
    return;
  }
  restart_ = halt_ = false;
  if (!definition_.valid) return;
  int out[2] = {-1, -1}, err[2] = {-1, -1};
  if (definition_.log_stdout && pipe2(out, O_CLOEXEC) != 0) out[0] = out[1] = -1;
  if (definition_.log_stderr && pipe2(err, O_CLOEXEC) != 0) err[0] = err[1] = -1;
  const pid_t pid = fork();
  if (pid < 0) {
    for (int fd : {out[0], out[1], err[0], err[1]})
      if (fd >= 0) close(fd);
    return;
  }
  if (pid == 0) {
    // The write ends survive the exec as the program's output (dup2 clears close-on-exec).
    run_program(definition_, out[1], err[1]);
  }
  pid_ = pid;
  clock_gettime(CLOCK_MONOTONIC, &started_);
  if (!definition_.pidfile.empty()) {
    if (FILE *file = std::fopen(definition_.pidfile.c_str(), "w")) {
      std::fprintf(file, "%d\n", pid);
      std::fclose(file);
    } else {
      log_line(LOG_ERR, "failed to open pidfile for writing: " + definition_.pidfile + ": " + std::strerror(errno));
    }
  }
  on_child_exit(pid, [this](int status) { exited(status); });
  // Lines are tagged with the program's name and the pid of the run that wrote them.
  const std::string program = definition_.command[0].substr(definition_.command[0].rfind('/') + 1);
  const std::string ident = program + "[" + std::to_string(pid) + "]";
  const int facility = definition_.facility;
  out_.reset(), err_.reset();
  if (out[0] >= 0) {
    close(out[1]);
    out_ = std::make_unique<LineReader>(out[0], [ident, facility](const std::string &line) {
      write_log(ident, facility, LOG_INFO, line);
    });
  }
  if (err[0] >= 0) {
    close(err[1]);
    err_ = std::make_unique<LineReader>(err[0], [ident, facility](const std::string &line) {
      write_log(ident, facility, LOG_ERR, line);
    });
  }
}

void Instance::exited(int status) {
  const long ran = monotonic_seconds(started_);
  pid_ = 0;
  exit_code_ = exit_code_of(status);
  timeout_.cancel();
  if (halt_) {
    if (!definition_.pidfile.empty()) unlink(definition_.pidfile.c_str());
    if (restart_) {
      start();
    } else {
      service_.drop(*this);  // destroys this instance
    }
    return;
  }
  if (restart_) {
    start();
    return;
  }
  if (!respawn_) return;
  respawn_count_ = ran < definition_.respawn_threshold ? respawn_count_ + 1 : 0;
  if (respawn_count_ > definition_.respawn_retry && definition_.respawn_retry > 0) {
    log_line(LOG_INFO, "Instance " + service_.name() + "::" + name_ + " s in a crash loop " +
                           std::to_string(respawn_count_) + " crashes, " + std::to_string(ran) +
                           " seconds since last crash");
    restart_ = respawn_ = false;
    halt_ = true;
    return;
  }
  timeout_.set(definition_.respawn_timeout * 1000);
}

void Instance::on_timeout() {
  if (halt_ && running()) {
    log_line(LOG_INFO, "Instance " + service_.name() + "::" + name_ + " pid " + std::to_string(pid_) +
                           " not stopped on SIGTERM, sending SIGKILL instead");
    kill(pid_, SIGKILL);
  } else if (restart_ || respawn_) {
    start();
  }
}

void Instance::stop(bool halt) {
  if (!running()) {
    if (halt) service_.drop(*this);
    return;
  }
  halt_ = halt;
  restart_ = respawn_ = false;
  kill(pid_, SIGTERM);
  timeout_.set(definition_.term_timeout * 1000);
}

void Instance::restart() {
  if (!running()) return;
  if (definition_.reload_signal != 0) {
    kill(pid_, definition_.reload_signal);
    return;
  }
  halt_ = restart_ = true;
  kill(pid_, SIGTERM);
  timeout_.set(definition_.term_timeout * 1000);
}

void Instance::update(Definition next) {
  const bool changed = definition_changed(definition_, next);
  remove_triggers(this);
  add_triggers(this, next.triggers.get());
  if (!running() || halt_) {
    definition_ = std::move(next);
    respawn_ = definition_.respawn;
    start();
    return;
  }
  if (changed) restart();  // ends the program under the definition it runs with
  definition_ = std::move(next);
  respawn_ = definition_.respawn;
}

void Instance::describe(json_object *instances, bool verbose) const {
  if (!definition_.valid) return;
  json_object *entry = json_object_new_object();
  json_object_object_add(entry, "running", json_object_new_boolean(running()));
  if (running()) json_object_object_add(entry, "pid", json_object_new_int(pid_));
  json_object_object_add(entry, "command", strings_array(definition_.command));
  json_object_object_add(entry, "term_timeout", json_object_new_int(definition_.term_timeout));
  if (!running()) json_object_object_add(entry, "exit_code", json_object_new_int(exit_code_));
  if (!definition_.errors.empty()) json_object_object_add(entry, "errors", strings_array(definition_.errors));
  if (!definition_.env.empty()) json_object_object_add(entry, "env", strings_table(definition_.env));
  if (definition_.data) json_object_object_add(entry, "data", json_object_get(definition_.data.get()));
  if (!definition_.limits.empty()) json_object_object_add(entry, "limits", strings_table(definition_.limits));
  if (!definition_.netdevs.empty()) {
    std::vector<std::string> names;
    for (const auto &device : definition_.netdevs) names.push_back(device.first);
    json_object_object_add(entry, "netdev", strings_array(names));
  }
  if (definition_.reload_signal != 0)
    json_object_object_add(entry, "reload_signal", json_object_new_int(definition_.reload_signal));
  if (respawn_) {
    json_object *rule = json_object_new_object();
    json_object_object_add(rule, "threshold", json_object_new_int(definition_.respawn_threshold));
    json_object_object_add(rule, "timeout", json_object_new_int(definition_.respawn_timeout));
    json_object_object_add(rule, "retry", json_object_new_int(definition_.respawn_retry));
    json_object_object_add(entry, "respawn", rule);
  }
  if (!definition_.pidfile.empty()) json_object_object_add(entry, "pidfile", json_object_new_string(definition_.pidfile.c_str()));
  if (!definition_.user.empty()) json_object_object_add(entry, "user", json_object_new_string(definition_.user.c_str()));
  if (!definition_.group.empty()) json_object_object_add(entry, "group", json_object_new_string(definition_.group.c_str()));
  if (verbose && definition_.triggers) json_object_object_add(entry, "triggers", json_object_get(definition_.triggers.get()));
  json_object_object_add(instances, name_.c_str(), entry);
}

void Service::set(json_object *message, bool replace) {
  json_object *autostart = typed_member(message, "autostart", json_type_boolean);
  autostart_ = autostart == nullptr || json_object_get_boolean(autostart);
  remove_triggers(this);
  triggers_ = share(typed_member(message, "triggers", json_type_array));
  if (triggers_) add_triggers(this, triggers_.get());
  if (json_object *instances = typed_member(message, "instances", json_type_object)) {
    std::vector<std::string> named;
    json_object_object_foreach(instances, key, value) {
      if (!json_object_is_type(value, json_type_object)) continue;
      named.emplace_back(key);
      Definition definition = read_definition(value);
      auto found = instances_.find(key);
      if (found != instances_.end()) {
        found->second->update(std::move(definition));
      } else {
        auto &instance = instances_[key] = std::make_unique<Instance>(*this, key, std::move(definition));
        if (autostart_) instance->start();
      }
    }
    if (replace) {
      std::vector<Instance *> gone;
      for (auto &[key, instance] : instances_)
        if (std::find(named.begin(), named.end(), key) == named.end()) gone.push_back(instance.get());
      for (Instance *instance : gone) instance->stop(true);
    }
  }
  data_ = share(typed_member(message, "data", json_type_object));
  deleted_ = false;
}

int Service::remove(const char *instance) {
  if (instance != nullptr) {
    auto found = instances_.find(instance);
    if (found == instances_.end()) return 4;  // UBUS_STATUS_NOT_FOUND
    found->second->stop(true);
    return 0;
  }
  deleted_ = true;
  data_.reset();
  std::vector<Instance *> all;
  for (auto &entry : instances_) all.push_back(entry.second.get());
  for (Instance *each : all) each->stop(true);
  return 0;
}

// The bus status of signalling one instance: 0, 4 (not found: not running) or 6 (not permitted).
static int signal_status(const Instance &instance, int signal_number) {
  if (!instance.running()) return 4;
  if (kill(instance.pid(), signal_number) == 0) return 0;
  return errno == EPERM ? 6 : 4;
}

int Service::signal(const char *instance, int signal_number) {
  if (instance != nullptr) {
    auto found = instances_.find(instance);
    return found == instances_.end() ? 4 : signal_status(*found->second, signal_number);
  }
  int result = 0;
  for (auto &entry : instances_) result = signal_status(*entry.second, signal_number);
  return result;
}

void Service::drop(Instance &instance) {
  auto found = instances_.find(instance.name());
  if (found != instances_.end() && found->second.get() == &instance) instances_.erase(found);
  // A deleted service goes with its last instance, once the callers up the stack are done with it.
  static Timer forget([] { forget_finished_services(); });
  if (finished()) forget.set(0);
}

void Service::describe(json_object *reply, bool verbose) const {
  json_object *entry = json_object_new_object();
  if (!autostart_) json_object_object_add(entry, "autostart", json_object_new_boolean(false));
  if (data_) json_object_object_add(entry, "data", json_object_get(data_.get()));
  if (!instances_.empty()) {
    json_object *table = json_object_new_object();
    for (const auto &[key, instance] : instances_) instance->describe(table, verbose);
    json_object_object_add(entry, "instances", table);
  }
  if (verbose && triggers_) json_object_object_add(entry, "triggers", json_object_get(triggers_.get()));
  json_object_object_add(reply, name_.c_str(), entry);
}

}  // namespace procd
