#include "event_pipe_timeline_profiler/src/command_line_poller.h"

#include "event_pipe_api/src/event_pipe_consumer_api.h"
#include "event_pipe_api/src/session.h"
#include "tw/error/exception_text.h"
#include "tw/log/log.h"

#include <chrono>

namespace tw_prof {

command_line_poller::command_line_poller(tarnwell::collector::event_pipe::event_pipe_session& session,
                                         std::shared_ptr<bridge_notifier> notifier)
    : session_(session), notifier_(std::move(notifier)) {}

command_line_poller::~command_line_poller() {
  stop();
  if (thread_.joinable()) thread_.join();
}

void command_line_poller::start() {
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return;
  }
  thread_ = std::thread([this] { run(); });
}

void command_line_poller::stop() noexcept {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
}

std::optional<std::string> command_line_poller::latest() const {
  std::lock_guard lock(mutex_);
  return value_;
}

void command_line_poller::run() {
  try {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
      lock.unlock();
      auto value = session_.get_command_line();
      lock.lock();
      if (value_ != value) {
        value_ = value;
        lock.unlock();
        TW_LOG(info) << "New command line value from polling thread: " << value;
        if (notifier_) notifier_->on_command_line_updated(value);
        lock.lock();
      }
      wake_.wait_for(lock, std::chrono::milliseconds(100), [this] { return stopping_; });
    }
  } catch (const tarnwell::collector::event_pipe::session_stopped&) {
  } catch (...) {
    TW_LOG(error) << "Error occured during command line polling: " << tw::current_exception_to_string();
  }
  TW_LOG(info) << "Command line polling thread finished";
}

}  // namespace tw_prof
