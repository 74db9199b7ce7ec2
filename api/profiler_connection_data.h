#pragma once

// The live profiler's client of one runtime that connected back through the
// diagnostic port: it starts the profiling lifetime session on that
// connection and runs a bridge for the process until the bridge ends. A
// runtime that waits suspended is never left waiting: whatever ends the
// client, it is resumed on the way out.

#include "bridge/profiler_bridge.h"
#include "event_pipe_api/src/diagnostic_ports_server.h"

#include <future>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>

namespace tw_prof {

struct reverse_bridge_settings {
  std::string bridge_endpoint;
  bool with_tasks = true;
  bool poll_command_line = true;
  bool test_mode = false;
};

class profiler_connection_data final : public tarnwell::collector::event_pipe::basic_connection_data {
 public:
  using session_ptr = std::unique_ptr<tarnwell::collector::event_pipe::event_pipe_session>;

  // A process of its own: a bridge of its own.
  profiler_connection_data(session_ptr session, reverse_bridge_settings settings);
  // The process the regular session already profiles: its bridge is kept,
  // and this connection only resumes the runtime.
  profiler_connection_data(session_ptr session, std::future<profiler_bridge_controller*> running);

  void process() override;
  void stop() override;

  // How long a client that ends waits for the runtime to connect again so
  // that it can be resumed.
  static constexpr std::chrono::seconds resume_timeout{10};

 private:
  std::unique_ptr<profiler_bridge_controller> start_bridge();
  void run_bridge(std::unique_ptr<profiler_bridge_controller> controller);

  reverse_bridge_settings settings_;
  std::future<profiler_bridge_controller*> running_;
  std::stop_source abandon_;
  std::mutex mutex_;  // the controller, between process() and stop()
  profiler_bridge_controller* controller_ = nullptr;  // owned by process(), set while it runs
  bool stopped_ = false;
};

}  // namespace tw_prof
