#pragma once

// Counts a recording's events per (provider, event id, version).

#include "event_pipe_api/src/nettrace/handlers.h"

#include <cstdint>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <tuple>

namespace tw::tools {

struct event_count {
  std::string event_name;
  std::uint64_t count = 0;
  std::uint64_t with_stack = 0;  // of them, recorded with a call stack
  bool dispatched = false;  // the catalogue knows this (provider, id, version)
};

using event_id = std::tuple<std::string, std::uint16_t, std::uint8_t>;

struct trace_stats {
  tarnwell::collector::event_pipe::consumer_status status;
  std::optional<tarnwell::nettrace::TraceObject> trace;
  std::uint64_t file_size = 0;
  std::uint64_t events = 0;
  std::uint64_t sequence_points = 0;
  std::map<event_id, event_count> counts;
};

trace_stats collect_trace_stats(const std::string& file);
void print_text(std::ostream& out, const trace_stats& stats);
void print_json(std::ostream& out, const trace_stats& stats);

}  // namespace tw::tools
