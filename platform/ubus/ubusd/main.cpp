// ubusd: the bus daemon. Listens on a unix socket (default /var/run/ubus/ubus.sock) and routes
// calls, replies and events between its clients until SIGTERM, SIGINT or SIGHUP.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include <getopt.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "broker.h"

namespace {

void on_stop_signal(int) { uloop_end(); }

void install_signals() {
  signal(SIGPIPE, SIG_IGN);
  struct sigaction sa {};
  sa.sa_handler = on_stop_signal;
  sigemptyset(&sa.sa_mask);
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) sigaction(sig, &sa, nullptr);
}

// Leaves room for the daemon's own descriptors below the process limit.
size_t client_limit() {
  rlimit rl{};
  if (getrlimit(RLIMIT_NOFILE, &rl) != 0 || rl.rlim_cur == RLIM_INFINITY) return 4096;
  const rlim_t usable = rl.rlim_cur > 64 ? rl.rlim_cur - 32 : 16;
  return usable > 4096 ? 4096 : static_cast<size_t>(usable);
}

// Creates the socket's folder when it is missing (one level, as on a fresh /var/run).
void make_parent_dir(const std::string &path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos || slash == 0) return;
  const std::string dir = path.substr(0, slash);
  if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST)
    fprintf(stderr, "ubusd: cannot create %s: %s\n", dir.c_str(), strerror(errno));
}

bool socket_in_use(const sockaddr_un &sa) {
  ubus_wire::UniqueFd probe(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  return probe && connect(probe.get(), reinterpret_cast<const sockaddr *>(&sa), sizeof(sa)) == 0;
}

ubus_wire::UniqueFd open_listener(const std::string &path) {
  sockaddr_un sa{};
  sa.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof(sa.sun_path)) {
    fprintf(stderr, "ubusd: socket path too long: %s\n", path.c_str());
    return {};
  }
  memcpy(sa.sun_path, path.c_str(), path.size() + 1);
  make_parent_dir(path);
  if (socket_in_use(sa)) {
    fprintf(stderr, "ubusd: another bus daemon serves %s\n", path.c_str());
    return {};
  }
  unlink(path.c_str());  // left behind by a daemon that did not stop cleanly

  ubus_wire::UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd || bind(fd.get(), reinterpret_cast<const sockaddr *>(&sa), sizeof(sa)) != 0 ||
      listen(fd.get(), SOMAXCONN) != 0) {
    fprintf(stderr, "ubusd: cannot listen on %s: %s\n", path.c_str(), strerror(errno));
    return {};
  }
  return fd;
}

void usage(const char *prog) { fprintf(stderr, "Usage: %s [-s <socket>]\n", prog); }

}  // namespace

int main(int argc, char **argv) {
  std::string path = UBUS_UNIX_SOCKET;
  int opt;
  while ((opt = getopt(argc, argv, "s:h")) != -1) {
    switch (opt) {
      case 's':
        path = optarg;
        break;
      default:
        usage(argv[0]);
        return opt == 'h' ? 0 : 1;
    }
  }
  if (optind < argc) {
    usage(argv[0]);
    return 1;
  }

  install_signals();
  if (uloop_init() != 0) {
    fprintf(stderr, "ubusd: cannot create the event loop: %s\n", strerror(errno));
    return 1;
  }
  ubus_wire::UniqueFd listener = open_listener(path);
  if (!listener) {
    uloop_done();
    return 1;
  }
  int rc = 0;
  {
    Broker broker(std::move(listener), client_limit());
    if (broker.start())
      uloop_run();
    else
      rc = 1;
  }
  unlink(path.c_str());
  uloop_done();
  return rc;
}
