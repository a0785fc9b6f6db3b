// /usr/bin/uci: reads and changes the router's configuration packages under /etc/config.
#include <unistd.h>

#include "commands.h"
#include "file_io.h"

int main(int argc, char** argv) {
  uci::Paths paths;
  uci::Output output;
  int status = uci::run(argc, argv, paths, output);
  uci::write_all(STDOUT_FILENO, output.out);
  uci::write_all(STDERR_FILENO, output.err);
  return status;
}
