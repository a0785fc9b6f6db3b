// The services and their instances: started, respawned, restarted and stopped as the router's
// process manager does it.
//   - A service is set (created or updated) with its instances; "set" stops the instances it no
//     longer names, "add" keeps them. An instance whose definition did not change keeps running;
//     one that changed is stopped (TERM, KILL after term_timeout) and started again.
//   - A dead instance with a respawn rule "threshold timeout retry" starts again timeout seconds
//     later; a run shorter than threshold seconds counts as a crash, a longer one clears the
//     count; past retry crashes (retry > 0) it stays down, with one log line. The count survives
//     a "set" of the service, not its deletion.
//   - Standard output and error of an instance go to the log (LOG_INFO and LOG_ERR of its
//     facility, tagged "<program>[<pid>]"); without "stdout"/"stderr" they go nowhere.
#pragma once

#include <sys/types.h>
#include <time.h>

#include <functional>
#include <map>
#include <memory>
#include <string>

#include "definition.h"
#include "loop.h"

namespace procd {

class Service;

class Instance {
 public:
  Instance(Service &service, std::string name, Definition definition);
  ~Instance();
  Instance(const Instance &) = delete;
  Instance &operator=(const Instance &) = delete;

  const std::string &name() const { return name_; }
  const Definition &definition() const { return definition_; }
  bool running() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }

  void start();
  // Stops the program; with `halt` the instance is removed once it ended.
  void stop(bool halt);
  // Takes a new definition (the service was set again).
  void update(Definition next);
  // The program ended with wait status `status`.
  void exited(int status);
  // Adds this instance's entry to a `service list` reply.
  void describe(json_object *instances, bool verbose) const;

 private:
  void restart();
  void on_timeout();

  Service &service_;
  std::string name_;
  Definition definition_;
  pid_t pid_ = 0;
  bool halt_ = false, restart_ = false, respawn_ = false;
  int respawn_count_ = 0, exit_code_ = 0;
  timespec started_{};
  Timer timeout_;
  std::unique_ptr<LineReader> out_, err_;
};

class Service {
 public:
  explicit Service(std::string name) : name_(std::move(name)) {}
  const std::string &name() const { return name_; }

  // `set` (replace == true) or `add` with the message's fields.
  void set(json_object *message, bool replace);
  // Stops every instance (or the named one); the service goes once none is left.
  int remove(const char *instance);
  int signal(const char *instance, int signal_number);
  void describe(json_object *reply, bool verbose) const;
  // Called by an instance that has ended for good.
  void drop(Instance &instance);
  bool finished() const { return deleted_ && instances_.empty(); }
  json_object *triggers() const { return triggers_.get(); }
  const std::map<std::string, std::unique_ptr<Instance>> &instances() const { return instances_; }

 private:
  std::string name_;
  bool autostart_ = true, deleted_ = false;
  Json data_, triggers_;
  std::map<std::string, std::unique_ptr<Instance>> instances_;
};

// Every service by name. A service that finished is removed at the next turn of the loop.
std::map<std::string, std::unique_ptr<Service>> &services();
void forget_finished_services();

// Runs `/etc/init.d/SERVICE ACTION` (when there is such a script) in the background, its output
// into the log; the manager does so with "running" each time a service is set.
void run_init_script(const std::string &service, const char *action);

// Log lines of the manager itself ("procd: ..."), as the router's writes them to the log.
void log_line(int priority, const std::string &text);

}  // namespace procd
