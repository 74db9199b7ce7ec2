#pragma once

// Turns decoded runtime events into snapshot records as the timeline table
// (timeline_events.h) says: each kept event is written to its provider's
// stream with its call stack, method and module loads feed the metadata and
// call-tree machinery, every thread met is announced once per snapshot, and
// the process description is kept current.
//
// Threads: consumer threads of several sessions call in at once, and the
// snapshot is attached and detached from another thread; the spin lock
// serialises all of them for the whole of one event.

#include "event_pipe_timeline_profiler/src/crash_report.h"
#include "event_pipe_timeline_profiler/src/environment.h"
#include "event_pipe_api/src/nettrace/event_trace_record.h"
#include "event_pipe_api/src/providers/dispatched_event.h"
#include "event_pipe_api/src/nettrace/trace_object.h"
#include "event_pipe_timeline_profiler/src/event_processors/snapshot_collector.h"
#include "event_pipe_timeline_profiler/src/event_processors/process_watcher.h"
#include "event_pipe_timeline_profiler/src/event_processors/sample_kinds.h"
#include "tw/utility/spinlock.h"

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <map>
#include <set>
#include <unordered_map>
#include <unordered_set>

namespace tw_prof::netcore {

// A flight recording's capture: the stream it reads begins before the
// window, and its samples' types were decided as they arrived.
struct capture_window {
  std::int64_t from = 0;  // events before it are left out, but the loads of methods and modules
  // One byte a sample, in stream order: the record version (how the type
  // was found) in the high four bits, the type in the low four.
  std::shared_ptr<std::deque<std::uint8_t>> sample_types;
};

class event_processor {
 public:
  // live: the target process exists, so thread names can be read from it.
  event_processor(std::shared_ptr<environment> env, std::shared_ptr<bridge_notifier> notifier, bool live);

  void set_trace(const tarnwell::nettrace::TraceObject& trace);
  // When the stream began, by the clock of the machine that recorded it
  // (100 ns since 1601, UTC); 0 before the stream said, or if it said
  // nonsense.
  std::uint64_t trace_start_filetime();
  // The front end's description of the target; what the runtime has told of
  // its version before (the lifetime session hears it first) is kept.
  void reset_environment(const environment& env);
  environment current_environment();
  // Sku and version of the runtime information event of the lifetime session.
  void lifetime_runtime_information(std::uint16_t sku, runtime_version_t version);
  // watcher: what /proc tells of a live target while the snapshot runs;
  // modules: where a recording's module files are looked for (a live
  // target's are read through its root).
  // tree_limit: the call tree's room (the format's unless a test asks for less).
  void attach(const sections_gen& gen, std::shared_ptr<process_watcher> watcher = nullptr,
              tarnwell::collector::module_lookup modules = {},
              std::uint32_t tree_limit = tarnwell::common::mapped_offset_limit,
              std::optional<capture_window> capture = std::nullopt);
  void detach();
  void stop_accepting() noexcept { accepting_.store(false); }

  // What a recording knew before a capture's window: replayed first.
  void module_known(const tarnwell::etw_collector::callstacks::managed_module& m);
  void method_known(const tarnwell::etw_collector::callstacks::managed_method& m);
  // What made a capture, and when.
  void mark_capture(std::int64_t at, std::uint32_t ms_into_recording, const std::string& what);
  // The exception that killed the program, on its thread with its stack, at
  // the time of the last event: frames no announced method holds are named
  // from the report.
  void add_crash(const crash_report& report);

  template <class Provider, std::size_t N>
  void operator()(Provider, const dispatched_event<Provider, N>& e);
  void unknown(const tarnwell::nettrace::event_trace_record& r);

 private:
  template <class Provider, std::size_t N>
  void process(const dispatched_event<Provider, N>& e);
  void announce_thread(std::int64_t timestamp, std::uint32_t thread_id);
  // A live target's sample, judged by its thread's CPU time.
  void live_sample(std::int64_t timestamp, std::uint32_t thread_id, std::uint8_t flag,
                   const tarnwell::nettrace::stack_view& stack);
  void method_loaded(const tarnwell::etw_collector::callstacks::managed_method& m);
  void write_thread_name(std::int64_t timestamp, std::uint32_t thread_id, bool warn);
  void process_info(const tw::utf16_text& command_line, const tw::utf16_text* os, const tw::utf16_text* arch);
  void runtime_version(std::uint16_t sku, runtime_version_t version);

  tw::spinlock lock_;
  std::optional<netcore_snapshot_collector> collector_;
  std::optional<std::int64_t> first_time_, last_time_;
  std::uint64_t timer_resolution_ = 0;
  std::uint64_t trace_start_filetime_ = 0;
  std::uint32_t pid_ = 0;
  std::atomic<bool> accepting_{true};
  // Threads announced in this snapshot, with the name written for each
  // (empty: none could be read).
  std::map<std::uint32_t, std::string> threads_;
  std::unordered_map<std::uint32_t, std::string> last_exception_;  // each thread's last thrown type, live
  std::shared_ptr<process_watcher> watcher_;
  std::shared_ptr<environment> env_;
  std::shared_ptr<bridge_notifier> notifier_;
  bool live_;
  std::set<const void*> unknown_seen_;
  // The snapshot's methods in which threads wait, by method index.
  std::unordered_set<std::uint32_t> waiting_methods_;
  std::optional<live_sample_types> live_types_;
  std::optional<capture_window> capture_;
  std::optional<std::uint8_t> given_type_;  // the current sample's, in a capture
};

}  // namespace tw_prof::netcore

#include "event_pipe_timeline_profiler/src/event_processors/event_processor_impl.h"
