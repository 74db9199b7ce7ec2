#include "bridge/prof_bridge_proto.h"

#include "tw/log/log.h"
#include "tw/error/exception_text.h"
#include "tw/system/linux/detail_proc_utils.h"
#include "tw/system/proc_utils.h"

namespace tw_prof {

namespace {

pid_t as_pid(std::uint32_t pid) { return static_cast<pid_t>(pid); }

// What cannot be read of the target (another user's process, one that is not
// dumpable, a user id without a passwd entry as containers run them) is
// described by the fallback: describing the target never fails profiling.
template <class Read, class T>
T guarded(const char* what, std::uint32_t pid, Read read, T fallback) {
  try {
    return read();
  } catch (...) {
    TW_LOG(warning) << "The " << what << " of process " << pid
                    << " cannot be read, a fallback is used instead: " << tw::current_exception_summary();
    return fallback;
  }
}

}  // namespace

std::string prof_bridge_proto::get_process_name() const {
  return guarded("executable path", get_pid(),
                 [&] { return tw::detail_proc_utils::get_process_filename(as_pid(get_pid())); }, std::string());
}

std::string prof_bridge_proto::get_command_line() const {
  return guarded("command line", get_pid(), [&] { return tw::get_command_line(as_pid(get_pid())); }, std::string());
}

std::string prof_bridge_proto::get_working_dir() const {
  return guarded("working directory", get_pid(),
                 [&] { return tw::detail_proc_utils::get_working_dir(as_pid(get_pid())); }, std::string());
}

std::uint16_t prof_bridge_proto::get_architecture() const {
  const auto os = guarded("operating system's architecture", get_pid(),
                          [] { return static_cast<std::uint16_t>(tw::get_os_architecture()); },
                          static_cast<std::uint16_t>(tw::architecture::x86_64));
  const auto executable = get_process_name();
  if (executable.empty()) return os;
  return guarded("executable's architecture", get_pid(),
                 [&] { return static_cast<std::uint16_t>(tw::get_executable_architecture(executable)); }, os);
}

std::string prof_bridge_proto::get_user_name() const {
  const auto pid = get_pid();
  const auto uid = guarded("user id", pid, [&] { return std::optional(tw::detail_proc_utils::get_user_id(as_pid(pid))); },
                           std::optional<uid_t>());
  if (!uid) return {};
  return guarded("user name", pid, [&] { return tw::detail_proc_utils::get_user_name_by_user_id(*uid); },
                 std::to_string(*uid));
}

std::string prof_bridge_proto::get_computer_name() const {
  return guarded("host name", get_pid(), [] { return tw::detail_proc_utils::get_current_computer_name(); },
                 std::string());
}

}  // namespace tw_prof
