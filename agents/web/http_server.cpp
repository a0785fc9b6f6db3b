#include "http_server.h"

#include <microhttpd.h>
#include <netinet/in.h>
#include <arpa/inet.h>

#include <cstring>
#include <map>
#include <memory>
#include <optional>

#include "api_params.h"

namespace web {

namespace {

constexpr std::size_t kQueryValueLimit = 63;

// One answer queued on the connection. The body is copied unless it is one of the page's files,
// which outlive the server.
int send(MHD_Connection *connection, int code, const char *type, const std::string &body,
         const std::map<std::string, std::string> &extra_headers = {}, bool persistent = false) {
  MHD_Response *response = MHD_create_response_from_buffer(
      body.size(), const_cast<char *>(body.data()), persistent ? MHD_RESPMEM_PERSISTENT : MHD_RESPMEM_MUST_COPY);
  if (response == nullptr) return MHD_NO;
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, type);
  MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
  MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
  for (const auto &[name, value] : extra_headers) MHD_add_response_header(response, name.c_str(), value.c_str());
  const MHD_Result queued = MHD_queue_response(connection, static_cast<unsigned>(code), response);
  MHD_destroy_response(response);
  return queued;
}

// A ready JSON text shared with the model: sent from where it is, kept alive until sent.
int send_shared(MHD_Connection *connection, std::shared_ptr<const std::string> text) {
  auto *held = new std::shared_ptr<const std::string>(std::move(text));
  MHD_Response *response = MHD_create_response_from_buffer_with_free_callback_cls(
      (*held)->size(), const_cast<char *>((*held)->data()), [](void *cls) { delete static_cast<std::shared_ptr<const std::string> *>(cls); },
      held);
  if (response == nullptr) {
    delete held;
    return MHD_NO;
  }
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, "application/json");
  MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
  MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
  const MHD_Result queued = MHD_queue_response(connection, MHD_HTTP_OK, response);
  MHD_destroy_response(response);
  return queued;
}

int send_json(MHD_Connection *connection, int code, const std::string &body) {
  return send(connection, code, "application/json", body);
}

int send_error(MHD_Connection *connection, int code, const char *what) {
  return send_json(connection, code, std::string("{\"error\":\"") + what + "\"}");
}

const char *header(MHD_Connection *connection, const char *name) {
  return MHD_lookup_connection_value(connection, MHD_HEADER_KIND, name);
}

// One query parameter, or nothing when it is absent or too long.
std::optional<std::string> query_value(MHD_Connection *connection, const char *name) {
  const char *value = MHD_lookup_connection_value(connection, MHD_GET_ARGUMENT_KIND, name);
  if (value == nullptr || std::strlen(value) > kQueryValueLimit) return std::nullopt;
  return std::string(value);
}

// The request head's size as received: the target with its query and every header line.
std::size_t head_bytes(MHD_Connection *connection, const char *url) {
  std::size_t total = std::strlen(url);
  MHD_get_connection_values(connection, static_cast<MHD_ValueKind>(MHD_HEADER_KIND | MHD_GET_ARGUMENT_KIND),
                            [](void *cls, MHD_ValueKind, const char *key, const char *value) {
                              *static_cast<std::size_t *>(cls) += std::strlen(key) + (value ? std::strlen(value) : 0) + 4;
                              return MHD_YES;
                            },
                            &total);
  return total;
}

bool has_body(MHD_Connection *connection) {
  const char *length = header(connection, MHD_HTTP_HEADER_CONTENT_LENGTH);
  return header(connection, MHD_HTTP_HEADER_TRANSFER_ENCODING) != nullptr ||
         (length != nullptr && std::strtoull(length, nullptr, 10) > 0);
}

std::string sse_frame(const Event &event) {
  return "id: " + std::to_string(event.seq) + "\nevent: " + event.type + "\ndata: " + event.data + "\n\n";
}

}  // namespace

// One event stream: what is still to be sent, where in the model's events it stands, and when it
// ends. Its response owns it.
struct HttpServer::Stream {
  HttpServer &server;
  MHD_Connection *connection;
  std::uint64_t cursor = 0;
  std::string pending;
  std::size_t sent = 0;
  std::chrono::steady_clock::time_point ends, next_keep_alive;

