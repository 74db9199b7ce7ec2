#include "event_pipe_timeline_profiler/src/event_processors/process_watcher.h"

#include "event_pipe_api/src/session.h"
#include "tw/system/linux/detail_proc_utils.h"


#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <fcntl.h>
#include <system_error>
#include <unistd.h>
#include <chrono>
#include <ctime>
#include <dirent.h>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>

namespace tw_prof::netcore {

namespace {
// The sampled threads' CPU time is read this often: a sample is judged by the
// share of a 25 ms stretch its thread ran (the sampler takes one each
// millisecond). A reading costs a couple of microseconds a thread.
constexpr auto clock_period = std::chrono::milliseconds(25);
constexpr std::int64_t clock_period_ns = std::chrono::nanoseconds(clock_period).count();
// Threads and their names every 2nd reading (50 ms): short enough for a
// thread that lives a fraction of a second, long enough to cost nothing
// next to the stream.
constexpr unsigned thread_poll_every = 2;
// Modules load rarely: their mappings are read every second.
constexpr unsigned image_poll_every = 40;
// A thread's readings are kept for the samples still on their way, at most
// this many (a minute and a half).
constexpr std::size_t readings_kept = 3600;

std::int64_t monotonic_now() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return std::int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}
}  // namespace

std::string read_thread_name(pid_t pid, pid_t tid) {
  // The watcher reads a few hundred of these a second: plain system calls.
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/task/%d/comm", static_cast<int>(pid), static_cast<int>(tid));
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw std::system_error(errno, std::generic_category(), "Failed to open file");
  char name[64];
  const auto got = ::read(fd, name, sizeof name);
  const int error = errno;
  ::close(fd);
  if (got < 0) throw std::system_error(error, std::generic_category(), "Failed to read file");
  std::size_t length = static_cast<std::size_t>(got);
  if (length > 0 && name[length - 1] == '\n') --length;
  return std::string(name, length);
}

std::vector<image_mapping> read_image_mappings(pid_t pid, const std::string& root) {
  std::vector<image_mapping> images;
  std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
  std::map<std::string, image_mapping> by_path;
  for (std::string line; std::getline(maps, line);) {
    // start-end perms offset dev inode path
    std::istringstream fields(line);
    std::string range, perms, offset, device, inode, path;
    fields >> range >> perms >> offset >> device >> inode;
    std::getline(fields >> std::ws, path);
    if (path.size() < 4 || path.compare(path.size() - 4, 4, ".dll") != 0) continue;
    // The runtime also maps the whole file shared, elsewhere, to read it
    // flat; the image it runs is mapped privately, section by section.
    if (perms.size() < 4 || perms[3] != 'p') continue;
    const auto dash = range.find('-');
    if (dash == std::string::npos) continue;
    const std::uint64_t start = std::stoull(range.substr(0, dash), nullptr, 16);
    const std::uint64_t end = std::stoull(range.substr(dash + 1), nullptr, 16);
    auto [it, added] = by_path.try_emplace(path, image_mapping{path, 0, end, root + path});
    if (std::stoull(offset, nullptr, 16) == 0 && (it->second.base == 0 || start < it->second.base))
      it->second.base = start;
    it->second.end = std::max(it->second.end, end);
  }
  for (auto& [path, image] : by_path)
    if (image.base != 0) images.push_back(std::move(image));
  return images;
}

process_watcher::process_watcher(pid_t pid) : pid_(pid) {
  try {
    root_ = tarnwell::collector::event_pipe::process_root(pid).string();
  } catch (...) {
    // Unreadable: the target's files are then not read at all.
  }
  own_pid_namespace_ = tw::detail_proc_utils::get_namespace_pid(pid).value_or(pid) != pid;
  poll_once();
  read_images();
  read_clocks(true);
  thread_ = std::thread([this] {
    std::unique_lock lock(mutex_);
    while (!wake_.wait_for(lock, clock_period, [this] { return stopping_; })) {
      lock.unlock();
      ++polls_;
      const bool listing = polls_ % thread_poll_every == 0;
      if (listing) poll_once();
      if (polls_ % image_poll_every == 0) read_images();
      read_clocks(listing);
      lock.lock();
    }
  });
}

