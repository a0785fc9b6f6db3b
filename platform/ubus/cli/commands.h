// Commands of the ubus tool. Each returns the process exit status: 0, or the bus status of the
// failure (after printing "Command failed: ..." on standard error).
#pragma once

#include <libubus.h>

struct CliOptions {
  const char *socket = nullptr;
  int timeout_s = 30;
  bool timeout_given = false;
};

int cmd_list(ubus_context *ctx, const CliOptions &opt, int argc, char **argv);
int cmd_call(ubus_context *ctx, const CliOptions &opt, int argc, char **argv);
int cmd_send(ubus_context *ctx, const CliOptions &opt, int argc, char **argv);
int cmd_listen(ubus_context *ctx, const CliOptions &opt, int argc, char **argv);
int cmd_wait_for(ubus_context *ctx, const CliOptions &opt, int argc, char **argv);