  static ssize_t read(void *cls, std::uint64_t, char *buffer, std::size_t max) {
    auto &stream = *static_cast<Stream *>(cls);
    for (;;) {
      if (stream.sent < stream.pending.size()) {
        const std::size_t count = std::min(max, stream.pending.size() - stream.sent);
        std::memcpy(buffer, stream.pending.data() + stream.sent, count);
        stream.sent += count;
        return static_cast<ssize_t>(count);
      }
      stream.pending.clear();
      stream.sent = 0;
      const auto now = std::chrono::steady_clock::now();
      if (stream.server.model_.stopped() || now >= stream.ends) return MHD_CONTENT_READER_END_OF_STREAM;
      for (const Event &event : stream.server.model_.wait_events(stream.cursor, std::chrono::milliseconds(0)))
        stream.pending += sse_frame(event);
      // A comment when nothing happened for a while: a client that went away is found by the write.
      if (stream.pending.empty() && now >= stream.next_keep_alive) stream.pending = ": keep-alive\n\n";
      if (!stream.pending.empty()) {
        stream.next_keep_alive = now + kKeepAlive;
        continue;
      }
      if (!stream.server.park(stream)) return MHD_CONTENT_READER_END_OF_STREAM;
      return 0;
    }
  }
  static void release(void *cls) {
    auto *stream = static_cast<Stream *>(cls);
    {
      std::lock_guard lock(stream->server.parked_mutex_);
      stream->server.parked_.erase(stream->connection);
    }
    stream->server.streams_.fetch_sub(1);
    delete stream;
  }
};

HttpServer::HttpServer(const WebConfig &config, const GatewayModel &model, const StaticFiles &files)
    : config_(config), model_(model), files_(files) {}

HttpServer::~HttpServer() {
  if (daemon_ == nullptr) return;
  // No stream may stay suspended when the server stops: each is resumed and ends.
  {
    std::lock_guard lock(parked_mutex_);
    stopping_ = true;
  }
  waker_.join();
  wake_streams();
  MHD_stop_daemon(daemon_);
}

bool HttpServer::start(std::string &problem) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(config_.port));
  if (inet_pton(AF_INET, config_.host.c_str(), &address.sin_addr) != 1) {
    problem = "cannot listen on " + config_.host;
    return false;
  }
  const MHD_AccessHandlerCallback handler = [](void *self, MHD_Connection *connection, const char *url,
                                               const char *method, const char *, const char *, std::size_t *,
                                               void **) -> MHD_Result {
    return static_cast<MHD_Result>(static_cast<HttpServer *>(self)->dispatch(connection, url, method));
  };
  daemon_ = MHD_start_daemon(
      MHD_USE_AUTO_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME | MHD_USE_ERROR_LOG, 0, nullptr, nullptr, handler, this,
      MHD_OPTION_SOCK_ADDR, &address,
      MHD_OPTION_CONNECTION_LIMIT, static_cast<unsigned>(kMaxConnections),
      MHD_OPTION_CONNECTION_TIMEOUT, static_cast<unsigned>(kIdleTimeout.count()),
      // What a connection may hold: the request head and the answer's head.
      MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<std::size_t>(2 * kMaxRequestBytes),
      MHD_OPTION_LISTEN_BACKLOG_SIZE, 32u,
      MHD_OPTION_SIGPIPE_HANDLED_BY_APP, 1,
      MHD_OPTION_END);
  if (daemon_ == nullptr) {
    problem = "cannot listen on " + config_.host + ":" + std::to_string(config_.port);
    return false;
  }
  waker_ = std::thread([this] {
    std::uint64_t seen = model_.newest_event();
    for (;;) {
      {
        std::lock_guard lock(parked_mutex_);
        if (stopping_) return;
      }
      seen = model_.wait_newer(seen, std::chrono::seconds(1));
      wake_streams();
    }
  });
  return true;
}

bool HttpServer::park(Stream &stream) {
  std::lock_guard lock(parked_mutex_);
  // An event that came after the look for news is not missed: it is seen here, or it wakes the
  // stream once parked.
  if (stopping_) return false;
  if (model_.newest_event() > stream.cursor) return true;
  parked_.insert(stream.connection);
  MHD_suspend_connection(stream.connection);
  return true;
}

void HttpServer::wake_streams() {
  std::lock_guard lock(parked_mutex_);
  for (MHD_Connection *connection : parked_) MHD_resume_connection(connection);
  parked_.clear();
}

