#pragma once

// The protocol object of a .NET process profiled through EventPipe: what the
// bridge tells the host about it, and the profiler it creates once the host
// has accepted.

#include "bridge/prof_bridge_proto.h"
#include "event_pipe_api/src/session.h"

#include <optional>
#include <string>

namespace tw_prof {

// The process a protocol object stands for, and how it is profiled.
struct profiled_process {
  std::uint32_t pid = 0;
  // Empty: read from the process.
  std::string process_path = {};
  std::string command_line = {};
  bool with_tasks = true;
  bool poll_command_line = false;
  // Not owned, may be null: the session that watches the target; a
  // reversed one resumes a runtime waiting for us.
  tarnwell::collector::event_pipe::event_pipe_session* lifetime_session = nullptr;
};

class netcore_profiler_bridge_proto : public prof_bridge_proto {
 public:
  explicit netcore_profiler_bridge_proto(profiled_process process);

  bool is_test_prof() const override { return false; }
  std::uint32_t get_pid() const override { return process_.pid; }
  std::string get_process_name() const override { return process_.process_path; }
  std::string get_command_line() const override { return process_.command_line; }
  runtime_type get_runtime() const override { return runtime_type::unknown; }
  bool is_detach_allowed() const override { return true; }
  bool is_outprocess() const override { return true; }
  std::shared_ptr<prof_api_base> create_prof(const timeline_info& info, bool use_api, const init_data& data,
                                             std::unique_ptr<bridge_notifier> notifier) override;

 protected:
  virtual std::uint32_t snapshot_format() const { return tarnwell::collector::format::timeline_format; }

  // Its path and command line filled in from the process where none was given.
  profiled_process process_;
};

}  // namespace tw_prof
