#pragma once

// The workload in a container of its own: its own pid and mount namespaces
// (unshare, with a /proc of its own), and a private /tmp, a tmpfs, that holds
// the program's files: they exist nowhere else. Seen from here it is a
// process like any other, whose diagnostic socket lies under its root and
// carries its pid in its namespace (1). Making namespaces needs root; a test
// skips where it cannot.

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace test_support {

class container_program {
 public:
  explicit container_program(const std::vector<std::string>& workload_args) {
    const auto app = std::filesystem::path(TW_Workload_DLL).parent_path();
    // The tmpfs is filled on /mnt and only then moved over /tmp: a build
    // under /tmp would be hidden by it before the copy.
    std::string script = "mount -t tmpfs tmpfs /mnt && mkdir /mnt/app && cp -r '" + app.string() +
                         "/.' /mnt/app/ && mount --move /mnt /tmp && unset TMPDIR && exec dotnet /tmp/app/Workload.dll";
    for (const auto& a : workload_args) script.append(" ").append(a);
    unshare_ = ::fork();
    if (unshare_ == 0) {
      ::execlp("unshare", "unshare", "--pid", "--fork", "--mount", "--mount-proc", "sh", "-c", script.c_str(), nullptr);
      _exit(127);
    }
    // Its one child is the program, pid 1 in its namespace, once it listens.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline && !listening()) {
      if (pid_ == 0) {
        std::ifstream children("/proc/" + std::to_string(unshare_) + "/task/" + std::to_string(unshare_) + "/children");
        children >> pid_;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  ~container_program() {
    // The namespace's first process takes its others with it.
    if (pid_ > 0) ::kill(pid_, SIGKILL);
    ::kill(unshare_, SIGKILL);
    ::waitpid(unshare_, nullptr, 0);
  }
  container_program(const container_program&) = delete;
  container_program& operator=(const container_program&) = delete;

  // The program's pid as seen here; 0 when it did not start.
  pid_t pid() const { return pid_; }
  // Its runtime's socket exists, under its root.
  bool listening() const {
    if (pid_ <= 0) return false;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator("/proc/" + std::to_string(pid_) + "/root/tmp", ec))
      if (e.path().filename().string().rfind("dotnet-diagnostic-1-", 0) == 0) return true;
    return false;
  }

 private:
  pid_t unshare_ = -1;
  pid_t pid_ = 0;
};

}  // namespace test_support
