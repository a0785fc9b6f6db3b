// Cost of one report cycle as the daemon makes it for every cloud report: uloop_init,
// ubus_connect, ubus_lookup_id, ubus_invoke_fd with a small message to an object that replies,
// the reply handler, ubus_free, uloop_done. Compared with a bare unix-socket connect + close.
//
// Needs ubusd on the default socket: run it inside the router sandbox.
//   bus_cycle_bench [CYCLES]
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <libubus.h>

// The router's header leaves the socket path to its build; it is the same on every router.
#ifndef UBUS_UNIX_SOCKET
#define UBUS_UNIX_SOCKET "/var/run/ubus/ubus.sock"
#endif

namespace {

using Clock = std::chrono::steady_clock;

const char *const kObject = "bench.agent";
const blobmsg_policy kRcPolicy[] = {{"rc", BLOBMSG_TYPE_STRING}};

int on_transmit(ubus_context *ctx, ubus_object *, ubus_request_data *req, const char *,
                blob_attr *) {
  blob_buf b{};
  blob_buf_init(&b, 0);
  blobmsg_add_string(&b, "rc",
                     R"({"SeqNo":7,"Timestamp":1700000000,"Result":1,"NewMsgArrived":0})");
  const int rc = ubus_send_reply(ctx, req, b.head);
  blob_buf_free(&b);
  return rc;
}

const ubus_method kMethods[] = {UBUS_METHOD_NOARG("transmit", on_transmit)};
ubus_object_type kType = UBUS_OBJECT_TYPE("bench", kMethods);

pid_t start_server() {
  int ready[2];
  if (pipe(ready) != 0) return -1;
  const pid_t pid = fork();
  if (pid == 0) {
    close(ready[0]);
    uloop_init();
    ubus_context *ctx = ubus_connect(nullptr);
    ubus_object obj{};
    obj.name = kObject;
    obj.type = &kType;
    obj.methods = kMethods;
    obj.n_methods = 1;
    if (!ctx || ubus_add_object(ctx, &obj) != UBUS_STATUS_OK) _exit(1);
    ubus_add_uloop(ctx);
    if (write(ready[1], "r", 1) != 1) _exit(1);
    uloop_run();
    _exit(0);
  }
  close(ready[1]);
  char byte;
  const bool ok = read(ready[0], &byte, 1) == 1;
  close(ready[0]);
  return ok ? pid : -1;
}

int g_replies = 0;

void on_reply(ubus_request *req, int, blob_attr *msg) {
  blob_attr *tb[1];
  blobmsg_parse(kRcPolicy, 1, tb, blob_data(msg), blob_len(msg));
  if (tb[0] && req->priv) ++g_replies;
}

bool report_cycle() {
  static blob_buf transmit_buf;
  static const char kSensor[] = "00124B0001A2B3C4";
  const char *text = R"({"ID":"00124B0001A2B3C4","GatewayID":"GW0001","Type":3,"Body":"[]"})";
  uloop_init();
  ubus_context *ctx = ubus_connect(nullptr);
  if (!ctx) {
    uloop_done();
    return false;
  }
  uint32_t id = 0;
  int rc = ubus_lookup_id(ctx, kObject, &id);
  if (rc == UBUS_STATUS_OK) {
    blob_buf_init(&transmit_buf, 0);
    blobmsg_add_field(&transmit_buf, BLOBMSG_TYPE_STRING, "id", "vorn_mgr", strlen("vorn_mgr") + 1);
    blobmsg_add_field(&transmit_buf, BLOBMSG_TYPE_STRING, "msg", text,
                      static_cast<unsigned>(strlen(text)) + 1);
    rc = ubus_invoke_fd(ctx, id, "transmit", transmit_buf.head, on_reply,
                        const_cast<char *>(kSensor), 3000, -1);
    blob_buf_free(&transmit_buf);
  }
  ubus_free(ctx);
  uloop_done();
  return rc == UBUS_STATUS_OK;
}

bool bare_connect_close() {
  sockaddr_un sa{};
  sa.sun_family = AF_UNIX;
  strcpy(sa.sun_path, UBUS_UNIX_SOCKET);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const bool ok = connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof(sa)) == 0;
  close(fd);
  return ok;
}

struct Stats {
  double median, p10, p90, p99, min, max;
};

template <typename F>
bool measure(int cycles, F step, Stats &out) {
  std::vector<double> us;
  us.reserve(static_cast<size_t>(cycles));
  for (int i = 0; i < cycles; ++i) {
    const auto t0 = Clock::now();
    if (!step()) return false;
    us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
  std::sort(us.begin(), us.end());
  auto at = [&](double q) {
    return us[static_cast<size_t>(q * static_cast<double>(us.size() - 1))];
  };
  out = {at(0.5), at(0.1), at(0.9), at(0.99), us.front(), us.back()};
  return true;
}

void print(const char *what, const Stats &s) {
  printf("%-28s median %8.1f us   p10 %8.1f   p90 %8.1f   p99 %8.1f   min %8.1f   max %8.1f\n",
         what, s.median, s.p10, s.p90, s.p99, s.min, s.max);
}

}  // namespace

int main(int argc, char **argv) {
  const int cycles = argc > 1 ? atoi(argv[1]) : 2000;
  if (cycles < 10 || cycles > 1000000) {
    fprintf(stderr, "usage: %s [CYCLES (10..1000000)]\n", argv[0]);
    return 2;
  }
  const pid_t server = start_server();
  if (server < 0) {
    fprintf(stderr, "cannot start the bench object (is ubusd running?)\n");
    return 1;
  }
  Stats cycle{}, bare{};
  bool ok = measure(cycles / 10, report_cycle, cycle);  // warm-up
  ok = ok && measure(cycles, report_cycle, cycle) && measure(cycles, bare_connect_close, bare);
  kill(server, SIGKILL);
  waitpid(server, nullptr, 0);
  if (!ok || g_replies < cycles) {
    fprintf(stderr, "a cycle failed (%d replies)\n", g_replies);
    return 1;
  }
  printf("%d cycles each\n", cycles);
  print("report cycle", cycle);
  print("bare connect+close", bare);
  printf("report cycle / bare connect+close (medians): %.1fx\n", cycle.median / bare.median);
  return 0;
}
