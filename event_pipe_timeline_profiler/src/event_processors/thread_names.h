#pragma once

// The names of a live target's threads, read from /proc while a snapshot
// runs. The event processor meets a thread when its first event is handled,
// which for a consumer that lags behind a busy runtime can be after the
// thread has ended and its name is gone from /proc: the watcher remembers the
// last name each thread had.
//
// Threads: the watcher's own polling thread writes the table; the event
// processor reads it under the table's mutex.

#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <sys/types.h>
#include <thread>
#include <unordered_map>

namespace tw_prof::netcore {

class thread_name_watcher {
 public:
  explicit thread_name_watcher(pid_t pid);
  ~thread_name_watcher();
  thread_name_watcher(const thread_name_watcher&) = delete;
  thread_name_watcher& operator=(const thread_name_watcher&) = delete;

  // The name the thread has now, or the last one seen while it lived.
  std::optional<std::string> name(pid_t tid) const;

 private:
  void poll_once();

  pid_t pid_;
  mutable std::mutex mutex_;
  std::unordered_map<pid_t, std::string> names_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::thread thread_;
};

// The content of /proc/PID/task/TID/comm without its line end; throws when
// the thread (or the process) is gone.
std::string read_thread_name(pid_t pid, pid_t tid);

}  // namespace tw_prof::netcore
