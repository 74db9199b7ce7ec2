#include "bridge/netcore_profiler_bridge_proto.h"

#include "tw/utility/throw.h"

namespace tw_prof {

using tarnwell::collector::event_pipe::session_type;

netcore_profiler_bridge_proto::netcore_profiler_bridge_proto(profiled_process process) : process_(std::move(process)) {
  if (process_.process_path.empty()) process_.process_path = prof_bridge_proto::get_process_name();
  if (process_.command_line.empty()) process_.command_line = prof_bridge_proto::get_command_line();
}

std::shared_ptr<prof_api_base> netcore_profiler_bridge_proto::create_prof(const timeline_info& info, bool use_api,
                                                                         const init_data&,
                                                                         std::unique_ptr<bridge_notifier> notifier) {
  TW_CHECK(use_api == false);
  auto* const lifetime_session = process_.lifetime_session;
  const bool reversed = lifetime_session != nullptr && lifetime_session->type() == session_type::server;
  // Without collection from the start nothing waits for the first snapshot.
  if (reversed && !info.collect_from_start) lifetime_session->resume_runtime(true);
  return create_netcore_profiler_api(process_.pid,
                                     {.resume_runtime = info.collect_from_start && reversed,
                                      .with_tpl = process_.with_tasks,
                                      .poll_command_line = process_.poll_command_line,
                                      .lifetime_session = lifetime_session,
                                      .snapshot_format = snapshot_format()},
                                     std::move(notifier));
}

}  // namespace tw_prof
