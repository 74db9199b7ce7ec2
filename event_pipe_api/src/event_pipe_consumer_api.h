#pragma once

// Runs the nettrace parser on a thread of its own, over a recorded file or a
// live session's stream, and reports how the run ended. All handler calls,
// progress calls and on_stop run on that thread.

#include "event_pipe_api/src/nettrace/handlers.h"
#include "event_pipe_api/src/nettrace/stream_source.h"

#include <chrono>
#include <exception>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <stdexcept>

namespace tarnwell::collector::event_pipe {

using progress_function = std::function<int(unsigned long, unsigned long, unsigned long)>;
using on_stop_function = std::function<void(consumer_status)>;

// Thrown by a caller's progress function to abandon a run.
class cancel_processing : public std::exception {
 public:
  const char* what() const noexcept override { return "Processing is cancelled"; }
};

// Whether `e` holds a cancel_processing.
inline bool is_cancellation(const std::exception_ptr& e) {
  if (!e) return false;
  try {
    std::rethrow_exception(e);
  } catch (const cancel_processing&) {
    return true;
  } catch (...) {
    return false;
  }
}

class session_stopped : public std::runtime_error {
 public:
  session_stopped() : std::runtime_error("EventPipe session is already stopped by consumer") {}
};

// progress(position, file size, 0) returning 0 stops the run (status 0).
// With `threads` above 1 the handlers run on a thread of their own beside
// the decoding (a regular file only): they see the same calls in the same
// order.
std::future<consumer_status> consume_from_file(std::filesystem::path file, progress_function progress,
                                               std::shared_ptr<event_pipe_handlers_base> handlers, bool hex_dump,
                                               on_stop_function on_stop, unsigned threads = 1);

// Runs synchronously on the calling thread; what consume_from_file runs.
consumer_status run_file(const std::filesystem::path& file, const progress_function& progress,
                         const std::shared_ptr<event_pipe_handlers_base>& handlers, bool hex_dump,
                         unsigned threads = 1);
// Any source, on the calling thread; progress (may be empty) gets positions.
consumer_status run_source(nettrace::stream_source& source, const progress_function& progress,
                           const std::shared_ptr<event_pipe_handlers_base>& handlers);

class event_pipe_session;

// The live run: reads the session's main stream on a thread of its own until
// the stream ends; progress(position, 0, 0) returning 0 stops it.
std::future<consumer_status> consume_live(event_pipe_session* session, progress_function progress,
                                          std::shared_ptr<event_pipe_handlers_base> handlers, bool hex_dump,
                                          on_stop_function on_stop);

class event_pipe_consumer {
 public:
  // A live run over the session's main stream; its progress always goes on.
  // Destroying the consumer stops the session, then waits for the run.
  event_pipe_consumer(event_pipe_session* session, std::shared_ptr<event_pipe_handlers_base> handlers, bool hex_dump,
                      on_stop_function on_stop);
  event_pipe_consumer(std::filesystem::path file, progress_function progress,
                      std::shared_ptr<event_pipe_handlers_base> handlers, bool hex_dump, on_stop_function on_stop,
                      unsigned threads = 1);
  ~event_pipe_consumer();
  event_pipe_consumer(const event_pipe_consumer&) = delete;
  event_pipe_consumer& operator=(const event_pipe_consumer&) = delete;

  std::future_status wait_for(std::chrono::milliseconds timeout) const;
  consumer_status wait_for_result() const;

 private:
  event_pipe_session* session_ = nullptr;
  std::shared_future<consumer_status> result_;
};

}  // namespace tarnwell::collector::event_pipe
