#pragma once

// The protocol object of the tests: fixed session identifiers, so that what
// the host receives can be compared byte for byte, and snapshots of a format
// of their own. Given a recording, the profiler it creates reads that file
// instead of a live runtime, and ends (as a target that exits) when the file
// does.

#include "bridge/netcore_profiler_bridge_proto.h"

#include <filesystem>
#include <optional>

namespace tw_prof {

class netcore_test_profiler_bridge_proto : public netcore_profiler_bridge_proto {
 public:
  netcore_test_profiler_bridge_proto(std::uint32_t pid, std::optional<std::filesystem::path> recording = std::nullopt);
  // A live target, as the regular object takes it.
  explicit netcore_test_profiler_bridge_proto(profiled_process process);

  bool is_test_prof() const override { return true; }
  std::shared_ptr<prof_api_base> create_prof(const timeline_info& info, bool use_api, const init_data& data,
                                             std::unique_ptr<bridge_notifier> notifier) override;

 protected:
  std::uint32_t snapshot_format() const override { return test_snapshot_format_id; }

 private:
  std::optional<std::filesystem::path> recording_;
};

}  // namespace tw_prof
