#pragma once

// What the timeline keeps of each catalogue event, in one table per provider
// keyed by event key (id << 16 | version): the record kind in the provider's
// stream, how the record's body is made from the payload, whether a
// call-stack record follows it, and the event's role when it feeds the
// metadata or the process description instead of (or besides) a record.
// The event processor, the stream writers and their tests all read it; an
// event without a row is decoded and dropped.

#include "collector/src/collector/snapshot_format.h"
#include "event_pipe_api/src/providers/providers.h"

#include <array>
#include <cstddef>
#include <cstdint>

namespace tarnwell::collector::inproc {

// How a record's body is made.
enum class body : std::uint8_t {
  none,               // the header alone
  raw,                // payload bytes up to the end of field `last_field`
  prefixed,           // the same bytes, preceded by their length
  fields,             // fields 0..last_field one by one (text as length-prefixed UTF-16)
  activity,           // the event's activity id
  one_byte_prefixed,  // the low byte of field 1, then the prefixed bytes
};

enum class role : std::uint8_t {
  record,               // written as a record of its kind (kind 0: not written)
  method_load,          // a method's code range for the call-tree resolver
  module_load,          // a module for the metadata sections
  runtime_information,  // the runtime's version for the process description
  process_info,         // the command line, operating system and architecture
  thread_sample,        // a sample of the sampler's stream
};

// Whether a call-stack record follows the event's record: never, always
// (one whose event carries no stack names no frame), or when the event was
// recorded with a stack.
enum class stack : std::uint8_t { none, written, when_recorded };

struct timeline_event {
  std::uint32_t key = 0;
  std::uint16_t kind = 0;
  body form = body::none;
  int last_field = -1;
  stack call_stack = stack::none;
  role what = role::record;
};

using stream_section_id = format::section_id;

// The record kinds of each stream, as the format names them.
namespace rk = format::runtime_kind;
namespace tk = format::task_kind;
namespace sk = format::sql_kind;
namespace kk = format::kestrel_kind;
namespace sample_kind = format::sample_kind;

template <class Provider>
struct timeline;

template <>
struct timeline<Microsoft_Windows_DotNETRuntime> {
  static constexpr stream_section_id stream = format::runtime_stream;
  static constexpr bool spans_session = true;
  static constexpr auto s = stack::written;
  static constexpr auto r = stack::when_recorded;
  static constexpr std::array events{
      timeline_event{event_key(1, 1), rk::gc_start, body::raw, 3, s},  // GC start
      timeline_event{event_key(1, 2), rk::gc_start, body::raw, 3, s},
      timeline_event{event_key(2, 0), rk::gc_end, body::raw, 0, r},  // GC end
      timeline_event{event_key(2, 1), rk::gc_end, body::raw, 0, r},
      timeline_event{event_key(3, 1), rk::restart_end, body::none, -1, r},  // restart EE end
      timeline_event{event_key(4, 0), rk::heap_stats_v0, body::raw, 12, r},  // heap stats
      timeline_event{event_key(4, 1), rk::heap_stats_v1, body::raw, 13, r},
      timeline_event{event_key(4, 2), rk::heap_stats_v2, body::raw, 15, r},
      timeline_event{event_key(9, 0), rk::suspend_v0, body::raw, 0, r},  // suspend EE begin
      timeline_event{event_key(9, 1), rk::suspend_v1, body::raw, 0, r},
      timeline_event{event_key(10, 0), rk::allocation_tick_v0, body::raw, 1, s},  // allocation tick
      timeline_event{event_key(10, 1), rk::allocation_tick_v1, body::raw, 2, s},
      timeline_event{event_key(10, 2), rk::allocation_tick_v2, body::one_byte_prefixed, 2, s},
      timeline_event{event_key(10, 3), rk::allocation_tick_v2, body::one_byte_prefixed, 2, s},
      timeline_event{event_key(10, 4), rk::allocation_tick_v2, body::one_byte_prefixed, 2, s},
      timeline_event{event_key(14, 1), rk::finalizers_begin, body::none, -1, r},  // finalizers begin
      timeline_event{event_key(80, 1), rk::exception, body::prefixed, 1, s},  // exception thrown
      timeline_event{event_key(81, 1), rk::contention_start, body::none, -1, s},  // contention start
      timeline_event{event_key(81, 2), rk::contention_start_v2, body::raw, 4, s},
      timeline_event{event_key(91, 0), rk::contention_stop, body::none, -1, r},  // contention stop
      timeline_event{event_key(91, 1), rk::contention_stop, body::none, -1, r},
      timeline_event{event_key(143, 0), 0, body::none, -1, s, role::method_load},  // method load verbose
      timeline_event{event_key(143, 1), 0, body::none, -1, s, role::method_load},
      timeline_event{event_key(143, 2), 0, body::none, -1, s, role::method_load},
      timeline_event{event_key(145, 0), rk::jit_started, body::raw, 0, s},  // JIT started
      timeline_event{event_key(145, 1), rk::jit_started, body::raw, 0, s},
      timeline_event{event_key(152, 0), 0, body::none, -1, stack::none, role::module_load},
      timeline_event{event_key(152, 1), 0, body::none, -1, stack::none, role::module_load},
      timeline_event{event_key(152, 2), 0, body::none, -1, stack::none, role::module_load},
      timeline_event{event_key(152, 3), 0, body::none, -1, stack::none, role::module_load},
      timeline_event{event_key(190, 0), rk::il_map_v0, body::prefixed, 6, r},  // IL to native map
      timeline_event{event_key(190, 1), rk::il_map_v1, body::prefixed, 7, r},
      timeline_event{event_key(240, 0), rk::debug_ipc_start, body::activity, -1, r},  // debug IPC event start
      timeline_event{event_key(241, 0), rk::debug_ipc_stop, body::activity, -1, r},  // and stop
  };
};

template <>
struct timeline<Microsoft_Windows_DotNETRuntimeRundown> {
  static constexpr bool spans_session = false;
  static constexpr std::array events{
      timeline_event{event_key(144, 0), 0, body::none, -1, stack::none, role::method_load},  // method DC end verbose
      timeline_event{event_key(144, 1), 0, body::none, -1, stack::none, role::method_load},
      timeline_event{event_key(144, 2), 0, body::none, -1, stack::none, role::method_load},
      timeline_event{event_key(154, 0), 0, body::none, -1, stack::none, role::module_load},  // module DC end
      timeline_event{event_key(154, 1), 0, body::none, -1, stack::none, role::module_load},
      timeline_event{event_key(154, 2), 0, body::none, -1, stack::none, role::module_load},
      timeline_event{event_key(154, 3), 0, body::none, -1, stack::none, role::module_load},
      timeline_event{event_key(187, 0), 0, body::none, -1, stack::none, role::runtime_information},
  };
};

template <>
struct timeline<Microsoft_DotNETCore_EventPipe> {
  static constexpr bool spans_session = false;
  static constexpr std::array events{
      timeline_event{event_key(1, 0), 0, body::none, -1, stack::none, role::process_info},
      timeline_event{event_key(1, 1), 0, body::none, -1, stack::none, role::process_info},
  };
};

// Samples land in the sampler's own stream (SampleProvider), kind 4.
template <>
struct timeline<Microsoft_DotNETCore_SampleProfiler> {
  static constexpr bool spans_session = true;
  static constexpr std::array events{
      timeline_event{event_key(0, 0), sample_kind::sample, body::none, -1, stack::written, role::thread_sample},
  };
};

template <>
struct timeline<System_Threading_Tasks_TplEventSource> {
  static constexpr stream_section_id stream = format::task_stream;
  static constexpr bool spans_session = true;
  static constexpr auto r = stack::when_recorded;
  static constexpr std::array events{
      timeline_event{event_key(7, 1), tk::scheduled, body::raw, 2, r},  // task scheduled
      timeline_event{event_key(10, 3), tk::wait_begin, body::raw, 2, r},  // task wait begin
      timeline_event{event_key(14, 1), tk::operation_begin, body::prefixed, 1, r},  // operation begin
      timeline_event{event_key(15, 1), tk::operation_end, body::raw, 0, r},  // operation end
      timeline_event{event_key(17, 1), tk::work_begin, body::raw, 0, r},  // synchronous work begin
      timeline_event{event_key(18, 1), tk::work_end, body::raw, 0, r},  // and end
  };
};

template <>
struct timeline<Microsoft_Data_SqlClient_EventSource> {
  static constexpr stream_section_id stream = format::sqlclient_stream;
  static constexpr bool spans_session = true;
  static constexpr auto r = stack::when_recorded;
  static constexpr std::array events{
      timeline_event{event_key(3, 0), sk::trace, body::prefixed, 0, r},  // trace
      timeline_event{event_key(4, 0), sk::scope_start, body::prefixed, 0, r},  // scope enter
      timeline_event{event_key(5, 0), sk::scope_stop, body::prefixed, 0, r},  // scope leave
      timeline_event{event_key(9, 0), sk::pooler_scope, body::prefixed, 0, r},  // pooler scope enter
      timeline_event{event_key(17, 0), sk::correlation, body::prefixed, 0, r},  // correlation trace
  };
};

template <>
struct timeline<Microsoft_AspNetCore_Server_Kestrel> {
  static constexpr stream_section_id stream = format::kestrel_stream;
  static constexpr bool spans_session = true;
  static constexpr auto r = stack::when_recorded;
  static constexpr std::array events{
      timeline_event{event_key(1, 0), kk::connection_start, body::fields, 2, r},  // connection start
      timeline_event{event_key(2, 0), kk::connection_stop, body::prefixed, 0, r},  // connection stop
      timeline_event{event_key(3, 0), kk::request_start, body::prefixed, 1, r},  // request start
      timeline_event{event_key(4, 0), kk::request_stop, body::prefixed, 1, r},  // request stop
  };
};

// The collector's own streams.
template <>
struct timeline<SampleProvider> {
  static constexpr stream_section_id stream = format::sample_stream;
};
template <>
struct timeline<ProfilerSessionDataProvider> {
  static constexpr stream_section_id stream = format::session_stream;
};

// The row of an event, or a row of kind 0 (nothing kept) when it has none.
template <class Provider>
constexpr timeline_event timeline_event_of(std::uint32_t key) noexcept {
  for (const auto& e : timeline<Provider>::events)
    if (e.key == key) return e;
  return timeline_event{key};
}

// Every row names an event the catalogue dispatches: a row the decoder can
// never deliver is a typo.
template <class Provider>
consteval bool rows_are_in_the_catalogue() {
  for (const auto& e : timeline<Provider>::events)
    if (Provider::events::index_of(e.key) == Provider::events::size) return false;
  return true;
}
// Every record a row writes has its layout in the format: a reader can
// delimit it.
template <class Provider>
consteval bool rows_have_layouts() {
  for (const auto& e : timeline<Provider>::events)
    if (e.kind != 0 && e.what == role::record && !format::has_layout(timeline<Provider>::stream.id, e.kind))
      return false;
  return true;
}
static_assert(rows_have_layouts<Microsoft_Windows_DotNETRuntime>());
static_assert(rows_have_layouts<System_Threading_Tasks_TplEventSource>());
static_assert(rows_have_layouts<Microsoft_Data_SqlClient_EventSource>());
static_assert(rows_have_layouts<Microsoft_AspNetCore_Server_Kestrel>());

static_assert(rows_are_in_the_catalogue<Microsoft_Windows_DotNETRuntime>());
static_assert(rows_are_in_the_catalogue<Microsoft_Windows_DotNETRuntimeRundown>());
static_assert(rows_are_in_the_catalogue<Microsoft_DotNETCore_EventPipe>());
static_assert(rows_are_in_the_catalogue<Microsoft_DotNETCore_SampleProfiler>());
static_assert(rows_are_in_the_catalogue<System_Threading_Tasks_TplEventSource>());
static_assert(rows_are_in_the_catalogue<Microsoft_Data_SqlClient_EventSource>());
static_assert(rows_are_in_the_catalogue<Microsoft_AspNetCore_Server_Kestrel>());

}  // namespace tarnwell::collector::inproc
