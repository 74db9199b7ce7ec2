#pragma once

// What leaves the decoder: the handler contract, the sequence-point record
// and the outcome of a run.

#include "event_pipe_api/src/nettrace/event_trace_record.h"
#include "event_pipe_api/src/nettrace/trace_object.h"

#include <cstdint>
#include <exception>
#include <span>
#include <utility>
#include <vector>

namespace tarnwell::nettrace {

struct sp_block {
  std::int64_t timestamp = 0;
  // (thread id, sequence number), in stream order.
  std::vector<std::pair<std::int64_t, std::uint32_t>> threads;
};

// The blocks of a stream, for whoever keeps the stream's bytes.
enum class block_kind : std::uint8_t { metadata = 1, stack = 2, event = 3, sequence_point = 4 };

}  // namespace tarnwell::nettrace

namespace tarnwell::collector::event_pipe {

struct consumer_status {
  enum : std::int32_t { stopped = 0, finished = 1, failed = 2 };
  std::int32_t status = stopped;
  std::exception_ptr error;
  std::uint64_t events_lost = 0;  // see StreamParser::events_lost
  // Events handed to the handlers, and the offset just past the last whole
  // object read: where a failed run's usable part ends.
  std::uint64_t events = 0;
  std::uint64_t position = 0;
  // See StreamParser::timestamps_out_of_range.
  std::uint64_t timestamps_out_of_range = 0;
  // A live stream that ended without its end mark: the runtime's process
  // died, or its connection was cut. What came before it is whole.
  bool cut_short = false;
};

class event_pipe_handlers_base {
 public:
  virtual void handle_event(const nettrace::event_trace_record& record, bool is_sorted) = 0;
  virtual void handle_trace_object(const nettrace::TraceObject& trace) = 0;
  virtual void handle_sequence_point(const nettrace::sp_block& sp) = 0;
  // Each block as it lies in the stream, once its events are handled.
  virtual void handle_block(nettrace::block_kind, std::span<const std::uint8_t>) {}
  virtual ~event_pipe_handlers_base() = default;
};

struct empty_trace_object_handler {
  void operator()(const nettrace::TraceObject&) const noexcept {}
};
struct empty_sequence_point_handler {
  void operator()(const nettrace::sp_block&) const noexcept {}
};

template <class OnEvent, class OnTrace = empty_trace_object_handler, class OnSequencePoint = empty_sequence_point_handler>
class event_pipe_handlers final : public event_pipe_handlers_base {
 public:
  explicit event_pipe_handlers(OnEvent on_event, OnTrace on_trace = {}, OnSequencePoint on_sp = {})
      : on_event_(std::move(on_event)), on_trace_(std::move(on_trace)), on_sp_(std::move(on_sp)) {}

  void handle_event(const nettrace::event_trace_record& record, bool is_sorted) override { on_event_(record, is_sorted); }
  void handle_trace_object(const nettrace::TraceObject& trace) override { on_trace_(trace); }
  void handle_sequence_point(const nettrace::sp_block& sp) override { on_sp_(sp); }

 private:
  OnEvent on_event_;
  OnTrace on_trace_;
  OnSequencePoint on_sp_;
};

}  // namespace tarnwell::collector::event_pipe
