#pragma once

// What /proc tells of a live target while a snapshot runs: the names of its
// threads, how much CPU time each thread has had, and where its module
// images are mapped. The event processor meets
// a thread when its first event is handled, and resolves call stacks when
// the snapshot ends; for a consumer that lags behind a busy runtime, or a
// target that has exited, both can come after /proc has forgotten: the
// watcher remembers the last name each thread had and the last mappings.
//
// Threads: the watcher's own polling thread writes the tables; the event
// processor reads them under the tables' mutex (mutex_). The threads' CPU
// clocks have one of their own (clock_mutex_), taken first where both are:
// a clock is opened under it, and the thread's id here looked up.

#include <condition_variable>
#include <deque>
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
// base) and the end of its last mapping. `path` is the target's name for it,
// `file` where this process opens it (through the target's root, for a
// target in a container).
struct image_mapping {
  std::string path;
  std::uint64_t base = 0;
  std::uint64_t end = 0;
  std::string file;
};

// The module images in /proc/PID/maps; empty when the process is gone.
// `root` is the target's root as seen here (empty: ours).
std::vector<image_mapping> read_image_mappings(pid_t pid, const std::string& root = {});

// A target in a container (its own pid and mount namespaces) is read through
// its root, and its events name its threads by the ids they have in its
// namespace.
class process_watcher {
 public:
  explicit process_watcher(pid_t pid);
  ~process_watcher();
  process_watcher(const process_watcher&) = delete;
  process_watcher& operator=(const process_watcher&) = delete;

  // The name the thread has now, or the last one seen while it lived; `tid`
  // as the target's events give it.
  std::optional<std::string> name(pid_t tid) const;
  // The target's module images (".dll" files), as last seen.
  std::vector<image_mapping> images() const;
  // The target's root as seen here: empty when it shares ours.
  const std::string& root() const noexcept { return root_; }

  // The share of its time the thread spent on a CPU, or ready for one, around
  // `at` (nanoseconds of CLOCK_MONOTONIC, the runtime's event clock on
  // Linux), by the kernel's accounting: over the interval between the two
  // readings that enclose `at`, against the most any thread of the target
  // had then. None when the thread was not watched then.
  std::optional<double> cpu_share(pid_t tid, std::int64_t at);

 private:
  void poll_once();
  void read_images();
  // One reading of the CPU time of every sampled thread, and on `all`, of
  // every thread; forgets the threads that ended long enough ago.
  void read_clocks(bool all);
  // Watches the clocks of the threads just listed (by the events' ids).
  void watch_clocks(const std::vector<pid_t>& listed);

  struct cpu_reading {
    std::int64_t at;       // CLOCK_MONOTONIC, ns
    std::uint64_t ran_ns;  // the thread's time on a CPU, or ready for one, so far
  };
  struct thread_clock {
    int fd = -1;  // its schedstat, kept open: a reading is then one pread
    bool sampled = false;  // a sample of it was judged: read at every reading
    std::deque<cpu_reading> readings;
  };
  // Appends a reading now; false (and the file closed) once the thread is gone.
  static bool read_clock(thread_clock& clock);
  // Opens the thread's clock and reads it once.
  void watch_clock(pid_t theirs, thread_clock& clock);

  // The id this process gives a thread of the target, from the id the
  // target's events give it.
  pid_t host_tid(pid_t tid) const;

  pid_t pid_;
  std::string root_;
  bool own_pid_namespace_ = false;
  mutable std::mutex mutex_;
  std::unordered_map<pid_t, std::string> names_;  // by the events' thread id
  std::unordered_map<pid_t, pid_t> host_tids_;    // events' thread id -> ours
  std::vector<image_mapping> images_;
  mutable std::mutex clock_mutex_;
  std::unordered_map<pid_t, thread_clock> clocks_;  // by the events' thread id
  // The largest share any thread had over each stretch between readings, by
  // the stretch's end: what the sampler's stops left of the stretch.
  struct ceiling {
    std::int64_t at;
    double share;
  };
  std::deque<ceiling> ceilings_;
  unsigned polls_ = 0;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::thread thread_;
};

// The content of /proc/PID/task/TID/comm without its line end; throws when
// the thread (or the process) is gone.
std::string read_thread_name(pid_t pid, pid_t tid);

}  // namespace tw_prof::netcore