int HttpServer::dispatch(MHD_Connection *connection, const char *url, const char *method) {
  if (!config_.user.empty() && !basic_auth_matches(header(connection, MHD_HTTP_HEADER_AUTHORIZATION), config_.user,
                                                   config_.password))
    return send(connection, 401, "application/json", "{\"error\":\"authentication required\"}",
                {{MHD_HTTP_HEADER_WWW_AUTHENTICATE, "Basic realm=\"vorn_web\", charset=\"UTF-8\""}});
  if (std::strcmp(method, "GET") != 0 && std::strcmp(method, "HEAD") != 0)
    return send(connection, 405, "application/json", "{\"error\":\"only GET\"}", {{MHD_HTTP_HEADER_ALLOW, "GET, HEAD"}});
  if (head_bytes(connection, url) > kMaxRequestBytes)
    return send_error(connection, MHD_HTTP_REQUEST_HEADER_FIELDS_TOO_LARGE, "request head too large");
  if (has_body(connection)) return send_error(connection, 413, "no request body is taken");
  const std::string path = url;

  using Route = int (*)(HttpServer &, MHD_Connection *);
  static const std::map<std::string, Route> routes = {
      {"/api/status", [](HttpServer &s, MHD_Connection *c) { return send_shared(c, s.model_.status_text()); }},
      {"/api/sensors", [](HttpServer &s, MHD_Connection *c) { return send_shared(c, s.model_.sensors_text()); }},
      {"/api/history", [](HttpServer &s, MHD_Connection *c) { return s.history(c); }},
      {"/api/events", [](HttpServer &s, MHD_Connection *c) { return s.stream_events(c); }},
  };
  if (auto route = routes.find(path); route != routes.end()) return route->second(*this, connection);
  if (path.rfind("/api/", 0) == 0) return send_error(connection, 404, "no such API");
  if (const StaticFile *file = files_.find(path))
    return send(connection, 200, file->content_type.c_str(), file->content, {}, true);
  return send(connection, 404, "text/plain; charset=utf-8", "not found\n");
}

int HttpServer::history(MHD_Connection *connection) {
  const auto id_text = query_value(connection, "id");
  const auto id = id_text ? sensor_id_param(id_text->c_str()) : std::nullopt;
  if (!id) return send_error(connection, id_text ? 404 : 400, id_text ? "unknown sensor" : "id is missing");
  const auto channel_text = query_value(connection, "channel");
  const auto channel = channel_text ? channel_param(channel_text->c_str()) : std::nullopt;
  if (!channel) return send_error(connection, 400, "bad channel");
  const HttpAnswer answer = model_.history(*id, *channel);
  return send_json(connection, answer.code, answer.body);
}

int HttpServer::stream_events(MHD_Connection *connection) {
  if (streams_.fetch_add(1) >= kMaxStreams) {
    streams_.fetch_sub(1);
    return send_error(connection, 503, "too many event streams");
  }
  auto stream = std::make_unique<Stream>(Stream{*this, connection});
  // A reconnecting browser names the last event it got: only what it missed is sent again.
  const char *last = header(connection, "Last-Event-ID");
  const std::uint64_t resume = last != nullptr ? std::strtoull(last, nullptr, 10) : 0;
  std::vector<Event> backlog = model_.recent_events(stream->cursor);
  stream->pending = "retry: 2000\n\n";
  for (const Event &event : backlog)
    if (event.seq > resume) stream->pending += sse_frame(event);
  // "ready" ends the replay: what follows happens while the page looks.
  stream->pending += "event: ready\ndata: {\"seq\":" + std::to_string(stream->cursor) + "}\n\n";
  const auto now = std::chrono::steady_clock::now();
  stream->ends = now + kStreamLifetime;
  stream->next_keep_alive = now + kKeepAlive;
  MHD_Response *response =
      MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 4096, &Stream::read, stream.get(), &Stream::release);
  if (response == nullptr) {
    streams_.fetch_sub(1);
    return MHD_NO;
  }
  stream.release();  // the response owns it now
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, "text/event-stream");
  MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONNECTION, "close");
  // A stream waits suspended between events; its own time-out covers a client that stops reading.
  MHD_set_connection_option(connection, MHD_CONNECTION_OPTION_TIMEOUT,
                            static_cast<unsigned>(3 * kKeepAlive.count()));
  const MHD_Result queued = MHD_queue_response(connection, MHD_HTTP_OK, response);
  MHD_destroy_response(response);
  return queued;
}

}  // namespace web
