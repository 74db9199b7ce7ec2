#pragma once

// Readers of /proc and of the user and host databases.

#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace tw::detail_proc_utils {

std::string read_link(const std::string& path);
std::string get_working_dir(pid_t pid);
std::string get_process_filename(pid_t pid);
// The effective user id from /proc/<pid>/status.
uid_t get_user_id(pid_t pid);
std::string get_user_name_by_user_id(uid_t uid);
std::string get_current_computer_name();
// The arguments of /proc/<pid>/cmdline.
std::vector<std::string> get_command_line(pid_t pid);
std::string get_native_thread_name(pid_t pid, pid_t tid);
// The pid the process has in its own pid namespace (the last NSpid field of
// /proc/<pid>/status); nothing when it cannot be read.
std::optional<pid_t> get_namespace_pid(pid_t pid);
// Whether the process shares this process's mount namespace; nothing when
// that cannot be told (another user's process).
std::optional<bool> shares_mount_namespace(pid_t pid);
// The value of `name` in /proc/<pid>/environ: nothing when it is not set,
// and nothing when the file cannot be read (another user's process).
std::optional<std::string> get_environment_variable(pid_t pid, const std::string& name);
// Whether the process has ended: gone, or a zombie its parent has not
// waited for yet (which signals still reach).
bool process_ended(pid_t pid) noexcept;
// Whether the process is stopped (by SIGSTOP, or held by a debugger): it
// would take a request and never answer it.
bool process_stopped(pid_t pid) noexcept;

}  // namespace tw::detail_proc_utils
