// Ends a vorn_web started by a test and checks it ended well: exit status 0 on SIGTERM (a leak
// or a sanitizer finding changes it) and nothing of the sanitizers in its output.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>

#include "gateway_run.h"

namespace web::test {

inline void stop_web(pid_t &pid, const char *output) {
  if (pid <= 0) return;
  const int status = sim::test::stop_program(pid);
  const std::string text = sim::test::file_text(output);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "vorn_web ended with status " << status << ":\n" << text;
  for (const char *trouble : {"Sanitizer", "runtime error:"}) EXPECT_EQ(text.find(trouble), std::string::npos) << text;
}

}  // namespace web::test
