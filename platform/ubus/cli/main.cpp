// ubus: command-line client of the bus.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <getopt.h>

#include "commands.h"

namespace {

// Prints the usage text; 1 is the exit status of a mistake in the options, as with the router's
// tool.
int usage(const char *prog) {
  fprintf(stderr,
          "Usage: %s [<options>] <command> [arguments...]\n"
          "Options:\n"
          " -s <socket>:\t\tSet the unix domain socket to connect to\n"
          " -t <timeout>:\t\tSet the timeout (in seconds) for a command to complete\n"
          " -S:\t\t\tUse simplified output (for scripts)\n"
          " -v:\t\t\tMore verbose output\n"
          "\n"
          "Commands:\n"
          " - list [<path>]\t\t\tList objects\n"
          " - call <path> <method> [<message>]\tCall an object method\n"
          " - listen [<path>...]\t\t\tListen for events\n"
          " - send <type> [<message>]\t\tSend an event\n"
          " - wait_for <object> [<object>...]\tWait for multiple objects to appear on ubus\n"
          "\n",
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

// Exit statuses as the router's tool gives them: 0; a bus status (4 for an object not found, 7
// for a wait that timed out); 256 minus the status of a failed call (253 for a method not found,
// 249 for a timeout); 254 for an unknown command or wrong arguments; 255 without a bus; 1 for a
// mistake in the options.
int main(int argc, char **argv) {
  CliOptions opt;
  int c;
  while ((c = getopt(argc, argv, "+s:t:Sv")) != -1) {
    switch (c) {
      case 's':
        opt.socket = optarg;
        break;
      case 't':
        if (!parse_seconds(optarg, opt.timeout_s)) return usage(argv[0]);
        opt.timeout_given = true;
        break;
      case 'S':
        opt.simple = true;
        break;
      case 'v':
        opt.verbose = true;
        break;
      default:
        return usage(argv[0]);
    }
  }
  if (optind >= argc) return usage(argv[0]);

  // Connected before the command is looked at, so without a bus every command fails alike.
  ubus_context *ctx = ubus_connect(opt.socket);
  if (!ctx) {
    if (!opt.simple) fprintf(stderr, "Failed to connect to ubus\n");
    return 255;
  }
  int rc = kUsageError;
  for (const Command &command : kCommands)
    if (strcmp(command.name, argv[optind]) == 0)
      rc = command.run(ctx, opt, argc - optind - 1, argv + optind + 1);
  if (rc > 0 && !opt.simple)
    fprintf(stderr, "Command failed: %s\n", ubus_strerror(rc));
  else if (rc == kUsageError)
    usage(argv[0]);
  ubus_free(ctx);
  uloop_done();
  return rc & 0xff;
}
