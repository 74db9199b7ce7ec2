#pragma once

// A summary of a converted snapshot, read back from its files.

#include "tools/snapshot_model.h"

#include <cstdint>
#include <map>
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
  double suspension_ms = 0;  // every suspension of the runtime
  // Those for a collection (reasons GC and GC preparation) and the rest,
  // among them the CPU sampler's (reason "other").
  std::uint64_t gc_suspensions = 0, other_suspensions = 0;
  double gc_suspension_ms = 0, other_suspension_ms = 0;
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
  std::vector<caller_count> sql_calls, kestrel_requests_by_caller;
  // Events kept without their stacks because the call tree had no room left
  // for them, and when that began.
  std::uint64_t stacks_without_room = 0;
  std::int64_t first_without_room = 0;
  // Per stream section: the events' call stacks, and those that name a
  // managed method.
  std::map<std::uint16_t, std::pair<std::uint64_t, std::uint64_t>> stacks_naming_a_method;
};

snapshot_summary inspect_snapshot(const std::string& index_path);
void print_text(std::ostream& out, const snapshot_summary& s, std::size_t top = 10);
void print_json(std::ostream& out, const snapshot_summary& s, std::size_t top = 10);

}  // namespace tw::tools
