// The HTTP side of vorn_web: one page's files and the JSON API, on an embedded server whose one
// polling thread serves every connection, so a client that is slow, idle or gone never holds
// another one up.
//
//   GET /api/status                      the daemon's status object
//   GET /api/sensors                     every sensor with its last values
//   GET /api/history?id=<id>&channel=<n> the samples kept for one channel
//   GET /api/events                      Server-Sent Events: sensor, status, availability, alarm,
//                                        report, joined, left, command
//   POST /api/command                    a command for the daemon (page_commands.h): 202 with its
//                                        number; the outcome comes as a "command" event
//
// Every request must name the page in its Host header (web_config.h: host_allowed); with a user
// and a password set every request must carry them, and a client that keeps failing to waits
// (login_throttle.h). Commands need a login, or the page listening on the router itself and the
// request not forwarded by a proxy.
//
// Bounds: request head at most kMaxRequestBytes, no request body but a command's (at most
// kMaxCommandBytes), kMaxConnections connections at a time with at most `max_streams` of them
// event streams, kIdleTimeout for a connection that sends
// nothing (half a request, or kept alive unused), and an event stream ends after kStreamLifetime
// (the browser reconnects and resumes). Event streams wait for news suspended: they cost no
// thread while nothing happens.
#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "gateway_model.h"
#include "login_throttle.h"
#include "static_files.h"
#include "web_config.h"

struct MHD_Daemon;
struct MHD_Connection;

namespace web {

class HttpServer {
 public:
  static constexpr int kMaxConnections = 128;
  static constexpr std::size_t kMaxCommandBytes = 1024;
  static constexpr int kMaxRequestBytes = 8192;
  static constexpr std::chrono::seconds kIdleTimeout{10};
  static constexpr std::chrono::seconds kKeepAlive{15};
  static constexpr std::chrono::minutes kStreamLifetime{10};

  HttpServer(const WebConfig &config, GatewayModel &model, const StaticFiles &files);
  ~HttpServer();
  HttpServer(const HttpServer &) = delete;
  HttpServer &operator=(const HttpServer &) = delete;

  // Starts listening; false with `problem` set when the address cannot be served.
  bool start(std::string &problem);

  struct Stream;

 private:
  friend struct Stream;
  int dispatch(MHD_Connection *connection, const char *url, const char *method, const char *upload,
               std::size_t *upload_size, void **request_state);
  int answer(MHD_Connection *connection, const std::string &path, const char *method, const std::string &body);
  int command(MHD_Connection *connection, const std::string &body);
  bool authorized(MHD_Connection *connection, int &refusal);
  int stream_events(MHD_Connection *connection);
  int history(MHD_Connection *connection);
  // Parks a stream's connection until news or the next tick; false when stopping.
  bool park(Stream &stream);
  void wake_streams();

  const WebConfig &config_;
  GatewayModel &model_;
  const StaticFiles &files_;
  MHD_Daemon *daemon_ = nullptr;
  std::string tls_cert_, tls_key_;
  LoginThrottle throttle_;
  std::atomic<int> streams_{0};
  // Connections of event streams suspended until there is something to send, and the thread that
  // resumes them on each new event and once a second (keep-alive comments, lifetimes).
  std::mutex parked_mutex_;
  std::set<MHD_Connection *> parked_;
  bool stopping_ = false;
  std::thread waker_;
};

}  // namespace web
