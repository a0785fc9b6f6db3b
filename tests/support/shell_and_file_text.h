// What a shell command prints and what a file holds, as text: the two reads nearly every test
// makes of the sandboxed router.
#pragma once

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace vorn::test {

// Runs a shell command and returns its standard output ("" when it could not start).
inline std::string shell(const std::string &command) {
  std::string out;
  FILE *pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) out += buffer;
  pclose(pipe);
  return out;
}

// The whole file ("" when it cannot be read).
inline std::string file_text(const char *path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace vorn::test
