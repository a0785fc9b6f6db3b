// vorn_web: the gateway's web page. Reads the gateway once per poll period (the daemon's bus
// object, the DeviceList, sensorlist, the shared-memory channels) and serves the page and its
// JSON API until SIGTERM, SIGINT or SIGHUP.
//
//   vorn_web [-l ADDRESS:PORT] [-w FOLDER]     (defaults from /etc/config/vorn_web)
#include <signal.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "gateway_model.h"
#include "gateway_source.h"
#include "http_server.h"
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
  void run() {
    web::GatewaySource source;
    std::unique_lock lock(mutex_);
    while (!stopping_) {
      lock.unlock();
      model_.update(source.read(), now_ms());
      lock.lock();
      wake_.wait_for(lock, period_, [this] { return stopping_; });
    }
  }
  web::GatewayModel &model_;
  std::chrono::milliseconds period_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace

int main(int argc, char **argv) {
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
