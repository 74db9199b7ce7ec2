#include "tw/log/log.h"

#include "tw/utility/throw.h"

#include <boost/format.hpp>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <system_error>
#include <unistd.h>

namespace tw_prof::log {

const char* to_string(subsystem s) noexcept {
  switch (s) {
    case subsystem::info: return "info";
    case subsystem::error: return "error";
    case subsystem::warning: return "warning";
    case subsystem::debug: return "debug";
    case subsystem::symbol_resolver_log: return "symbol_resolver_log";
    case subsystem::dbg_help_log: return "dbg_help_log";
    case subsystem::loader_log: return "loader_log";
    case subsystem::callstack_log: return "callstack_log";
    case subsystem::threads_summary: return "threads_summary";
    case subsystem::pipe: return "pipe";
  }
  return "unknown";
}

logger& logger::instance() {
  static logger the_logger(std::cout);
  return the_logger;
}

logger::logger(std::ostream& stream, std::uint32_t mask, clock_function clock) noexcept
    : stream_(&stream), mask_(mask), clock_(clock) {}

void logger::reset(std::ostream& stream, std::uint32_t mask) noexcept {
  std::lock_guard guard(lock_);
  stream_.store(&stream, std::memory_order_release);
  mask_.store(mask, std::memory_order_relaxed);
}

namespace {

std::string local_time_text(std::time_t seconds) {
  std::tm tm{};
  localtime_r(&seconds, &tm);
  char text[32];
  const auto n = std::strftime(text, sizeof text, "%Y-%m-%dT%H-%M-%S", &tm);
  return std::string(text, n);
}

}  // namespace

void write_line_prefix(std::ostream& out, subsystem s, std::chrono::system_clock::time_point t) {
  using namespace std::chrono;
  const auto us = duration_cast<microseconds>(t.time_since_epoch()).count();
  auto seconds = us / 1'000'000;
  auto fraction = us % 1'000'000;
  if (fraction < 0) {  // before the epoch: keep the fraction non-negative
    fraction += 1'000'000;
    --seconds;
  }
  char micro[8];
  std::snprintf(micro, sizeof micro, "%06lld", static_cast<long long>(fraction));
  out << '[' << local_time_text(static_cast<std::time_t>(seconds)) << '.' << micro << "]: <" << to_string(s) << "> ";
}

stream_guard::stream_guard(std::ostream& stream, subsystem s, tw::spinlock& lock, clock_function clock)
    : stream_(stream), lock_(lock, std::defer_lock), saved_flags_() {
  lock_.lock();
  saved_flags_ = stream_.flags();
  stream_.flags(std::ios_base::fmtflags{});
  write_line_prefix(stream_, s, clock());
}

stream_guard::~stream_guard() {
  try {
    stream_ << stream_.widen('\n');
    stream_.flush();
  } catch (...) {
    // A log line that cannot be finished must not take its writer down.
  }
  stream_.flags(saved_flags_);
}

std::filesystem::path logger_build_path(const char* name, const std::filesystem::path& directory) {
  const auto now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  return directory / (boost::format("%1%.%2%.%3%.log") % name % local_time_text(now) % ::getpid()).str();
}

std::ostream& init_global_fstream(const std::filesystem::path& path) {
  static std::ofstream stream(path, std::ios::out | std::ios::trunc);
  if (stream.fail() || stream.bad()) {
    const int err = errno;
    TW_THROW(boost::enable_error_info(std::runtime_error("Unable to open log file"))
             << tw::errinfo_errno_text(std::strerror(err)) << tw::errinfo_path(path.string()));
  }
  return stream;
}

void logger_init_default(const char* name, std::uint32_t mask, const std::filesystem::path& directory) {
  std::error_code create_error;
  std::filesystem::create_directories(directory, create_error);
  std::error_code status_error;
  const auto status = std::filesystem::status(directory, status_error);
  if (status.type() == std::filesystem::file_type::none || status.type() == std::filesystem::file_type::not_found)
    throw std::system_error(create_error ? create_error : status_error, "Unable to create log directory");
  auto& stream = init_global_fstream(logger_build_path(name, directory));
  logger::instance().reset(stream, mask);
}

std::filesystem::path default_log_directory() {
  return std::filesystem::temp_directory_path() / "TarnLogs";
}

}  // namespace tw_prof::log
