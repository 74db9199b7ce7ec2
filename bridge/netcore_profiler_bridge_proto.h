#pragma once

// The protocol object of a .NET process profiled through EventPipe: what the
// bridge tells the host about it, and the profiler it creates once the host
// has accepted.

#include "bridge/prof_bridge_proto.h"
#include "event_pipe_api/src/session.h"

#include <optional>
#include <string>

namespace tw_prof {

class netcore_profiler_bridge_proto : public prof_bridge_proto {
 public:
  // An empty process path or command line is read from the process.
  // `lifetime_session` (not owned) is the session that watches the target;
  // a reversed one resumes a runtime waiting for us.
  netcore_profiler_bridge_proto(std::uint32_t pid, std::string process_path, std::string command_line,
                                bool with_tasks, bool poll_command_line,
                                tarnwell::collector::event_pipe::event_pipe_session* lifetime_session);

  bool is_test_prof() const override { return false; }
  std::uint32_t get_pid() const override { return pid_; }
  std::string get_process_name() const override { return process_name_; }
  std::string get_command_line() const override { return command_line_; }
  runtime_type get_runtime() const override { return runtime_type::unknown; }
  bool is_detach_allowed() const override { return true; }
  bool is_outprocess() const override { return true; }
  std::shared_ptr<prof_api_base> create_prof(const timeline_info& info, bool use_api, const init_data& data,
                                             std::unique_ptr<bridge_notifier> notifier) override;

 protected:
  virtual std::uint32_t snapshot_format() const { return tarnwell::collector::format::timeline_format; }

  std::uint32_t pid_;
  std::string process_name_;
  std::string command_line_;
  bool with_tasks_;
  bool poll_command_line_;
  tarnwell::collector::event_pipe::event_pipe_session* lifetime_session_;
};

}  // namespace tw_prof
