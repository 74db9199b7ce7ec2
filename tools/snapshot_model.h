#pragma once

// A snapshot read back for the tools that present it: the process it
// describes, its clock and threads, and its call tree with a named frame for
// every node.

#include "tools/snapshot_reader.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tw::tools {

struct snapshot_process {
  std::string os_name, computer_name, process_name, command_line, user_name, runtime_version;
  std::uint32_t pid = 0;
  std::uint64_t start_filetime = 0;  // when the snapshot began: 100 ns since 1601
};

// The program a command line runs: the application assembly of "dotnet
// [exec] APP.dll ...", else the executable's file name; empty for an empty
// line.
std::string process_name_from_command_line(const std::string& command_line);

// What a call-tree node stands for.
enum class frame_kind : std::uint8_t { managed, native, module, other };

struct frame {
  std::string name;
  frame_kind kind = frame_kind::other;
  std::string module;       // the file a managed method comes from, when known
  std::string module_path;  // and its path, as the target named it
  // A managed method of the program's own, not of the runtime's frameworks.
  bool application = false;
};

// What made a flight recording's capture: its text ("exception
// System.TimeoutException"), when, and how far into the recording.
struct capture_mark {
  std::int64_t tick = 0;
  std::uint32_t ms_into_recording = 0;
  std::string what;
};
// The unhandled exception that killed the program, from its crash report.
struct crash_mark {
  std::int64_t tick = 0;
  std::uint32_t thread = 0;
  std::string exception_type;
};

// What became of the module files a snapshot's modules name: read, not
// found, or found only in another build than the recorded one.
struct module_image_counts {
  std::uint64_t read = 0, missing = 0, other_build = 0;
};

class snapshot_model {
 public:
  // Throws std::runtime_error naming what is wrong with the snapshot.
  explicit snapshot_model(const std::string& index_path);

  const snapshot_reader& reader() const noexcept { return reader_; }
  bool has(std::uint16_t section) const;

  const snapshot_process& process() const noexcept { return process_; }
  module_image_counts module_images() const;
  std::uint64_t timer_resolution() const noexcept { return timer_resolution_; }
  std::int64_t first_tick() const noexcept { return first_tick_; }
  std::int64_t last_tick() const noexcept { return last_tick_; }
  // Times in milliseconds. Ticks are the file's: any two may lie further
  // apart than a 64-bit difference holds.
  double ms_since_start(std::int64_t tick) const noexcept { return ms_between(first_tick_, tick); }
  double ms_between(std::int64_t from, std::int64_t to) const noexcept {
    return (static_cast<double>(to) - static_cast<double>(from)) * ms_per_tick_;
  }

  // Names the session gave its threads, by thread id.
  const std::map<std::uint32_t, std::string>& thread_names() const noexcept { return thread_names_; }
  const std::optional<capture_mark>& capture() const noexcept { return capture_; }
  const std::optional<crash_mark>& crash() const noexcept { return crash_; }

  // Distinct frames: the tiers of one method share one.
  const std::vector<frame>& frames() const noexcept { return frames_; }
  // The frames of the stack whose leaf node is at `leaf`, outermost first;
  // empty for a node the tree does not hold. The root and the nodes that
  // stand for no code are left out.
  void stack(std::uint32_t leaf, std::vector<std::uint32_t>& frames) const;
  // The innermost frame of the program's own in that stack; else the
  // innermost managed one outside the base library, else any managed one;
  // npos when there is none. An event source's own frames (the provider's
  // class, EventSource's WriteEvent) are never it: they only report the
  // event.
  std::uint32_t innermost_caller(std::uint32_t leaf) const;
  static constexpr std::uint32_t npos = 0xFFFFFFFFu;
  // Whether a method (Namespace.Type.Method) is an event source's: its
  // type's name ends in EventSource (KestrelEventSource, and EventSource
  // itself), or it lies in System.Diagnostics.Tracing.
  static bool reports_events(std::string_view method) noexcept;

 private:
  void read_environment();
  void read_session();
  void read_call_tree();

  snapshot_reader reader_;
  snapshot_process process_;
  std::uint64_t timer_resolution_ = 0;
  std::int64_t first_tick_ = 0, last_tick_ = 0;
  double ms_per_tick_ = 0;
  std::map<std::uint32_t, std::string> thread_names_;
  std::optional<capture_mark> capture_;
  std::optional<crash_mark> crash_;

  std::vector<frame> frames_;
  // Per 16-byte slot of the tree's region (a node's offset / 16): the node's
  // parent slot and frame. Nodes are 16 bytes and never overlap, so no two
  // share a slot.
  static constexpr std::uint32_t no_node = 0xFFFFFFFFu;
  std::vector<std::uint32_t> parent_;
  std::vector<std::uint32_t> frame_;
};

}  // namespace tw::tools
