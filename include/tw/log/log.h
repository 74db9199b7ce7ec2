#pragma once

// The process-wide text log. Every component writes whole lines through a
// short-lived stream_guard; nothing is formatted for a disabled subsystem.
//
// Threads: any thread may log. The spin lock is held from the first byte of
// a line's prefix until its newline is flushed, so lines never interleave.
// The mask is read without the lock; init swaps stream and mask under it.

#include "tw/utility/spinlock.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <iosfwd>
#include <mutex>
#include <ostream>
#include <string>

namespace tw_prof::log {

enum class subsystem : unsigned {
  info = 0,
  error = 1,
  warning = 2,
  debug = 3,
  symbol_resolver_log = 4,
  dbg_help_log = 5,
  loader_log = 6,
  callstack_log = 7,
  threads_summary = 8,
  pipe = 9,
};

const char* to_string(subsystem s) noexcept;

// info, error and warning: what the collectors enable.
inline constexpr std::uint32_t default_mask = 7;

using clock_function = std::chrono::system_clock::time_point (*)();

class logger {
 public:
  static logger& instance();

  explicit logger(std::ostream& stream, std::uint32_t mask = 0,
                  clock_function clock = &std::chrono::system_clock::now) noexcept;

  bool enabled(subsystem s) const noexcept {
    return (mask_.load(std::memory_order_relaxed) >> static_cast<unsigned>(s)) & 1u;
  }
  std::uint32_t mask() const noexcept { return mask_.load(std::memory_order_relaxed); }
  std::ostream& stream() const noexcept { return *stream_.load(std::memory_order_acquire); }
  tw::spinlock& lock() noexcept { return lock_; }
  clock_function clock() const noexcept { return clock_; }

  void reset(std::ostream& stream, std::uint32_t mask) noexcept;

 private:
  // A second collector re-initialises the log while the first one's threads
  // write to it.
  std::atomic<std::ostream*> stream_;
  std::atomic<std::uint32_t> mask_;
  tw::spinlock lock_;
  clock_function clock_;
};

// Writes "[YYYY-MM-DDTHH-MM-SS.uuuuuu]: <subsystem> " for the local time t.
void write_line_prefix(std::ostream& out, subsystem s, std::chrono::system_clock::time_point t);

// One log line in progress: prefix on construction, newline and flush on
// destruction.
class stream_guard {
 public:
  stream_guard(std::ostream& stream, subsystem s, tw::spinlock& lock,
               clock_function clock = &std::chrono::system_clock::now);
  explicit stream_guard(logger& l, subsystem s) : stream_guard(l.stream(), s, l.lock(), l.clock()) {}
  stream_guard(const stream_guard&) = delete;
  stream_guard& operator=(const stream_guard&) = delete;
  ~stream_guard();

  std::ostream& stream() noexcept { return stream_; }

 private:
  std::ostream& stream_;
  std::unique_lock<tw::spinlock> lock_;
  std::ios_base::fmtflags saved_flags_;
};

template <class T>
stream_guard&& operator<<(stream_guard&& guard, const T& value) {
  guard.stream() << value;
  return std::move(guard);
}

// directory / "<name>.<local time %Y-%m-%dT%H-%M-%S>.<pid>.log"
std::filesystem::path logger_build_path(const char* name, const std::filesystem::path& directory);

// Opens the one log stream of the process on the first call; later calls
// return it and ignore their argument.
std::ostream& init_global_fstream(const std::filesystem::path& path);

void logger_init_default(const char* name, std::uint32_t mask, const std::filesystem::path& directory);

// "TarnLogs" under the system temporary directory.
std::filesystem::path default_log_directory();

}  // namespace tw_prof::log

// TW_LOG(info) << "text " << value;  -- arguments are evaluated only when the
// subsystem is enabled.
#define TW_LOG(sub)                                                                                  \
  for (auto* tw_log_instance_ = &::tw_prof::log::logger::instance();                                  \
       tw_log_instance_ != nullptr && tw_log_instance_->enabled(::tw_prof::log::subsystem::sub);       \
       tw_log_instance_ = nullptr)                                                                    \
  ::tw_prof::log::stream_guard(*tw_log_instance_, ::tw_prof::log::subsystem::sub)
