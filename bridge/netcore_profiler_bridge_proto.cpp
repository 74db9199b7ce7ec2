#include "bridge/netcore_profiler_bridge_proto.h"

#include "tw/utility/throw.h"

namespace tw_prof {

using tarnwell::collector::event_pipe::session_type;

netcore_profiler_bridge_proto::netcore_profiler_bridge_proto(profiled_process process)
    : pid_(process.pid),
      with_tasks_(process.with_tasks),
      poll_command_line_(process.poll_command_line),
      lifetime_session_(process.lifetime_session) {
  process_name_ =
      process.process_path.empty() ? prof_bridge_proto::get_process_name() : std::move(process.process_path);
  command_line_ =
      process.command_line.empty() ? prof_bridge_proto::get_command_line() : std::move(process.command_line);
}

std::shared_ptr<prof_api_base> netcore_profiler_bridge_proto::create_prof(const timeline_info& info, bool use_api,
                                                                         const init_data&,
                                                                         std::unique_ptr<bridge_notifier> notifier) {
  TW_CHECK(use_api == false);
  const bool reversed = lifetime_session_ != nullptr && lifetime_session_->type() == session_type::server;
  // Without collection from the start nothing waits for the first snapshot.
  if (reversed && !info.collect_from_start) lifetime_session_->resume_runtime(true);
  return create_netcore_profiler_api(pid_,
                                     {.resume_runtime = info.collect_from_start && reversed,
                                      .with_tpl = with_tasks_,
                                      .poll_command_line = poll_command_line_,
                                      .lifetime_session = lifetime_session_,
                                      .snapshot_format = snapshot_format()},
                                     std::move(notifier));
}

}  // namespace tw_prof
