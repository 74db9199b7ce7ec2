#include "bridge/prof_bridge_proto.h"

#include "tw/system/linux/detail_proc_utils.h"
#include "tw/system/proc_utils.h"

namespace tw_prof {

namespace {
pid_t as_pid(std::uint32_t pid) { return static_cast<pid_t>(pid); }
}  // namespace

std::string prof_bridge_proto::get_process_name() const {
  return tw::detail_proc_utils::get_process_filename(as_pid(get_pid()));
}

std::string prof_bridge_proto::get_command_line() const { return tw::get_command_line(as_pid(get_pid())); }

std::string prof_bridge_proto::get_working_dir() const {
  return tw::detail_proc_utils::get_working_dir(as_pid(get_pid()));
}

std::uint16_t prof_bridge_proto::get_architecture() const {
  return static_cast<std::uint16_t>(tw::get_executable_architecture(get_process_name()));
}

std::string prof_bridge_proto::get_user_name() const {
  return tw::detail_proc_utils::get_user_name_by_user_id(tw::detail_proc_utils::get_user_id(as_pid(get_pid())));
}

std::string prof_bridge_proto::get_computer_name() const { return tw::detail_proc_utils::get_current_computer_name(); }

}  // namespace tw_prof
