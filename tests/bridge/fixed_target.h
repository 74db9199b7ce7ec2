#pragma once

// A protocol object for tests and fuzzing: every property of the target is
// fixed, so that what the bridge sends is predictable, and it creates no
// profiler.

#include "bridge/prof_bridge_proto.h"

namespace test_support {

using namespace tw_prof;

class fixed_target final : public prof_bridge_proto {
 public:
  explicit fixed_target(bool outprocess = true) : outprocess_(outprocess) {}
  bool is_test_prof() const override { return true; }
  std::uint32_t get_pid() const override { return 4711; }
  std::string get_process_name() const override { return "/usr/bin/dotnet"; }
  std::string get_command_line() const override { return "dotnet app.dll"; }
  std::string get_working_dir() const override { return "/srv"; }
  runtime_type get_runtime() const override { return runtime_type::core_clr; }
  runtime_version_t get_runtime_version() const override { return {10, 0, 1, 2}; }
  std::uint16_t get_architecture() const override { return 9; }
  std::string get_user_name() const override { return "me"; }
  std::string get_computer_name() const override { return "box"; }
  bool is_detach_allowed() const override { return true; }
  bool is_outprocess() const override { return outprocess_; }
  std::shared_ptr<prof_api_base> create_prof(const timeline_info&, bool, const init_data&,
                                             std::unique_ptr<bridge_notifier>) override {
    return nullptr;
  }

 private:
  bool outprocess_;
};

}  // namespace test_support
