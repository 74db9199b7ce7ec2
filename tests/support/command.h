#pragma once

// Commands through the shell, and children started without one.

#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace test_support {

struct command_result {
  int exit_code;
  std::string out;  // its output and error output together
};

// `word` as one word of a shell command line, whatever it holds: a clone's
// path may have spaces in it.
inline std::string quoted(const std::string& word) {
  std::string out = "'";
  for (const char c : word) {
    if (c == '\'') out += "'\\''";
    else out += c;
  }
  out += '\'';
  return out;
}

inline command_result run_command(const std::string& command_line) {
  FILE* pipe = ::popen((command_line + " 2>&1").c_str(), "r");
  std::string out;
  char buffer[4096];
  while (std::fgets(buffer, sizeof buffer, pipe)) out += buffer;
  const int status = ::pclose(pipe);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

struct spawn_options {
  std::vector<std::string> env = {};  // "NAME=value", added to the environment
  int in = -1;                   // standard input; -1 keeps this process's
  int out = -1;                  // standard output; -1 sends it to /dev/null
  const char* cwd = nullptr;
  const char* program = nullptr;  // what to run when ARGS[0] only names it
};

// Starts ARGS (its program looked up on PATH) as a child; returns its pid.
inline pid_t spawn(std::vector<std::string> args, spawn_options options = {}) {
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  if (options.in >= 0) ::dup2(options.in, 0);
  if (options.out >= 0) ::dup2(options.out, 1);
  if (options.out < 0) std::freopen("/dev/null", "w", stdout);
  if (options.cwd && ::chdir(options.cwd) != 0) _exit(127);
  for (auto& e : options.env) ::putenv(e.data());
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  ::execvp(options.program ? options.program : argv[0], argv.data());
  _exit(127);
}

}  // namespace test_support
