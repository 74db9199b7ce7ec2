#include "event_pipe_api/src/nettrace/handler_thread.h"

namespace tarnwell::nettrace {

handler_thread::handler_thread(std::shared_ptr<collector::event_pipe::event_pipe_handlers_base> handlers)
    : handlers_(std::move(handlers)) {
  batch_.reserve(batch_size);
  thread_ = std::thread([this] { run(); });
}

handler_thread::~handler_thread() { stop(); }

void handler_thread::stop() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    queue_.clear();
  }
  changed_.notify_all();
  thread_.join();
}

void handler_thread::handle_event(const event_trace_record& record, bool is_sorted) {
  add(std::pair{record, is_sorted});
}

void handler_thread::handle_trace_object(const TraceObject& trace) { add(trace); }

void handler_thread::handle_sequence_point(const sp_block& sp) { add(sp); }

void handler_thread::handle_block(block_kind kind, std::span<const std::uint8_t> bytes) {
  add(block_call{kind, bytes});
}

void handler_thread::add(call c) {
  batch_.push_back(std::move(c));
  if (batch_.size() == batch_size) hand_over();
}

void handler_thread::hand_over() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return queue_.size() < queued_batches || failure_; });
  rethrow_failure();
  queue_.push_back(std::move(batch_));
  if (!spare_.empty()) {
    batch_ = std::move(spare_.back());
    spare_.pop_back();
  } else {
    batch_ = {};
    batch_.reserve(batch_size);
  }
  changed_.notify_all();
}

void handler_thread::finish() {
  if (!batch_.empty()) hand_over();
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return (queue_.empty() && !working_) || failure_; });
  rethrow_failure();
}

// Under mutex_.
void handler_thread::rethrow_failure() {
  if (failure_) std::rethrow_exception(failure_);
}

void handler_thread::run() {
  struct visitor {
    collector::event_pipe::event_pipe_handlers_base& handlers;
    void operator()(const std::pair<event_trace_record, bool>& e) const { handlers.handle_event(e.first, e.second); }
    void operator()(const TraceObject& t) const { handlers.handle_trace_object(t); }
    void operator()(const sp_block& sp) const { handlers.handle_sequence_point(sp); }
    void operator()(const block_call& b) const { handlers.handle_block(b.kind, b.bytes); }
  };
  for (;;) {
    std::vector<call> batch;
    {
      std::unique_lock lock(mutex_);
      changed_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (stopping_) return;
      batch = std::move(queue_.front());
      queue_.pop_front();
      working_ = true;
      changed_.notify_all();  // room for the next batch
    }
    std::exception_ptr failure;
    try {
      for (const auto& c : batch) std::visit(visitor{*handlers_}, c);
    } catch (...) {
      failure = std::current_exception();
    }
    batch.clear();
    std::lock_guard lock(mutex_);
    working_ = false;
    spare_.push_back(std::move(batch));
    if (failure) {
      failure_ = failure;
      queue_.clear();
    }
    changed_.notify_all();
    if (failure) return;
  }
}

}  // namespace tarnwell::nettrace
