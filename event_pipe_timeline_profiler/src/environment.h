#pragma once

// The description of the profiled process written into every snapshot, and
// the interface through which the profiler reports changes of it.

#include "tw/error/presentable_error.h"
#include "tw/utility/guid.h"

#include <array>
#include <cstdint>
#include <ostream>
#include <string>

namespace tw_prof {

using tw::guid;

enum class runtime_type : std::uint16_t { unknown = 0, clr = 1, core_clr = 2, silverlight = 3, mono = 4 };

const char* to_string(runtime_type t) noexcept;

struct runtime_version_t {
  std::uint16_t major = 0;
  std::uint16_t minor = 0;
  std::uint16_t build = 0;
  std::uint16_t revision = 0;

  // major | minor << 16 | build << 32 | revision << 48
  std::uint64_t packed() const noexcept {
    return std::uint64_t{major} | std::uint64_t{minor} << 16 | std::uint64_t{build} << 32 |
           std::uint64_t{revision} << 48;
  }
  friend bool operator==(const runtime_version_t&, const runtime_version_t&) = default;
};

struct environment {
  std::uint32_t pid = 0;
  std::string process_name;
  std::string command_line;
  std::string working_directory;
  std::uint16_t architecture = 0;
  runtime_type runtime = runtime_type::unknown;
  runtime_version_t runtime_version;
  std::uint16_t os_id = 0;
  std::uint16_t os_architecture = 0;
  std::uint32_t processor_count = 0;
  std::string os_name;
  std::string user_name;
  std::string computer_name;
  std::string reserved;
  guid session_id_1{};
  std::uint32_t id_kind = 0;  // 0 fixed test identifiers, 1 random
  guid session_id_2{};
  guid snapshot_id_3{};
  guid snapshot_id_4{};
  std::string trailer;
};

// An environment with four fresh random identifiers and nothing else known:
// what a conversion of a recorded file starts from.
environment make_random_environment();

// Section 0: the environment and the snapshot's start time.
void write_environment(std::ostream& out, const environment& env, std::uint64_t start_filetime);
// Section 1: the end time.
void write_post_environment(std::ostream& out, std::uint64_t end_filetime);
// 100-nanosecond units since 1601-01-01.
std::uint64_t filetime_now();

// The warning a host hears when the profiled process dies under it: what was
// recorded up to its end is saved next.
inline constexpr const char* target_lost_warning =
    "The profiled process ended unexpectedly (it was killed or crashed): the snapshot keeps what was recorded "
    "up to its end";

class bridge_notifier {
 public:
  virtual ~bridge_notifier() = default;
  virtual void on_environment_updated(runtime_type, runtime_version_t, std::string) {}
  virtual void on_command_line_updated(const std::string&) {}
  // Ends the host's session with the error.
  virtual void on_error(const tw::presentable_error&) {}
  // Tells the host of something it should know; profiling goes on.
  virtual void on_warning(const std::string&) {}
  // A flight recording's trigger fired, `ms` into the recording, and its
  // capture is due: the host saves.
  virtual void on_triggered(const std::string& /*what*/, std::uint32_t /*ms*/) {}
};

}  // namespace tw_prof
