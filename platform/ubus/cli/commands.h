// Commands of the ubus tool, with the router's tool's results: 0; a bus status, which the caller
// reports as "Command failed: <status text>" and exits with; kUsageError, for which it prints the
// usage text and exits with 254; or the negative exit status of a failure already reported (the
// exit status is then 256 minus it, e.g. 253 for a call of a method that does not exist).
#pragma once

#include <libubus.h>

inline constexpr int kUsageError = -2;

struct CliOptions {
  const char *socket = nullptr;
  int timeout_s = 30;
  bool timeout_given = false;
  bool simple = false;   // -S: no messages, a failed call gives its status as it is
  bool verbose = false;  // -v: list with signatures
};

int cmd_list(ubus_context *ctx, const CliOptions &opt, int argc, char **argv);
int cmd_call(ubus_context *ctx, const CliOptions &opt, int argc, char **argv);
int cmd_send(ubus_context *ctx, const CliOptions &opt, int argc, char **argv);
int cmd_listen(ubus_context *ctx, const CliOptions &opt, int argc, char **argv);
int cmd_wait_for(ubus_context *ctx, const CliOptions &opt, int argc, char **argv);
