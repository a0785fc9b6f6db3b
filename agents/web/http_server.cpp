#include "http_server.h"

#include <civetweb.h>

#include <cstdio>
#include <cstring>
#include <map>

#include "api_params.h"

namespace web {

namespace {

const char *reason(int code) {
  switch (code) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 413: return "Payload Too Large";
    case 503: return "Service Unavailable";
    default: return "Error";
  }
}

int send(mg_connection *connection, int code, const std::string &type, const std::string &body,
         const char *extra_headers = "") {
  const bool head = std::strcmp(mg_get_request_info(connection)->request_method, "HEAD") == 0;
  char header[512];
  std::snprintf(header, sizeof header,
                "HTTP/1.1 %d %s\r\nContent-Type: %s\r\nContent-Length: %zu\r\nCache-Control: no-store\r\n"
                "X-Content-Type-Options: nosniff\r\n%s\r\n",
                code, reason(code), type.c_str(), body.size(), extra_headers);
  // One write for head and body: two small writes would wait on each other's acknowledgement.
  std::string answer = header;
  if (!head) answer += body;
  mg_write(connection, answer.data(), answer.size());
  return code;
}

int send_json(mg_connection *connection, int code, const std::string &body) {
  return send(connection, code, "application/json", body);
}

int send_error(mg_connection *connection, int code, const char *what) {
  return send_json(connection, code, std::string("{\"error\":\"") + what + "\"}");
}

// One query parameter, or nothing when it is absent or too long.
std::optional<std::string> query_value(const mg_request_info *request, const char *name) {
  if (request->query_string == nullptr) return std::nullopt;
  char value[64];
  const int length = mg_get_var(request->query_string, std::strlen(request->query_string), name, value, sizeof value);
  if (length < 0) return std::nullopt;
  return std::string(value, static_cast<std::size_t>(length));
}

bool write_all(mg_connection *connection, const std::string &text) {
  return mg_write(connection, text.data(), text.size()) == static_cast<int>(text.size());
}

std::string sse_frame(const Event &event) {
  return "id: " + std::to_string(event.seq) + "\nevent: " + event.type + "\ndata: " + event.data + "\n\n";
}

}  // namespace

HttpServer::HttpServer(const WebConfig &config, const GatewayModel &model, const StaticFiles &files)
    : config_(config), model_(model), files_(files) {}

HttpServer::~HttpServer() {
  if (context_ != nullptr) mg_stop(context_);
}

bool HttpServer::start(std::string &problem) {
  const std::string ports =
      (config_.host == "0.0.0.0" ? "" : config_.host + ":") + std::to_string(config_.port);
  const std::string threads = std::to_string(kWorkerThreads), request_bytes = std::to_string(kMaxRequestBytes),
                    timeout = std::to_string(kRequestTimeoutMs);
  const char *options[] = {"listening_ports", ports.c_str(),
                           "num_threads", threads.c_str(),
                           "max_request_size", request_bytes.c_str(),
                           "request_timeout_ms", timeout.c_str(),
                           "keep_alive_timeout_ms", "5000",
                           "enable_keep_alive", "yes",
                           "connection_queue", "32",
                           "listen_backlog", "32",
                           "linger_timeout_ms", "0",
                           "enable_directory_listing", "no",
                           "tcp_nodelay", "1",
                           nullptr};
  mg_callbacks callbacks{};
  context_ = mg_start(&callbacks, nullptr, options);
  if (context_ == nullptr) {
    problem = "cannot listen on " + ports;
    return false;
  }
  mg_set_request_handler(context_, "/", &HttpServer::handle, this);
  return true;
}

int HttpServer::handle(mg_connection *connection, void *self) {
  return static_cast<HttpServer *>(self)->dispatch(connection);
}

