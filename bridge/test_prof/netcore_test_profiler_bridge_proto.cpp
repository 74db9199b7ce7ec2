#include "bridge/test_prof/netcore_test_profiler_bridge_proto.h"

#include "tw/utility/throw.h"

namespace tw_prof {

netcore_test_profiler_bridge_proto::netcore_test_profiler_bridge_proto(std::uint32_t pid,
                                                                       std::optional<std::filesystem::path> recording)
    : netcore_profiler_bridge_proto(pid, "", "", true, false, nullptr), recording_(std::move(recording)) {}

netcore_test_profiler_bridge_proto::netcore_test_profiler_bridge_proto(
    std::uint32_t pid, std::string process_path, std::string command_line, bool with_tasks, bool poll_command_line,
    tarnwell::collector::event_pipe::event_pipe_session* lifetime_session)
    : netcore_profiler_bridge_proto(pid, std::move(process_path), std::move(command_line), with_tasks,
                                    poll_command_line, lifetime_session) {}

std::shared_ptr<prof_api_base> netcore_test_profiler_bridge_proto::create_prof(
    const timeline_info& info, bool use_api, const init_data& data, std::unique_ptr<bridge_notifier> notifier) {
  if (!recording_) return netcore_profiler_bridge_proto::create_prof(info, use_api, data, std::move(notifier));
  TW_CHECK(use_api == false);
  nettrace_param file{recording_->string(), "", [](unsigned long, unsigned long, unsigned long) { return 1; }, {}, tarnwell::common::mapped_offset_limit};
  return create_netcore_profiler_api(std::move(file), false, with_tasks_, false, nullptr, std::move(notifier));
}

}  // namespace tw_prof
