#include "api/profiler_connection_data.h"

#include "tw/log/log.h"
#include "bridge/netcore_profiler_bridge_proto.h"
#include "bridge/test_prof/netcore_test_profiler_bridge_proto.h"
#include "tw/error/exception_text.h"

namespace tw_prof {

profiler_connection_data::profiler_connection_data(session_ptr session, reverse_bridge_settings settings)
    : basic_connection_data(std::move(session)), settings_(std::move(settings)) {}

profiler_connection_data::profiler_connection_data(session_ptr session,
                                                   std::future<profiler_bridge_controller*> running)
    : basic_connection_data(std::move(session)), running_(std::move(running)) {}

std::unique_ptr<profiler_bridge_controller> profiler_connection_data::start_bridge() {
  auto& session = *session_;
  if (running_.valid()) {
    // The regular session runs the bridge; a runtime waiting for this
    // connection must not wait for it.
    session.resume_runtime_if_waiting(resume_timeout);
    return std::unique_ptr<profiler_bridge_controller>(running_.get());
  }
  if (abandon_.stop_requested()) throw tarnwell::collector::event_pipe::session_stopped();
  TW_LOG(info) << "Starting reversed EventPipe session for profiling lifetime";
  session.start();
  TW_LOG(info) << "Reversed EventPipe session for profiling lifetime started, session_id is " << session.id();
  TW_LOG(info) << "Starting the bridge with reversed session (for process " << session.pid() << ")";
  const auto pid = static_cast<std::uint32_t>(session.pid());
  std::unique_ptr<prof_bridge_proto> proto;
  profiled_process process{.pid = pid,
                           .with_tasks = settings_.with_tasks,
                           .poll_command_line = settings_.poll_command_line,
                           .lifetime_session = &session};
  if (settings_.test_mode)
    proto = std::make_unique<netcore_test_profiler_bridge_proto>(std::move(process));
  else
    proto = std::make_unique<netcore_profiler_bridge_proto>(std::move(process));
  return create_profiler_bridge_controller(std::move(proto), settings_.bridge_endpoint, abandon_.get_token());
}

void profiler_connection_data::run_bridge(std::unique_ptr<profiler_bridge_controller> controller) {
  if (!controller) return;
  auto done = controller->extract_done_future();
  {
    std::lock_guard lock(mutex_);
    if (stopped_) {
      controller->destroy(true);
    } else {
      controller_ = controller.get();
    }
  }
  done.wait();
  {
    std::lock_guard lock(mutex_);
    controller_ = nullptr;
  }
  controller.reset();
}

void profiler_connection_data::process() {
  try {
    run_bridge(start_bridge());
  } catch (...) {
    TW_LOG(warning) << "Reversed connection of process " << session_->pid()
                    << " failed: " << tw::current_exception_to_string();
    session_->resume_runtime_if_waiting(resume_timeout);
    session_->stop_async();
    throw;
  }
  // A host that left before its first snapshot leaves a runtime that waits
  // for that snapshot to resume it.
  session_->resume_runtime_if_waiting(resume_timeout);
  session_->stop_async();
}

void profiler_connection_data::stop() {
  abandon_.request_stop();
  // Now, while the runtime can still reach us: once the server has stopped,
  // its next connection would find nobody.
  session_->resume_runtime_if_waiting(resume_timeout);
  std::lock_guard lock(mutex_);
  stopped_ = true;
  // The running bridge saves its snapshot and ends; process() sees it end.
  if (controller_) controller_->destroy(true);
  session_->stop_async();
}

}  // namespace tw_prof
