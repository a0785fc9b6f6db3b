// The HTTP side of vorn_web: one page's files and the JSON API, on an embedded server with a
// fixed number of worker threads.
//
//   GET /api/status                      the daemon's status object
//   GET /api/sensors                     every sensor with its last values
//   GET /api/history?id=<id>&channel=<n> the samples kept for one channel
//   GET /api/events                      Server-Sent Events: sensor, status, availability, alarm,
//                                        report, joined, left
//
// Bounds: request head at most kMaxRequestBytes, no request body, kWorkerThreads requests at a
// time with at most kMaxStreams of them event streams, kRequestTimeoutMs for a slow client, and
// an event stream ends after kStreamLifetime (the browser reconnects and resumes).
#pragma once

#include <atomic>
#include <chrono>
#include <string>

#include "gateway_model.h"
#include "static_files.h"
#include "web_config.h"

struct mg_context;
struct mg_connection;

namespace web {

class HttpServer {
 public:
  static constexpr int kWorkerThreads = 8;
  static constexpr int kMaxStreams = 4;
  static constexpr int kMaxRequestBytes = 8192;
  static constexpr int kRequestTimeoutMs = 10000;
  static constexpr std::chrono::seconds kKeepAlive{15};
  static constexpr std::chrono::minutes kStreamLifetime{10};

  HttpServer(const WebConfig &config, const GatewayModel &model, const StaticFiles &files);
  ~HttpServer();
  HttpServer(const HttpServer &) = delete;
  HttpServer &operator=(const HttpServer &) = delete;

  // Starts listening; false with `problem` set when the address cannot be served.
  bool start(std::string &problem);

 private:
  static int handle(mg_connection *connection, void *self);
  int dispatch(mg_connection *connection);
  int stream_events(mg_connection *connection);
  int history(mg_connection *connection);

  const WebConfig &config_;
  const GatewayModel &model_;
  const StaticFiles &files_;
  mg_context *context_ = nullptr;
  std::atomic<int> streams_{0};
};

}  // namespace web
