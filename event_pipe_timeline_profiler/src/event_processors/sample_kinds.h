#pragma once

// What a sampled thread was doing: running managed code, running native code
// or waiting. The runtime flags each sample as managed or external code, and
// since .NET 9 it flags nearly every sample external (dotnet/runtime#123996;
// 10.0 was mended in its servicing line, 9.0 was not). What decides instead:
// - live, the kernel's accounting of each thread's CPU time (did the thread
//   run while it was sampled?), with the flag, where it can be trusted, to
//   tell managed from native code;
// - in a recording, the method the thread was in: the runtime parks waiting
//   threads in a few methods of its own.

#include "collector/src/collector/snapshot_format.h"
#include "event_pipe_timeline_profiler/src/environment.h"
#include "event_pipe_timeline_profiler/src/event_processors/process_watcher.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <utility>

namespace tw_prof::netcore {

namespace sample_type = tarnwell::collector::format::sample_type;

// The runtime's flag values.
inline constexpr std::uint8_t flag_external = 1, flag_managed = 2;

enum class flag_trust : std::uint8_t { reliable, unreliable, unknown };

// Whether a runtime of this version flags its samples rightly; unknown for
// a version of zero (a recording that does not say).
flag_trust flag_trust_of(const runtime_version_t& version);

// A method of the runtime's own in which threads wait: monitor and handle
// waits, the thread pool's semaphore, sleeps and joins, socket and epoll
// waits. `type` is the method's type with its namespace, as the method load
// events give it.
bool is_waiting_method(std::u16string_view type, std::u16string_view name);

// What the innermost frame of a sample's stack is.
enum class leaf_kind : std::uint8_t { waiting_method, other_method, no_method };

// A recorded sample's type, from the flag and its stack's leaf. A thread the
// flag puts outside managed code is waiting when its leaf is a waiting
// method (or no method at all), else running native code; with an unreliable
// flag the leaf alone decides.
std::uint8_t type_from_stack(std::uint8_t flag, leaf_kind leaf, bool flag_reliable) noexcept;

// A live sample's type from the kernel's accounting. `ran` says whether the
// thread ran in the interval sampled, `nothing` when the kernel could not
// say (the thread was not seen): the flag decides then.
std::uint8_t type_from_kernel(std::uint8_t flag, std::optional<bool> ran, bool flag_reliable) noexcept;

// Turns each thread's share of CPU time in an interval into a decision per
// sample, so that over an interval the samples found running match the
// share: the error of each decision is carried to the thread's next sample.
// The sampler itself stops every thread in managed code for a while at each
// sample (a tenth to a sixth of the time, measured here), so a thread that
// ran three quarters of an interval or more is taken to have run all of it,
// and one that ran a quarter or less none of it.
class share_dither {
 public:
  bool ran(double share) noexcept {
    error_ += stretched(share);
    const bool running = error_ >= 0.5;
    if (running) error_ -= 1.0;
    return running;
  }
  // A sample known to be running (the flag says managed code) takes its
  // share without a decision.
  void took(double share) noexcept { error_ += stretched(share) - 1.0; }

 private:
  static double stretched(double share) noexcept {
    return share >= 0.75 ? 1.0 : share <= 0.25 ? 0.0 : (share - 0.25) * 2.0;
  }
  double error_ = 0;
};

// The types of a live target's samples, from its threads' CPU time as the
// watcher reads it. Belongs to the one thread that handles the samples.
class live_sample_types {
 public:
  explicit live_sample_types(std::shared_ptr<process_watcher> watcher) : watcher_(std::move(watcher)) {}
  // The trace's clock: ticks per second (the runtime's clock on Linux is
  // CLOCK_MONOTONIC in nanoseconds).
  void set_resolution(std::uint64_t ticks_per_second) noexcept { resolution_ = ticks_per_second; }
  // A sample's type and the record version that says how it was found.
  std::pair<std::uint8_t, std::uint8_t> operator()(std::int64_t timestamp, std::uint32_t thread_id, std::uint8_t flag,
                                                   bool flag_reliable);
  // Samples of a reliable flag the kernel judged, and those it judged as
  // the flag did.
  std::pair<std::uint64_t, std::uint64_t> flag_checks() const noexcept { return checks_; }

 private:
  std::shared_ptr<process_watcher> watcher_;
  std::uint64_t resolution_ = 1000000000;
  std::unordered_map<std::uint32_t, share_dither> dithers_;  // by thread
  std::pair<std::uint64_t, std::uint64_t> checks_;
};

// The decision of an unknown runtime's flag from its samples: it is
// unreliable when many samples stand in methods that are no waits and
// hardly any of them is flagged managed.
class flag_vote {
 public:
  void count(std::uint8_t flag, leaf_kind leaf) noexcept {
    if (leaf != leaf_kind::other_method) return;
    ++running_by_stack_;
    if (flag == flag_managed) ++flagged_managed_;
  }
  bool reliable() const noexcept;

 private:
  std::uint64_t running_by_stack_ = 0, flagged_managed_ = 0;
};

}  // namespace tw_prof::netcore
