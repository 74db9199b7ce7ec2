#include "bridge/test_prof/netcore_test_profiler_bridge_proto.h"

#include "tw/utility/throw.h"

namespace tw_prof {

netcore_test_profiler_bridge_proto::netcore_test_profiler_bridge_proto(std::uint32_t pid,
                                                                       std::optional<std::filesystem::path> recording)
    : netcore_profiler_bridge_proto({.pid = pid}), recording_(std::move(recording)) {}

netcore_test_profiler_bridge_proto::netcore_test_profiler_bridge_proto(profiled_process process)
    : netcore_profiler_bridge_proto(std::move(process)) {}

std::shared_ptr<prof_api_base> netcore_test_profiler_bridge_proto::create_prof(
    const timeline_info& info, bool use_api, const init_data& data, std::unique_ptr<bridge_notifier> notifier) {
  if (!recording_) return netcore_profiler_bridge_proto::create_prof(info, use_api, data, std::move(notifier));
  TW_CHECK(use_api == false);
  nettrace_param file{recording_->string(), "", [](unsigned long, unsigned long, unsigned long) { return 1; }, {}, tarnwell::common::mapped_offset_limit};
  return create_netcore_profiler_api(std::move(file), {.with_tpl = process_.with_tasks}, std::move(notifier));
}

}  // namespace tw_prof