int HttpServer::dispatch(mg_connection *connection) {
  const mg_request_info *request = mg_get_request_info(connection);
  if (!config_.user.empty() &&
      !basic_auth_matches(mg_get_header(connection, "Authorization"), config_.user, config_.password))
    return send(connection, 401, "application/json", "{\"error\":\"authentication required\"}",
                "WWW-Authenticate: Basic realm=\"vorn_web\", charset=\"UTF-8\"\r\n");
  if (std::strcmp(request->request_method, "GET") != 0 && std::strcmp(request->request_method, "HEAD") != 0)
    return send(connection, 405, "application/json", "{\"error\":\"only GET\"}", "Allow: GET, HEAD\r\n");
  if (request->content_length > 0) return send_error(connection, 413, "no request body is taken");
  const std::string path = request->local_uri_raw != nullptr ? request->local_uri_raw : "";

  using Route = int (*)(HttpServer &, mg_connection *);
  static const std::map<std::string, Route> routes = {
      {"/api/status", [](HttpServer &s, mg_connection *c) { return send_json(c, 200, *s.model_.status_text()); }},
      {"/api/sensors", [](HttpServer &s, mg_connection *c) { return send_json(c, 200, *s.model_.sensors_text()); }},
      {"/api/history", [](HttpServer &s, mg_connection *c) { return s.history(c); }},
      {"/api/events", [](HttpServer &s, mg_connection *c) { return s.stream_events(c); }},
  };
  if (auto route = routes.find(path); route != routes.end()) return route->second(*this, connection);
  if (path.rfind("/api/", 0) == 0) return send_error(connection, 404, "no such API");
  if (const StaticFile *file = files_.find(path)) return send(connection, 200, file->content_type, file->content);
  return send(connection, 404, "text/plain; charset=utf-8", "not found\n");
}

int HttpServer::history(mg_connection *connection) {
  const mg_request_info *request = mg_get_request_info(connection);
  const auto id_text = query_value(request, "id");
  const auto id = id_text ? sensor_id_param(id_text->c_str()) : std::nullopt;
  if (!id) return send_error(connection, id_text ? 404 : 400, id_text ? "unknown sensor" : "id is missing");
  const auto channel_text = query_value(request, "channel");
  const auto channel = channel_text ? channel_param(channel_text->c_str()) : std::nullopt;
  if (!channel) return send_error(connection, 400, "bad channel");
  const HttpAnswer answer = model_.history(*id, *channel);
  return send_json(connection, answer.code, answer.body);
}

int HttpServer::stream_events(mg_connection *connection) {
  if (std::strcmp(mg_get_request_info(connection)->request_method, "HEAD") == 0)
    return send(connection, 200, "text/event-stream", "");
  if (streams_.fetch_add(1) >= kMaxStreams) {
    streams_.fetch_sub(1);
    return send_error(connection, 503, "too many event streams");
  }
  struct Release {
    std::atomic<int> &count;
    ~Release() { count.fetch_sub(1); }
  } release{streams_};
  // A reconnecting browser names the last event it got: only what it missed is sent again.
  const char *last = mg_get_header(connection, "Last-Event-ID");
  const std::uint64_t resume = last != nullptr ? std::strtoull(last, nullptr, 10) : 0;
  std::uint64_t cursor = 0;
  std::vector<Event> backlog = model_.recent_events(cursor);
  mg_printf(connection,
            "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-store\r\n"
            "Connection: close\r\n\r\nretry: 2000\n\n");
  std::string replay;
  for (const Event &event : backlog)
    if (event.seq > resume) replay += sse_frame(event);
  // "ready" ends the replay: what follows happens while the page looks.
  if (!write_all(connection, replay + "event: ready\ndata: {\"seq\":" + std::to_string(cursor) + "}\n\n")) return 200;
  const auto until = std::chrono::steady_clock::now() + kStreamLifetime;
  while (!model_.stopped() && std::chrono::steady_clock::now() < until) {
    const std::vector<Event> events = model_.wait_events(cursor, std::chrono::duration_cast<std::chrono::milliseconds>(kKeepAlive));
    std::string text;
    for (const Event &event : events) text += sse_frame(event);
    // A comment when nothing happened: a client that went away is found by the failed write.
    if (!write_all(connection, text.empty() ? ": keep-alive\n\n" : text)) break;
  }
  return 200;
}

}  // namespace web
