#pragma once

// eptl record: profiles a .NET process live, as a front end does: the
// library is loaded and driven through its exported functions, and this
// process is the host of its bridge. The process is a running one, or a
// program started here, suspended until its snapshot runs.

#include "event_pipe_timeline_profiler/src/flight_recorder/triggers.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace tw::tools {

struct record_options {
  std::uint32_t pid = 0;  // a running process, or 0 with `command`
  // A program to start suspended and profile from its first instruction,
  // through a diagnostic port of this recording's own.
  std::vector<std::string> command;
  double seconds = 0;  // 0: until interrupted or the process ends
  std::string out;     // the snapshot's index
  // A flight recording: only the last stretch is kept, and saved when a
  // trigger fires (as OUT, then OUT-2, ... up to `captures`) or the
  // recording ends.
  tw_prof::window_settings window;
  unsigned captures = 1;
};

// The name of a flight recording's Nth capture (N from 1): OUT, then
// NAME-2.EXT, NAME-3.EXT...
std::string capture_name(const std::string& out, unsigned n);

// Exit codes: 0 saved, 1 failed (throws), 130 dropped by a second
// interrupt. `interrupts` counts the interrupts so far.
int record(const record_options& options, const std::atomic<int>& interrupts);

}  // namespace tw::tools
