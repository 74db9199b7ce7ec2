#pragma once

// The profiler object a front end drives for one .NET process, or for one
// recorded file. For a process it runs three EventPipe sessions: the
// lifetime session (handed in, open while the target lives, telling when it
// ends), a runtime session per snapshot (the events of the timeline) and a
// rundown session started and stopped at once after it (the methods and
// modules loaded before the snapshot began). For a file, a consumer reads
// the file instead.
//
// Threads: the caller's thread starts and stops snapshots; a chain thread per
// snapshot starts the sessions; one consumer thread per session delivers
// events and runs the stop callbacks; the command-line polling thread asks
// the lifetime session; a watcher thread per snapshot reads /proc (thread
// names, module mappings). destroy() may come from any of them.

#include "tw/io/file_factory.h"
#include "collector/src/collector/snapshot_format.h"
#include "event_pipe_timeline_profiler/src/environment.h"
#include "collector/src/collector/snapshot.h"
#include "collector/src/collector/loaders/module_files.h"
#include "event_pipe_timeline_profiler/src/flight_recorder/triggers.h"
#include "tarnwell/common/memory_mapped_file_allocator.h"
#include "event_pipe_api/src/event_pipe_consumer_api.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <variant>

namespace tarnwell::collector::event_pipe {
class event_pipe_session;
}

namespace tw_prof {

class prof_api_base {
 public:
  virtual ~prof_api_base() = default;
  virtual void start_collecting() {}
  virtual void stop_collecting() {}
  virtual void start_group(const char*) {}
  virtual void end_group() {}
  virtual std::unique_ptr<snapshot> start_snapshot(std::unique_ptr<file_factory> factory, const environment& env) = 0;
  // A snapshot of a window (a flight recording) when the settings name one,
  // else a plain snapshot. Throws std::invalid_argument for a trigger it
  // does not understand, before anything starts.
  virtual std::unique_ptr<snapshot> start_snapshot(std::unique_ptr<file_factory> factory, const environment& env,
                                                   const window_settings& window) {
    if (window.windowed()) throw std::runtime_error("This profiler keeps no window");
    return start_snapshot(std::move(factory), env);
  }
  virtual void destroy() = 0;
  virtual bool is_active() const = 0;
  // Returns once is_active() is false.
  virtual void wait_until_inactive() const {
    while (is_active()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  // How the last stream ended (status 2 carries its error).
  virtual tarnwell::collector::event_pipe::consumer_status stream_status() const = 0;
};

struct nettrace_param {
  std::string path;
  std::string parameter;
  tarnwell::collector::event_pipe::progress_function progress;
  tarnwell::collector::module_lookup modules;  // where the recording's module files are looked for
  std::uint32_t call_tree_limit = tarnwell::common::mapped_offset_limit;  // less only in tests
  // Above 1: the handlers run beside the decoding.
  unsigned threads = 1;
};

using profiler_target = std::variant<std::uint32_t, nettrace_param>;

// How long a stop waits for a session's stream to end before it asks again.
inline constexpr std::chrono::milliseconds session_finish_timeout{120000};

struct profiler_options {
  // A runtime suspended at its start is resumed once the session runs.
  bool resume_runtime = false;
  // The task library's events too.
  bool with_tpl = true;
  // A runtime that has just started is asked for its command line until it
  // tells the program's own.
  bool poll_command_line = false;
  // Started, not owned, may be null (nothing then tells that the target has
  // ended but the runtime session's own end).
  tarnwell::collector::event_pipe::event_pipe_session* lifetime_session = nullptr;
  // The snapshot format id (the test variant has its own).
  std::uint32_t snapshot_format = tarnwell::collector::format::timeline_format;
};

std::shared_ptr<prof_api_base> create_netcore_profiler_api(profiler_target target, const profiler_options& options,
                                                           std::unique_ptr<bridge_notifier> notifier);

// The snapshot format id of the test variant.
inline constexpr std::uint32_t test_snapshot_format_id = tarnwell::collector::format::test_format;

}  // namespace tw_prof