process_watcher::~process_watcher() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_.join();
  for (auto& [tid, clock] : clocks_)
    if (clock.fd >= 0) ::close(clock.fd);
}

bool process_watcher::read_clock(thread_clock& clock) {
  if (clock.fd < 0) return false;
  // "RUN_NS WAIT_NS TIMESLICES": time on a CPU, and time ready for one but
  // kept off it by other threads. A thread that wants to run is running as
  // far as its samples go: only a thread that blocked was waiting.
  char text[96];
  const auto n = ::pread(clock.fd, text, sizeof text - 1, 0);
  std::uint64_t ran = 0, ready = 0;
  const auto parsed = n > 0 ? std::from_chars(text, text + n, ran) : std::from_chars_result{text, std::errc::invalid_argument};
  if (parsed.ec != std::errc() || parsed.ptr == text + n ||
      std::from_chars(parsed.ptr + 1, text + n, ready).ec != std::errc()) {
    ::close(clock.fd);
    clock.fd = -1;
    return false;
  }
  clock.readings.push_back({monotonic_now(), ran + ready});
  if (clock.readings.size() > readings_kept) clock.readings.pop_front();
  return true;
}

void process_watcher::watch_clock(pid_t theirs, thread_clock& clock) {
  const pid_t here = host_tid(theirs);
  if (here == 0) return;
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/task/%d/schedstat", static_cast<int>(pid_), static_cast<int>(here));
  clock.fd = ::open(path, O_RDONLY | O_CLOEXEC);
  read_clock(clock);
}

void process_watcher::read_clocks(bool all) {
  const auto forgotten = monotonic_now() - std::chrono::nanoseconds(clock_period * readings_kept).count();
  std::lock_guard lock(clock_mutex_);
  double most = -1;
  for (auto it = clocks_.begin(); it != clocks_.end();) {
    auto& clock = it->second;
    if (clock.fd >= 0 && (all || clock.sampled)) {
      const std::optional<cpu_reading> last =
          clock.readings.empty() ? std::nullopt : std::optional<cpu_reading>(clock.readings.back());
      // A stretch much shorter than the period (a reading made for a
      // sample just now) says too little.
      if (read_clock(clock) && last && clock.readings.back().at - last->at >= clock_period_ns / 2 &&
          clock.readings.back().ran_ns >= last->ran_ns)
        most = std::max(most, static_cast<double>(clock.readings.back().ran_ns - last->ran_ns) /
                                  static_cast<double>(clock.readings.back().at - last->at));
    }
    // A thread that ended keeps its readings for as long as a reading is
    // kept at all, for the samples of it still on their way.
    if (clock.fd < 0 && (clock.readings.empty() || clock.readings.back().at < forgotten))
      it = clocks_.erase(it);
    else
      ++it;
  }
  if (most >= 0) {
    ceilings_.push_back({monotonic_now(), std::min(most, 1.0)});
    if (ceilings_.size() > readings_kept) ceilings_.pop_front();
  }
}

void process_watcher::watch_clocks(const std::vector<pid_t>& listed) {
  // From its birth, not from its first sample: a consumer that lags behind
  // the runtime meets a thread's first samples late, when the stretch they
  // were taken in can no longer be read; a short-lived thread may be gone.
  std::lock_guard lock(clock_mutex_);
  for (const pid_t tid : listed) {
    // A closed clock whose id is listed again: a new thread has that id.
    auto [it, added] = clocks_.try_emplace(tid);
    if (added || it->second.fd < 0) watch_clock(tid, it->second);
  }
}

