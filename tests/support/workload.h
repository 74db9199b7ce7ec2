#pragma once

// The workload program (tests/dotnet/Workload) as a child of the test, and
// commands run through the shell: what the tests that need a real runtime or
// the real command-line tool start.

#include "tests/support/command.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace test_support {

// How the workload is started on a runtime: `dotnet Workload.dll` on the
// machine's own, the executable of a self-contained build on another.
struct dotnet_runtime {
  std::string name;
  std::vector<std::string> command;
};
inline dotnet_runtime machine_runtime() { return {"10", {"dotnet", TW_Workload_DLL}}; }
#ifdef TW_Workload_net9_0_EXE
// Every runtime the profiler supports: the machine's, and .NET 9 and 8 as
// self-contained builds.
inline std::vector<dotnet_runtime> every_runtime() {
  return {machine_runtime(), {"9", {TW_Workload_net9_0_EXE}}, {"8", {TW_Workload_net8_0_EXE}}};
}
#endif

// The workload's COMMAND ARGS... with its output to /dev/null and `env`
// ("NAME=value") added to its environment; killed and reaped with the object.
class workload_program {
 public:
  explicit workload_program(std::vector<std::string> args, std::vector<std::string> env = {},
                            const dotnet_runtime& runtime = machine_runtime()) {
    args.insert(args.begin(), runtime.command.begin(), runtime.command.end());
    pid_ = spawn(std::move(args), {.env = std::move(env)});
  }
  ~workload_program() {
    if (exit_code_ != running) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  workload_program(const workload_program&) = delete;
  workload_program& operator=(const workload_program&) = delete;

  pid_t pid() const { return pid_; }
  void kill_now() const { ::kill(pid_, SIGKILL); }

  // Its runtime's diagnostic socket exists in `folder` (the temporary
  // directory by default) within a minute.
  bool wait_listening(std::filesystem::path folder = {}) const {
    if (folder.empty()) folder = std::filesystem::temp_directory_path();
    const std::string prefix = "dotnet-diagnostic-" + std::to_string(pid_) + "-";
    for (int attempt = 0; attempt < 1200; ++attempt) {
      std::error_code ec;
      for (const auto& e : std::filesystem::directory_iterator(folder, ec))
        if (e.path().filename().string().rfind(prefix, 0) == 0) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

  // The exit code, or -1 when it has not ended within `timeout`.
  int wait_exit(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (exit_code_ == running) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_)
        exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      else if (std::chrono::steady_clock::now() >= deadline)
        return -1;
      else
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return exit_code_;
  }

 private:
  static constexpr int running = -1;
  pid_t pid_ = -1;
  int exit_code_ = running;
};

}  // namespace test_support
