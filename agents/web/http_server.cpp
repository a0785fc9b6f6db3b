#include "http_server.h"

#include <microhttpd.h>
#include <netinet/in.h>
#include <arpa/inet.h>

#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <memory>
#include <optional>

#include "api_params.h"
#include "common/json_doc.h"

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

std::string json_string(const std::string &text) {
  const agents::Json value(json_object_new_string(text.c_str()));
  return agents::json_text(value.get());
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

// The client's address as text, for counting its failed logins.
std::string client_address(MHD_Connection *connection) {
  const MHD_ConnectionInfo *info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
  char text[INET6_ADDRSTRLEN] = "?";
  if (info == nullptr || info->client_addr == nullptr) return text;
  if (info->client_addr->sa_family == AF_INET)
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in *>(info->client_addr)->sin_addr, text, sizeof text);
  else if (info->client_addr->sa_family == AF_INET6)
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6 *>(info->client_addr)->sin6_addr, text, sizeof text);
  return text;
}

bool read_pem(const std::string &path, std::string &text, std::string &problem) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream content;
  content << file.rdbuf();
  text = content.str();
  if (!file || text.empty() || text.size() > 65536) {
    problem = "cannot read " + path;
    return false;
  }
  return true;
}

// A request's state between the calls that bring it: a command's body.
struct Upload {
  std::string body;
  bool too_large = false;
};

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
      // A replay or a burst leaves a large buffer behind: streams keep only a small one while idle.
      if (stream.pending.capacity() > 2048) std::string().swap(stream.pending);
      else stream.pending.clear();
      stream.sent = 0;
      const auto now = std::chrono::steady_clock::now();
      if (stream.server.model_.stopped() || now >= stream.ends) return MHD_CONTENT_READER_END_OF_STREAM;
      const std::uint64_t before = stream.cursor;
      const std::vector<Event> events = stream.server.model_.wait_events(stream.cursor, std::chrono::milliseconds(0));
      // Events lost to a stream that fell behind: it ends rather than show less than happened.
      if (!events.empty() && events.front().seq > before + 1) return MHD_CONTENT_READER_END_OF_STREAM;
      for (const Event &event : events) stream.pending += sse_frame(event);
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

