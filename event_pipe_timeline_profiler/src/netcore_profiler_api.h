#pragma once

// The profiler object a front end drives: it starts snapshots, feeds the
// runtime's events to the event processor and stops them. This build reads
// recorded files; live targets come with the EventPipe sessions.
//
// Threads: the caller's thread starts and stops snapshots; the file
// consumer's thread delivers events; destroy() may come from either.

#include "api/file_factory.h"
#include "bridge/environment.h"
#include "collector/src/collector/snapshot.h"
#include "event_pipe_api/src/event_pipe_consumer_api.h"

#include <cstdint>
#include <memory>
#include <string>
#include <variant>

namespace tw_prof {

class prof_api_base {
 public:
  virtual ~prof_api_base() = default;
  virtual void start_collecting() {}
  virtual void stop_collecting() {}
  virtual void start_group(const char*) {}
  virtual void end_group() {}
  virtual std::unique_ptr<snapshot> start_snapshot(std::unique_ptr<file_factory> factory, const environment& env) = 0;
  virtual void destroy() = 0;
  virtual bool is_active() const = 0;
  // How the last stream ended (status 2 carries its error).
  virtual tarnwell::collector::event_pipe::consumer_status stream_status() const = 0;
};

struct nettrace_param {
  std::string path;
  std::string parameter;
  tarnwell::collector::event_pipe::progress_function progress;
};

using profiler_target = std::variant<std::uint32_t, nettrace_param>;

std::shared_ptr<prof_api_base> create_netcore_profiler_api(profiler_target target, bool resume_runtime, bool with_tpl,
                                                           bool poll_command_line,
                                                           std::unique_ptr<bridge_notifier> notifier);

// Section 0: the environment and the snapshot's start time.
void write_environment(std::ostream& out, const environment& env, std::uint64_t start_filetime);
// Section 1: the end time.
void write_post_environment(std::ostream& out, std::uint64_t end_filetime);
// 100-nanosecond units since 1601-01-01.
std::uint64_t filetime_now();

}  // namespace tw_prof
