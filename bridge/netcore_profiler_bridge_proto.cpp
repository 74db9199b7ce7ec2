#include "bridge/netcore_profiler_bridge_proto.h"

#include "tw/utility/throw.h"

namespace tw_prof {

using tarnwell::collector::event_pipe::session_type;

netcore_profiler_bridge_proto::netcore_profiler_bridge_proto(
    std::uint32_t pid, std::string process_path, std::string command_line, bool with_tasks, bool poll_command_line,
    tarnwell::collector::event_pipe::event_pipe_session* lifetime_session)
    : pid_(pid),
      with_tasks_(with_tasks),
      poll_command_line_(poll_command_line),
      lifetime_session_(lifetime_session) {
  process_name_ = process_path.empty() ? prof_bridge_proto::get_process_name() : std::move(process_path);
  command_line_ = command_line.empty() ? prof_bridge_proto::get_command_line() : std::move(command_line);
}

std::shared_ptr<prof_api_base> netcore_profiler_bridge_proto::create_prof(const timeline_info& info, bool use_api,
                                                                         const init_data&,
                                                                         std::unique_ptr<bridge_notifier> notifier) {
  TW_CHECK(use_api == false);
  const bool reversed = lifetime_session_ != nullptr && lifetime_session_->type() == session_type::server;
  // Without collection from the start nothing waits for the first snapshot.
  if (reversed && !info.collect_from_start) lifetime_session_->resume_runtime(true);
  return create_netcore_profiler_api(pid_, info.collect_from_start && reversed, with_tasks_, poll_command_line_,
                                     lifetime_session_, std::move(notifier), snapshot_format());
}

}  // namespace tw_prof
