#pragma once

#include <cstdio>
#include <string>
#include <sys/wait.h>

namespace test_support {

struct command_result {
  int exit_code;
  std::string out;  // its output and error output together
};

inline command_result run_command(const std::string& command_line) {
  FILE* pipe = ::popen((command_line + " 2>&1").c_str(), "r");
  std::string out;
  char buffer[4096];
  while (std::fgets(buffer, sizeof buffer, pipe)) out += buffer;
  const int status = ::pclose(pipe);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

}  // namespace test_support
