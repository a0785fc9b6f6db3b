// vorn_web: the gateway's web page. Reads the gateway once per poll period (the daemon's bus
// object, the DeviceList, sensorlist, the shared-memory channels) and serves the page and its
// JSON API until SIGTERM, SIGINT or SIGHUP.
//
//   vorn_web [-l ADDRESS:PORT] [-w FOLDER]     (defaults from /etc/config/vorn_web)
#include <malloc.h>
#include <signal.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "gateway_model.h"
#include "gateway_source.h"
#include "http_server.h"
#include "page_commands.h"
#include "static_files.h"
#include "web_config.h"

namespace {

int usage() {
  std::fputs("usage: vorn_web [-l ADDRESS:PORT] [-w FOLDER]\n", stderr);
  return 2;
}

double now_ms() {
  return std::chrono::duration<double, std::milli>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// Reads the gateway every period until told to stop.
class Poller {
 public:
  Poller(web::GatewayModel &model, int period_ms) : model_(model), period_(period_ms), thread_([this] { run(); }) {}
  ~Poller() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }
  Poller(const Poller &) = delete;
  Poller &operator=(const Poller &) = delete;

 private:
  // A command sent, waiting for its effect to show in sensorlist.
  struct Pending {
    std::uint64_t number;
    web::PageCommand command;
    web::CommandEffect effect;
    double deadline_ms;
  };
  static constexpr double kCommandWaitMs = 10000;

  void run_commands(web::GatewaySource &source) {
    for (auto &[number, command] : model_.take_commands()) {
      const int status = source.send_command(web::command_event(command));
      if (status != 0) {
        model_.command_outcome(number, command, false, "the bus did not take it (status " + std::to_string(status) + ")");
        continue;
      }
      web::CommandEffect effect = web::command_effect(command);
      if (effect.option.empty())
        model_.command_outcome(number, command, true, "sent to the daemon, which confirms nothing for this command");
      else
        pending_.push_back(Pending{number, command, effect, now_ms() + kCommandWaitMs});
    }
    for (auto it = pending_.begin(); it != pending_.end();) {
      const bool taken = source.sensorlist_option(it->command.id, it->effect.option) == it->effect.value;
      if (!taken && now_ms() < it->deadline_ms) {
        ++it;
        continue;
      }
      const std::string result = !taken ? "no answer from the daemon within 10 s"
                                 : it->command.kind == "remove" ? "marked for removal by the daemon: removed at the sensor's next frame"
                                                                : "stored by the daemon: the sensor takes it at its next contact";
      model_.command_outcome(it->number, it->command, taken, result);
      it = pending_.erase(it);
    }
  }

  void run() {
    web::GatewaySource source;
    std::unique_lock lock(mutex_);
    while (!stopping_) {
      lock.unlock();
      model_.update(source.read(), now_ms());
      run_commands(source);
#ifdef __GLIBC__
      // Each look replaces texts of tens of KiB: give the pages they leave free back, so the
      // resident size stays what the page needs (musl's allocator does this by itself).
      malloc_trim(0);
#endif
      lock.lock();
      // Sooner while a command waits for its effect.
      wake_.wait_for(lock, pending_.empty() ? period_ : std::min(period_, std::chrono::milliseconds(250)),
                     [this] { return stopping_; });
    }
  }
  std::vector<Pending> pending_;
  web::GatewayModel &model_;
  std::chrono::milliseconds period_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace

int main(int argc, char **argv) {
#ifdef __GLIBC__
  // One malloc arena for the few threads: per-thread arenas would each keep freed memory resident.
  mallopt(M_ARENA_MAX, 1);
#endif
  std::string problem;
  web::WebConfig config = web::read_web_config(problem);
  for (int i = 1; i < argc; i += 2) {
    if (i + 1 >= argc) return usage();
    if (std::strcmp(argv[i], "-l") == 0) {
      if (!web::parse_listen(argv[i + 1], config)) problem = std::string("-l '") + argv[i + 1] + "' is not ADDRESS:PORT";
    } else if (std::strcmp(argv[i], "-w") == 0) {
      config.www = argv[i + 1];
    } else {
      return usage();
    }
  }
  if (problem.empty()) problem = web::config_problem(config).value_or("");
  if (!problem.empty()) {
    std::fprintf(stderr, "vorn_web: %s\n", problem.c_str());
    return 2;
  }
  web::StaticFiles files;
  if (!files.load(config.www, problem)) {
    std::fprintf(stderr, "vorn_web: %s\n", problem.c_str());
    return 1;
  }
  // Every thread started from here on inherits the blocked signals; only sigwait takes them.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&stop_signals, signal);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  ::signal(SIGPIPE, SIG_IGN);

  web::GatewayModel model;
  int signal = 0;
  {
    Poller poller(model, config.poll_ms);
    // Served once the gateway was looked at: an empty status and no sensors would be answers too.
    // A look takes a few seconds at most (bus calls time out); the bound only guards a hang.
    if (!model.wait_first_update(std::chrono::seconds(30)))
      std::fputs("vorn_web: no look at the gateway within 30 s, serving what there is\n", stderr);
    web::HttpServer server(config, model, files);
    if (!server.start(problem)) {
      std::fprintf(stderr, "vorn_web: %s\n", problem.c_str());
      model.stop();
      return 1;
    }
    std::printf("vorn_web: serving http://%s:%d/%s\n", config.host.c_str(), config.port,
                config.user.empty() ? "" : " (basic authentication)");
    std::fflush(stdout);
    sigwait(&stop_signals, &signal);
    model.stop();
  }
  std::printf("vorn_web: stopped by signal %d\n", signal);
  return 0;
}
