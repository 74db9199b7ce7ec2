#pragma once

// The target's command line, asked of its runtime every 100 ms for as long
// as the profiler lives: a program started suspended has its arguments only
// once its runtime runs, and the host shows them as soon as they are known.

#include "event_pipe_timeline_profiler/src/environment.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace tarnwell::collector::event_pipe {
class event_pipe_session;
}

namespace tw_prof {

class command_line_poller {
 public:
  // `session` (the lifetime session) outlives the poller.
  command_line_poller(tarnwell::collector::event_pipe::event_pipe_session& session,
                      std::shared_ptr<bridge_notifier> notifier);
  // Stops and waits for the polling thread.
  ~command_line_poller();
  command_line_poller(const command_line_poller&) = delete;
  command_line_poller& operator=(const command_line_poller&) = delete;

  // Starts the polling thread; once, from one thread. After stop() it starts
  // nothing.
  void start();
  // Ends the polling at its next wait; from any thread, any number of times.
  void stop() noexcept;
  // The last command line the runtime gave, if any.
  std::optional<std::string> latest() const;

 private:
  void run();

  tarnwell::collector::event_pipe::event_pipe_session& session_;
  std::shared_ptr<bridge_notifier> notifier_;
  mutable std::mutex mutex_;  // guards value_ and stopping_
  std::optional<std::string> value_;
  bool stopping_ = false;
  std::condition_variable wake_;
  std::thread thread_;
};

}  // namespace tw_prof
