#pragma once

// What /proc tells of a live target while a snapshot runs: the names of its
// threads and where its module images are mapped. The event processor meets
// a thread when its first event is handled, and resolves call stacks when
// the snapshot ends; for a consumer that lags behind a busy runtime, or a
// target that has exited, both can come after /proc has forgotten: the
// watcher remembers the last name each thread had and the last mappings.
//
// Threads: the watcher's own polling thread writes the tables; the event
// processor reads them under the tables' mutex.

#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <sys/types.h>
#include <thread>
#include <unordered_map>
#include <vector>
#include <cstdint>

namespace tw_prof::netcore {

// A file mapped into the target: the address of its first byte (its image
// base) and the end of its last mapping.
struct image_mapping {
  std::string path;
  std::uint64_t base = 0;
  std::uint64_t end = 0;
};

// The module images in /proc/PID/maps; empty when the process is gone.
std::vector<image_mapping> read_image_mappings(pid_t pid);

class process_watcher {
 public:
  explicit process_watcher(pid_t pid);
  ~process_watcher();
  process_watcher(const process_watcher&) = delete;
  process_watcher& operator=(const process_watcher&) = delete;

  // The name the thread has now, or the last one seen while it lived.
  std::optional<std::string> name(pid_t tid) const;
  // The target's module images (".dll" files), as last seen.
  std::vector<image_mapping> images() const;

 private:
  void poll_once();
  void read_images();

  pid_t pid_;
  mutable std::mutex mutex_;
  std::unordered_map<pid_t, std::string> names_;
  std::vector<image_mapping> images_;
  unsigned polls_ = 0;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::thread thread_;
};

// The content of /proc/PID/task/TID/comm without its line end; throws when
// the thread (or the process) is gone.
std::string read_thread_name(pid_t pid, pid_t tid);

}  // namespace tw_prof::netcore
