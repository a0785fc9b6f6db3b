#include "program_start.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

namespace sim {

pid_t start_program(const std::vector<std::string> &argv, const char *output) {
  std::vector<char *> args;
  for (const std::string &arg : argv) args.push_back(const_cast<char *>(arg.c_str()));
  args.push_back(nullptr);
  std::fflush(stdout);
  const pid_t pid = fork();
  if (pid == 0) {
    const int out = open(output, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    dup2(out, STDOUT_FILENO);
    dup2(out, STDERR_FILENO);
    execvp(args[0], args.data());
    _exit(127);
  }
  return pid;
}

}  // namespace sim