std::optional<double> process_watcher::cpu_share(pid_t tid, std::int64_t at) {
  std::lock_guard lock(clock_mutex_);
  auto [it, first] = clocks_.try_emplace(tid);
  // Born since the last listing.
  if (first) watch_clock(tid, it->second);
  it->second.sampled = true;
  auto& r = it->second.readings;
  // A sample newer than the last reading: read now, which is later still. A
  // thread whose clock closed has ended, or its id names a new thread now.
  if (r.empty() || r.back().at < at) {
    if (it->second.fd < 0) {
      r.clear();
      watch_clock(tid, it->second);
      return std::nullopt;
    }
    if (!read_clock(it->second)) return std::nullopt;
  }
  const auto after = std::lower_bound(r.begin(), r.end(), at, [](const cpu_reading& c, std::int64_t t) {
    return c.at < t;
  });
  if (after == r.begin() || after == r.end()) return std::nullopt;
  const auto before = std::prev(after);
  // Samples come in time order: what lies before this interval is done with.
  const auto done = static_cast<std::size_t>(before - r.begin());
  const double span = static_cast<double>(after->at - before->at);
  // Less time than before: the id was given to a new thread in between.
  if (after->ran_ns < before->ran_ns) return std::nullopt;
  const double ran = static_cast<double>(after->ran_ns - before->ran_ns);
  r.erase(r.begin(), r.begin() + static_cast<std::ptrdiff_t>(done));
  if (span <= 0) return std::nullopt;
  // The sampler stops every thread of the runtime at each sample, for longer
  // on a busy machine, where its own thread waits for a CPU: a thread that
  // ran as much as the busiest one ran all it could. Up to half of a stretch
  // is put down to the sampler; less than that, threads really waited.
  const auto stretch = std::lower_bound(ceilings_.begin(), ceilings_.end(), at,
                                        [](const ceiling& c, std::int64_t t) { return c.at < t; });
  const double room = stretch == ceilings_.end() ? 1.0 : std::max(stretch->share, 0.5);
  return std::clamp(ran / span / room, 0.0, 1.0);
}

pid_t process_watcher::host_tid(pid_t tid) const {
  if (!own_pid_namespace_) return tid;
  std::lock_guard lock(mutex_);
  const auto it = host_tids_.find(tid);
  return it == host_tids_.end() ? 0 : it->second;
}

std::optional<std::string> process_watcher::name(pid_t tid) const {
  try {
    if (const pid_t here = host_tid(tid)) return read_thread_name(pid_, here);
  } catch (...) {
    // Gone: what it was called last.
  }
  std::lock_guard lock(mutex_);
  const auto it = names_.find(tid);
  if (it == names_.end()) return std::nullopt;
  return it->second;
}

std::vector<image_mapping> process_watcher::images() const {
  auto now = read_image_mappings(pid_, root_);
  if (!now.empty()) return now;
  std::lock_guard lock(mutex_);
  return images_;
}

void process_watcher::read_images() {
  auto images = read_image_mappings(pid_, root_);
  if (images.empty()) return;
  std::lock_guard lock(mutex_);
  images_ = std::move(images);
}

void process_watcher::poll_once() {
  // A thread's name is read when it is first listed and again on every
  // tenth poll: programs name their threads once, as they start them.
  const bool all = polls_ % (thread_poll_every * 10) == 0;
  const std::string task = "/proc/" + std::to_string(pid_) + "/task";
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(task.c_str()), &::closedir);
  if (!dir) return;
  std::vector<pid_t> listed;
  while (const dirent* entry = ::readdir(dir.get())) {
    pid_t tid = 0;
    const char* end = entry->d_name + std::char_traits<char>::length(entry->d_name);
    if (std::from_chars(entry->d_name, end, tid).ptr != end || tid <= 0) continue;
    // The events name the thread as its own namespace does.
    pid_t theirs = tid;
    if (own_pid_namespace_) {
      {
        std::lock_guard lock(mutex_);
        const auto known = std::find_if(host_tids_.begin(), host_tids_.end(),
                                        [tid](const auto& entry) { return entry.second == tid; });
        if (known != host_tids_.end()) theirs = known->first;
      }
      if (theirs == tid) {
        const auto in_namespace = tw::detail_proc_utils::get_namespace_pid(tid);
        if (!in_namespace) continue;
        theirs = *in_namespace;
        std::lock_guard lock(mutex_);
        host_tids_[theirs] = tid;
      }
    }
    listed.push_back(theirs);
    if (!all) {
      std::lock_guard lock(mutex_);
      if (names_.count(theirs)) continue;
    }
    try {
      auto name = read_thread_name(pid_, tid);
      std::lock_guard lock(mutex_);
      names_[theirs] = std::move(name);
    } catch (...) {
      // ended between the listing and the read
    }
  }
  watch_clocks(listed);
}

}  // namespace tw_prof::netcore
