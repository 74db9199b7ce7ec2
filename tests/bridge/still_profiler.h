#pragma once

// A profiler and its protocol object for bridge tests that need no runtime.

#include "collector/src/collector/multifile_snapshot.h"
#include "collector/src/collector/snapshot.h"
#include "bridge/test_prof/netcore_test_profiler_bridge_proto.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <unistd.h>

namespace test_support {

using namespace tw_prof;

// A profiler that needs no runtime: each snapshot holds the environment, a
// short event stream and the end time, and it stays active until destroyed.
class still_profiler final : public prof_api_base, public std::enable_shared_from_this<still_profiler> {
 public:
  // How long the end of a snapshot takes once its last file is open.
  explicit still_profiler(std::chrono::milliseconds stop_time = {}) : stop_time_(stop_time) {}

  std::unique_ptr<snapshot> start_snapshot(std::unique_ptr<file_factory> factory, const environment& env) override {
    auto files = multifile_snapshot::create(std::move(factory), snapshot_format_id, 0);
    auto state = std::make_shared<open_sections>(files);
    state->environment = state->gen(stream_kind{}, 0, 9);
    write_environment(*state->environment, env, filetime_now());
    state->events = state->gen(stream_kind{}, 2121, 19);
    *state->events << "records";
    return std::make_unique<mono::snapshot>(
        [state, stop_time = stop_time_] {
          write_post_environment(*state->gen(stream_kind{}, 1, 0), filetime_now());
          std::this_thread::sleep_for(stop_time);
          state->environment.reset();
          state->events.reset();
        },
        std::move(files));
  }
  void destroy() override { active_ = false; }
  bool is_active() const override { return active_; }
  tarnwell::collector::event_pipe::consumer_status stream_status() const override { return {}; }

 private:
  struct open_sections {
    explicit open_sections(std::shared_ptr<multifile_snapshot> files) : gen(std::move(files)) {}
    sections_gen gen;
    std::shared_ptr<std::ostream> environment, events;
  };
  std::chrono::milliseconds stop_time_;
  std::atomic<bool> active_{true};
};

class still_proto : public netcore_test_profiler_bridge_proto {
 public:
  explicit still_proto(std::chrono::milliseconds stop_time = {})
      : netcore_test_profiler_bridge_proto(static_cast<std::uint32_t>(::getpid())), stop_time_(stop_time) {}
  std::shared_ptr<prof_api_base> create_prof(const timeline_info&, bool, const init_data&,
                                             std::unique_ptr<bridge_notifier>) override {
    return std::make_shared<still_profiler>(stop_time_);
  }

 private:
  std::chrono::milliseconds stop_time_;
};

}  // namespace test_support
