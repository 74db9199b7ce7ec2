#pragma once

// The protocol object: everything the bridge needs to know about the
// profiled process, and how to create the profiler for it once the host has
// accepted the handshake. The base class reads what it can from the system
// for the target's pid.

#include "event_pipe_timeline_profiler/src/environment.h"
#include "bridge/protocol.h"
#include "event_pipe_timeline_profiler/src/netcore_profiler_api.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tw_prof {

// What the handshake yields.
struct init_data {
  timeline_info info;
  bool use_api = false;
  bool use_bridge = true;
  environment env;
  std::string host_text_1;
  std::vector<env_var_to_clean> env_vars;
  std::string host_text_2;
};

class prof_bridge_proto {
 public:
  virtual ~prof_bridge_proto() = default;
  // The test object uses fixed session identifiers.
  virtual bool is_test_prof() const = 0;
  virtual std::uint32_t get_pid() const = 0;
  virtual std::string get_process_name() const;
  virtual std::string get_command_line() const;
  virtual std::string get_working_dir() const;
  virtual runtime_type get_runtime() const = 0;
  virtual runtime_version_t get_runtime_version() const { return {}; }
  virtual std::uint16_t get_architecture() const;
  virtual std::string get_user_name() const;
  virtual std::string get_computer_name() const;
  virtual bool is_detach_allowed() const = 0;
  // Out-of-process objects keep the host's environment variables as they are.
  virtual bool is_outprocess() const = 0;
  virtual std::shared_ptr<prof_api_base> create_prof(const timeline_info& info, bool use_api, const init_data& data,
                                                     std::unique_ptr<bridge_notifier> notifier) = 0;
};

}  // namespace tw_prof
