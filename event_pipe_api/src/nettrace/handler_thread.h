#pragma once

// A stream's handlers on a thread of their own: the parser decodes the next
// blocks while the handlers work through the last ones. Only for a stable
// source (its bytes stay put while it lives), since a decoded event points
// into them. The handlers see every call in the order the parser made it,
// from one thread, so what they make is what they would make called directly.
//
// Threads: the parser's thread calls the handler functions and finish(); the
// handler thread calls the handlers. The mutex guards the queue and the
// failure; a batch belongs to one side at a time.

#include "event_pipe_api/src/nettrace/handlers.h"

#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

namespace tarnwell::nettrace {

class handler_thread final : public collector::event_pipe::event_pipe_handlers_base {
 public:
  explicit handler_thread(std::shared_ptr<collector::event_pipe::event_pipe_handlers_base> handlers);
  // What is still queued is dropped.
  ~handler_thread() override;
  handler_thread(const handler_thread&) = delete;
  handler_thread& operator=(const handler_thread&) = delete;

  // Each queues the call; one rethrows what a handler threw, and from then
  // on nothing more is handled.
  void handle_event(const event_trace_record& record, bool is_sorted) override;
  void handle_trace_object(const TraceObject& trace) override;
  void handle_sequence_point(const sp_block& sp) override;
  void handle_block(block_kind kind, std::span<const std::uint8_t> bytes) override;

  // Returns once every call so far is handled; rethrows what a handler threw.
  void finish();
  // Drops what is queued and returns once the handlers are no longer called
  // (the batch in hand is handled to its end): after it, what the calls
  // pointed to may go.
  void stop();

 private:
  struct block_call {
    block_kind kind;
    std::span<const std::uint8_t> bytes;
  };
  using call = std::variant<std::pair<event_trace_record, bool>, TraceObject, sp_block, block_call>;
  // Calls go over in batches: one lock for many events.
  static constexpr std::size_t batch_size = 2048;
  static constexpr std::size_t queued_batches = 8;

  void add(call c);
  void hand_over();
  void run();
  void rethrow_failure();

  std::shared_ptr<collector::event_pipe::event_pipe_handlers_base> handlers_;
  std::vector<call> batch_;  // the parser's, filling
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::vector<call>> queue_;
  std::vector<std::vector<call>> spare_;  // handled batches, for reuse
  bool working_ = false;                  // the handler thread holds a batch
  bool stopping_ = false;
  std::exception_ptr failure_;
  std::thread thread_;
};

}  // namespace tarnwell::nettrace
