// ubus: command-line client of the bus.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <getopt.h>

#include "commands.h"

namespace {

int usage(const char *prog) {
  fprintf(stderr,
          "Usage: %s [<options>] <command> [arguments...]\n"
          "Options:\n"
          " -s <socket>:\t\tSet the unix domain socket to connect to\n"
          " -t <timeout>:\t\tSet the timeout (in seconds) for a command to complete\n"
          "\n"
          "Commands:\n"
          " - list [-v] [<path>]\t\t\tList objects\n"
          " - call <path> <method> [<message>]\tCall an object method\n"
          " - send <type> [<message>]\t\tSend an event\n"
          " - listen [<type>...]\t\t\tListen for events\n"
          " - wait_for <object> [<object>...]\tWait for objects to appear on the bus\n",
          prog);
  return 1;
}

struct Command {
  const char *name;
  int (*run)(ubus_context *, const CliOptions &, int, char **);
};

const Command kCommands[] = {
    {"list", cmd_list},     {"call", cmd_call},         {"send", cmd_send},
    {"listen", cmd_listen}, {"wait_for", cmd_wait_for},
};

bool parse_seconds(const char *text, int &out) {
  char *end = nullptr;
  errno = 0;
  const long v = strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v < 0 || v > 24 * 3600) return false;
  out = static_cast<int>(v);
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  CliOptions opt;
  int c;
  while ((c = getopt(argc, argv, "+s:t:h")) != -1) {
    switch (c) {
      case 's':
        opt.socket = optarg;
        break;
      case 't':
        if (!parse_seconds(optarg, opt.timeout_s)) return usage(argv[0]);
        opt.timeout_given = true;
        break;
      default:
        return usage(argv[0]);
    }
  }
  if (optind >= argc) return usage(argv[0]);

  const Command *cmd = nullptr;
  for (const Command &candidate : kCommands)
    if (strcmp(candidate.name, argv[optind]) == 0) cmd = &candidate;
  if (!cmd) return usage(argv[0]);

  ubus_context *ctx = ubus_connect(opt.socket);
  if (!ctx) {
    fprintf(stderr, "Failed to connect to ubus\n");
    return UBUS_STATUS_CONNECTION_FAILED;
  }
  const int rc = cmd->run(ctx, opt, argc - optind - 1, argv + optind + 1);
  ubus_free(ctx);
  uloop_done();
  return rc;
}
