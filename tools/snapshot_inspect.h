#pragma once

// A summary of a converted snapshot, read back from its files.

#include "tools/snapshot_model.h"

#include <cstdint>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace tw::tools {

struct method_samples {
  std::string name;
  std::uint64_t exclusive = 0;
  std::uint64_t inclusive = 0;
};

struct snapshot_summary {
  std::string os_name, computer_name, process_name, command_line, user_name, runtime_version;
  std::uint32_t pid = 0;
  module_image_counts module_images;
  std::optional<capture_mark> capture;
  std::optional<crash_mark> crash;
  std::uint64_t timer_resolution = 0;
  std::int64_t first_tick = 0, last_tick = 0;
  std::map<std::pair<std::uint16_t, std::uint16_t>, std::uint64_t> records;  // (section, kind) -> count
  std::uint64_t threads = 0;
  std::uint64_t gc_count = 0;
  // The runtime's suspensions, by the reason it gave (1 a collection, 6 the
  // preparation of one, 0 anything else, the CPU sampler among them).
  struct suspension_totals {
    std::uint64_t count = 0;
    double ms = 0;
  };
  std::map<std::uint32_t, suspension_totals> suspensions;
  std::map<std::string, std::uint64_t> exceptions;
  std::uint64_t contentions = 0;
  double contention_ms = 0;
  std::vector<std::string> kestrel_requests;  // "connection/request" of each request start
  std::vector<std::string> kestrel_request_stops;
  std::vector<std::string> kestrel_connections, kestrel_connection_stops;  // connection ids
  std::vector<std::uint32_t> gc_numbers;  // the Count of each collection start, in order
  std::map<std::uint32_t, std::string> thread_names;
  std::map<std::uint32_t, std::uint64_t> samples_per_thread;
  std::uint64_t samples = 0;
  std::uint64_t samples_with_stack = 0;
  std::uint64_t samples_resolved_managed = 0;  // a managed method at the leaf
  // By the sample's type: the thread running managed code, running native
  // code, or waiting.
  std::uint64_t samples_managed = 0, samples_native = 0, samples_waiting = 0, samples_other_type = 0;
  // How the types were found out, beside the runtime's flag: from the stacks
  // (the flag is unreliable), or from the kernel's CPU accounting.
  bool types_from_stacks = false, types_from_kernel = false;
  // Of the samples of threads running managed code (or of no known type),
  // by exclusive samples, most first.
  std::vector<method_samples> methods;
  // Of the samples of threads waiting, and of those running native code, by
  // the innermost managed method of each (its count in `exclusive`), most
  // first.
  std::vector<method_samples> waits, natives;
  // Where the program made its SqlClient calls ("SqlConnection.Open", ...)
  // and which code met its Kestrel requests: the innermost method of the
  // program's own on the event's stack, else the innermost managed one;
  // most first.
  struct caller_count {
    std::string what, caller;
    std::uint64_t count = 0;
  };
  std::vector<caller_count> sql_calls;
  // Kestrel requests: the times of those that ended, all together and by
  // the method that met them (most requests first). A request's method,
  // path and status are not among the events the snapshot keeps.
  struct request_times {
    std::string caller;  // empty for all of them
    std::uint64_t count = 0, ended = 0;
    double p50_ms = 0, p95_ms = 0, max_ms = 0;
  };
  request_times requests;
  std::vector<request_times> requests_by_caller;
  // The runtime's allocation ticks (one each time about 100 KB more were
  // allocated): their bytes by heap (0 small objects, 1 large, 2 pinned),
  // and by the method that allocated, most bytes first. The ticks' type
  // names are not among the events the snapshot keeps.
  std::uint64_t allocation_ticks = 0;
  std::map<std::uint32_t, std::uint64_t> allocated_by_heap;
  struct allocation_row {
    std::string caller;
    std::uint64_t ticks = 0, bytes = 0;
  };
  std::vector<allocation_row> allocations_by_caller;
  // The stretch the tables count, in seconds from the snapshot's start,
  // when one was asked for.
  std::optional<double> from_s, to_s;
  // Events kept without their stacks because the call tree had no room left
  // for them, and when that began.
  std::uint64_t stacks_without_room = 0;
  std::int64_t first_without_room = 0;
  // Per stream section: the events' call stacks, and those that name a
  // managed method.
  std::map<std::uint16_t, std::pair<std::uint64_t, std::uint64_t>> stacks_naming_a_method;
};

// The whole snapshot, or the events from `from_s` up to `to_s` seconds
// after its start.
snapshot_summary inspect_snapshot(const std::string& index_path, std::optional<double> from_s = {},
                                  std::optional<double> to_s = {});
snapshot_summary inspect_snapshot(const snapshot_model& model, std::optional<double> from_s = {},
                                  std::optional<double> to_s = {});
// A reason the runtime gives for a suspension, as a person says it: "for
// garbage collections", "for the debugger", ...
std::string suspension_cause(std::uint32_t reason);
void print_text(std::ostream& out, const snapshot_summary& s, std::size_t top = 10);
void print_json(std::ostream& out, const snapshot_summary& s, std::size_t top = 10);

}  // namespace tw::tools
