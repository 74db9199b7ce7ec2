#pragma once

// A flight recording of a live process: one runtime session for as long as
// it runs, its stream kept on disk only as far back as a capture needs (a
// block ring), and watched for the triggers that make a capture. What the
// window needs from before it (the methods and modules the runtime
// announced) is kept apart, in memory, so that a capture resolves its stacks
// as well as a snapshot that ran all along.
//
// A capture reads the ring's window back as a stream through a snapshot's
// event processor, as a conversion would; the samples keep the types the
// kernel's accounting gave them as they came.
//
// Threads: the runtime session's consumer and the rundown's hand in events;
// a clock thread watches the process's CPU, notices requests that hang and
// tells the host when a trigger's capture is due; a capture runs on the
// caller's thread while recording goes on. mutex_ guards what was kept and
// the trigger's state; the ring has its own.

#include "event_pipe_api/src/nettrace/block_ring.h"
#include "event_pipe_api/src/nettrace/handlers.h"
#include "event_pipe_timeline_profiler/src/environment.h"
#include "event_pipe_timeline_profiler/src/event_processors/event_processor.h"
#include "event_pipe_timeline_profiler/src/event_processors/sample_kinds.h"
#include "event_pipe_timeline_profiler/src/flight_recorder/triggers.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace tw_prof {

class flight_recorder {
 public:
  // Throws std::invalid_argument for a trigger it does not understand.
  flight_recorder(window_settings settings, std::uint32_t pid, std::shared_ptr<netcore::process_watcher> watcher,
                  runtime_version_t runtime, std::shared_ptr<bridge_notifier> notifier);
  ~flight_recorder();
  flight_recorder(const flight_recorder&) = delete;
  flight_recorder& operator=(const flight_recorder&) = delete;

  std::shared_ptr<tarnwell::collector::event_pipe::event_pipe_handlers_base> runtime_handlers();
  std::shared_ptr<tarnwell::collector::event_pipe::event_pipe_handlers_base> rundown_handlers();

  // What the next capture holds: from where, and what made it (and how far
  // into the recording). Taking it arms the triggers again.
  struct capture_plan {
    std::int64_t from = 0;
    std::optional<fired> trigger;
    std::uint32_t trigger_ms = 0;
  };
  capture_plan take_capture();
  std::unique_ptr<tarnwell::nettrace::block_ring::window> open(std::int64_t from,
                                                               std::shared_ptr<std::deque<std::uint8_t>> types);
  // Replays what was known before the window into a capture's processor.
  void replay(netcore::event_processor& processor) const;

  const window_settings& settings() const noexcept { return settings_; }
  const std::shared_ptr<netcore::process_watcher>& watcher() const noexcept { return watcher_; }
  std::uint64_t ring_bytes() const { return ring_.bytes(); }
  std::int64_t newest() const { return ring_.newest(); }
  // How far back a capture now reaches, in seconds, when the bound on disk
  // keeps less than the window asks; nothing when it keeps all of it.
  std::optional<double> short_window() const;

  // Called by the handlers, on the consumers' threads.
  void trace(const tarnwell::nettrace::TraceObject& t);
  void block(tarnwell::nettrace::block_kind kind, std::span<const std::uint8_t> bytes);
  template <class Provider, std::size_t N>
  void event(const tarnwell::collector::dispatched_event<Provider, N>& e);

 private:
  void fire(std::optional<fired> f);
  void clock();
  std::int64_t now_ticks() const;
  double process_cpu_seconds() const;

  const window_settings settings_;
  const std::uint32_t pid_;
  std::shared_ptr<netcore::process_watcher> watcher_;
  std::shared_ptr<bridge_notifier> notifier_;
  tarnwell::nettrace::block_ring ring_;

  // The runtime consumer's own.
  netcore::live_sample_types sample_types_;
  std::vector<std::uint8_t> block_types_;  // of the block being read
  std::atomic<std::uint64_t> runtime_;     // packed; the rundown's stream may tell it
  bool ring_failed_ = false;

  mutable std::mutex mutex_;
  std::vector<tarnwell::etw_collector::callstacks::managed_method> methods_;
  std::vector<tarnwell::etw_collector::callstacks::managed_module> modules_;
  trigger_watch triggers_;
  std::uint64_t ticks_per_second_ = 1000000000;
  std::int64_t first_tick_ = 0;  // the recording's first event
  std::optional<fired> pending_;  // a trigger whose capture is not taken yet
  bool told_ = false;             // and the host knows

  std::condition_variable wake_;
  bool stopping_ = false;
  std::thread clock_;
};

}  // namespace tw_prof
