#include "event_pipe_timeline_profiler/src/event_processors/thread_names.h"

#include "tw/system/linux/detail_proc_utils.h"

#include <charconv>
#include <chrono>
#include <dirent.h>
#include <memory>

namespace tw_prof::netcore {

namespace {
// Short enough for a thread that lives a fraction of a second, long enough
// to cost nothing next to the stream.
constexpr auto poll_period = std::chrono::milliseconds(50);
}  // namespace

std::string read_thread_name(pid_t pid, pid_t tid) {
  auto name = tw::detail_proc_utils::get_native_thread_name(pid, tid);
  if (!name.empty() && name.back() == '\n') name.pop_back();
  return name;
}

thread_name_watcher::thread_name_watcher(pid_t pid) : pid_(pid) {
  poll_once();
  thread_ = std::thread([this] {
    std::unique_lock lock(mutex_);
    while (!wake_.wait_for(lock, poll_period, [this] { return stopping_; })) {
      lock.unlock();
      poll_once();
      lock.lock();
    }
  });
}

thread_name_watcher::~thread_name_watcher() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

std::optional<std::string> thread_name_watcher::name(pid_t tid) const {
  try {
    return read_thread_name(pid_, tid);
  } catch (...) {
    // Gone: what it was called last.
  }
  std::lock_guard lock(mutex_);
  const auto it = names_.find(tid);
  if (it == names_.end()) return std::nullopt;
  return it->second;
}

void thread_name_watcher::poll_once() {
  const std::string task = "/proc/" + std::to_string(pid_) + "/task";
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(task.c_str()), &::closedir);
  if (!dir) return;
  while (const dirent* entry = ::readdir(dir.get())) {
    pid_t tid = 0;
    const char* end = entry->d_name + std::char_traits<char>::length(entry->d_name);
    if (std::from_chars(entry->d_name, end, tid).ptr != end || tid <= 0) continue;
    try {
      auto name = read_thread_name(pid_, tid);
      std::lock_guard lock(mutex_);
      names_[tid] = std::move(name);
    } catch (...) {
      // ended between the listing and the read
    }
  }
}

}  // namespace tw_prof::netcore
