#pragma once

// eptl record: profiles a running .NET process live, as a front end does:
// the library is loaded and driven through its exported functions, and this
// process is the host of its bridge.

#include <atomic>
#include <cstdint>
#include <string>

namespace tw::tools {

struct record_options {
  std::uint32_t pid = 0;
  double seconds = 0;  // 0: until interrupted or the process ends
  std::string out;     // the snapshot's index
};

// Exit codes: 0 saved, 1 failed (throws), 130 dropped by a second
// interrupt. `interrupts` counts the interrupts so far.
int record(const record_options& options, const std::atomic<int>& interrupts);

}  // namespace tw::tools