HttpServer::HttpServer(const WebConfig &config, GatewayModel &model, const StaticFiles &files)
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
                                               const char *method, const char *, const char *upload,
                                               std::size_t *upload_size, void **request_state) -> MHD_Result {
    return static_cast<MHD_Result>(
        static_cast<HttpServer *>(self)->dispatch(connection, url, method, upload, upload_size, request_state));
  };
  const MHD_RequestCompletedCallback completed = [](void *, MHD_Connection *, void **request_state,
                                                    MHD_RequestTerminationCode) {
    delete static_cast<Upload *>(*request_state);
    *request_state = nullptr;
  };
  unsigned flags = MHD_USE_AUTO_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME | MHD_USE_ERROR_LOG;
  if (!config_.cert.empty()) {
    if (MHD_is_feature_supported(MHD_FEATURE_TLS) != MHD_YES) {
      problem = "this build of libmicrohttpd cannot serve TLS";
      return false;
    }
    if (!read_pem(config_.cert, tls_cert_, problem) || !read_pem(config_.key, tls_key_, problem)) return false;
    flags |= MHD_USE_TLS;
  }
  const MHD_OptionItem tls_options[] = {
      {tls_cert_.empty() ? MHD_OPTION_END : MHD_OPTION_HTTPS_MEM_CERT, 0, const_cast<char *>(tls_cert_.c_str())},
      {MHD_OPTION_HTTPS_MEM_KEY, 0, const_cast<char *>(tls_key_.c_str())},
      {MHD_OPTION_END, 0, nullptr}};
  daemon_ = MHD_start_daemon(
      flags, 0, nullptr, nullptr, handler, this,
      MHD_OPTION_NOTIFY_COMPLETED, completed, nullptr,
      MHD_OPTION_ARRAY, tls_options,
      MHD_OPTION_SOCK_ADDR, &address,
      MHD_OPTION_CONNECTION_LIMIT, static_cast<unsigned>(kMaxConnections),
      MHD_OPTION_CONNECTION_TIMEOUT, static_cast<unsigned>(kIdleTimeout.count()),
      // What a connection may hold: the request head and the answer's head.
      MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<std::size_t>(kMaxRequestBytes + 4096),
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

bool HttpServer::authorized(MHD_Connection *connection, int &refusal) {
  if (config_.user.empty()) return true;
  const std::string client = client_address(connection);
  const auto now = LoginThrottle::Clock::now();
  if (const auto wait = throttle_.wait(client, now); wait.count() > 0) {
    refusal = send(connection, 429, "application/json", "{\"error\":\"too many failed logins: wait\"}",
                   {{MHD_HTTP_HEADER_RETRY_AFTER, std::to_string(wait.count())}});
    return false;
  }
  const char *given = header(connection, MHD_HTTP_HEADER_AUTHORIZATION);
  if (basic_auth_matches(given, config_.user, config_.password)) {
    throttle_.succeeded(client);
    return true;
  }
  // A browser asks first without credentials: only a wrong try counts.
  if (given != nullptr) throttle_.failed(client, now);
  refusal = send(connection, 401, "application/json", "{\"error\":\"authentication required\"}",
                 {{MHD_HTTP_HEADER_WWW_AUTHENTICATE, "Basic realm=\"vorn_web\", charset=\"UTF-8\""}});
  return false;
}

int HttpServer::dispatch(MHD_Connection *connection, const char *url, const char *method, const char *upload,
                         std::size_t *upload_size, void **request_state) {
  const bool command_post = std::strcmp(method, "POST") == 0 && std::strcmp(url, "/api/command") == 0;
  if (*request_state == nullptr) {
    // Only the head so far. An answer queued now closes the connection after it: only a body that
    // is not taken is refused at once; everything else is answered once the request is whole, so
    // the connection stays open for the next one.
    if (has_body(connection) && !command_post) return answer(connection, url, method, "");
    const char *length = header(connection, MHD_HTTP_HEADER_CONTENT_LENGTH);
    if (length != nullptr && std::strtoull(length, nullptr, 10) > kMaxCommandBytes)
      return send_error(connection, 413, "a command takes at most 1024 bytes");
    *request_state = new Upload;
    return MHD_YES;
  }
  auto &request = *static_cast<Upload *>(*request_state);
  if (*upload_size != 0) {
    // A body sent in chunks beyond the bound is read and dropped, and refused once it ended.
    if (request.body.size() + *upload_size > kMaxCommandBytes) request.too_large = true;
    else request.body.append(upload, *upload_size);
    *upload_size = 0;
    return MHD_YES;
  }
  if (request.too_large) return send_error(connection, 413, "a command takes at most 1024 bytes");
  return answer(connection, url, method, request.body);
}

int HttpServer::answer(MHD_Connection *connection, const std::string &path, const char *method, const std::string &body) {
  const bool post = std::strcmp(method, "POST") == 0;
  if (!host_allowed(header(connection, MHD_HTTP_HEADER_HOST), config_))
    return send_error(connection, 421, "unknown host name: add it to the page's names");
  if (int refusal = MHD_NO; !authorized(connection, refusal)) return refusal;
  if (head_bytes(connection, path.c_str()) > kMaxRequestBytes)
    return send_error(connection, MHD_HTTP_REQUEST_HEADER_FIELDS_TOO_LARGE, "request head too large");
  if (post && path == "/api/command") {
    const char *type = header(connection, MHD_HTTP_HEADER_CONTENT_TYPE);
    // Only a script of the page itself sends JSON with the page's own origin.
    const char *origin = header(connection, "Origin");
    const char *host = header(connection, MHD_HTTP_HEADER_HOST);
    if (type == nullptr || std::strncmp(type, "application/json", 16) != 0)
      return send_error(connection, 415, "a command is sent as application/json");
    if (origin != nullptr && host != nullptr) {
      const char *after = std::strstr(origin, "://");
      if (after == nullptr || std::strcmp(after + 3, host) != 0) return send_error(connection, 403, "a command from another site");
    }
    if (config_.user.empty() && (!is_loopback(config_.host) || header(connection, "X-Forwarded-For") != nullptr))
      return send_error(connection, 403, "commands need a login (user and password in the page's settings)");
    return command(connection, body);
  }
  if (std::strcmp(method, "GET") != 0 && std::strcmp(method, "HEAD") != 0)
    return send(connection, 405, "application/json", "{\"error\":\"only GET, and POST for commands\"}",
                {{MHD_HTTP_HEADER_ALLOW, "GET, HEAD"}});
  if (has_body(connection)) return send_error(connection, 413, "no request body is taken");

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

int HttpServer::command(MHD_Connection *connection, const std::string &body) {
  std::string reason;
  const auto parsed = parse_page_command(body, reason);
  if (!parsed) return send_json(connection, 400, "{\"error\":" + json_string(reason) + "}");
  if (!parsed->id.empty() && !model_.knows_sensor(parsed->id)) return send_error(connection, 404, "unknown sensor");
  const std::uint64_t number = model_.queue_command(*parsed);
  return send_json(connection, 202, "{\"command\":" + std::to_string(number) + ",\"state\":\"queued\"}");
}

int HttpServer::stream_events(MHD_Connection *connection) {
  if (streams_.fetch_add(1) >= config_.max_streams) {
    streams_.fetch_sub(1);
    return send(connection, 503, "application/json", "{\"error\":\"too many event streams\"}",
                {{MHD_HTTP_HEADER_RETRY_AFTER, std::to_string(GatewayModel::kRetryMs / 1000)}});
  }
  auto stream = std::make_unique<Stream>(Stream{*this, connection});
  // A reconnecting browser names the last event it got: only what it missed is sent again.
  const char *last = header(connection, "Last-Event-ID");
  const std::uint64_t resume = last != nullptr ? std::strtoull(last, nullptr, 10) : 0;
  std::vector<Event> backlog = model_.recent_events(stream->cursor);
  stream->pending = "retry: " + std::to_string(GatewayModel::kRetryMs) + "\n\n";
  for (const Event &event : backlog)
    if (event.seq > resume) stream->pending += sse_frame(event);
  // "ready" ends the replay: what follows happens while the page looks.
  stream->pending += "event: ready\ndata: {\"seq\":" + std::to_string(stream->cursor) + "}\n\n";
  const auto now = std::chrono::steady_clock::now();
  stream->ends = now + kStreamLifetime;
  stream->next_keep_alive = now + kKeepAlive;
  MHD_Response *response =
      MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 2048, &Stream::read, stream.get(), &Stream::release);
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
