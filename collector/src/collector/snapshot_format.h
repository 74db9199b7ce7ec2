#pragma once

// The timeline snapshot's format, said once: the index's format ids, every
// section the profiler writes with its id and version, the record kinds of
// the event streams, and how long each record's body is. The writers write
// what it says, eptl's readers read by it, and the scripts take their numbers
// from it (scripts/snapshot_format.py reads this file).
//
// An event stream is a run of records: a 14-byte header (the timestamp, i64;
// the thread id, u32; the kind word, u16: version << 12 | kind), then the
// body. A call-stack record (kind word 0x2000) follows the record whose stack
// it holds.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace tarnwell::collector::format {

// A snapshot's files: its index, then the section files named after it,
// INDEX.0000, INDEX.0001, ... (the number as at least four upper-case
// hexadecimal digits).
inline std::string section_file_path(const std::string& index, std::size_t number) {
  char suffix[24];
  std::snprintf(suffix, sizeof suffix, ".%04zX", number);
  std::string path = index;
  path += suffix;
  return path;
}

// The index: "MF", the format id, the section count, the section table.
inline constexpr std::uint16_t index_signature = 0x464D;
inline constexpr std::uint32_t timeline_format = 0x4D455444;
inline constexpr std::uint32_t test_format = 0x12345678;

struct section_id {
  std::uint16_t id = 0, version = 0;
};

// Written by the profiler itself.
inline constexpr section_id environment{0, 9};
inline constexpr section_id end_time{1, 0};
inline constexpr section_id sequence_points{2161, 0};
// Module metadata: each module's image headers and metadata, and its path.
inline constexpr section_id module_images{256, 2};
inline constexpr section_id module_paths{272, 0};
// What a module path record says of its file (the u16 after the index).
namespace module_path_kind {
inline constexpr std::uint16_t read = 1;  // its image is the record of this index in module_images
// A file of that name was found but was another build than the one the
// recording names, and was not read; the index is 0.
inline constexpr std::uint16_t other_build = 2;
}  // namespace module_path_kind
// Fixed-format tables and their table of contents.
inline constexpr section_id table_of_contents{2147, 0};
inline constexpr section_id section_header{2131, 1};
inline constexpr section_id managed_functions{2132, 0};
inline constexpr section_id frame_addresses{2136, 0};
inline constexpr section_id managed_function_data{2137, 0};
inline constexpr section_id module_data{2145, 1};
inline constexpr section_id unordered_modules{2146, 0};
inline constexpr section_id managed_modules{2149, 0};
// Written empty, as the format expects them.
inline constexpr section_id empty_sections[] = {{2133, 1}, {2135, 1}, {2144, 0}};
// The call tree.
inline constexpr section_id call_tree{2160, 16};
// The event streams.
inline constexpr section_id runtime_stream{2121, 19};
inline constexpr section_id task_stream{2120, 17};
inline constexpr section_id sqlclient_stream{2054, 16};
inline constexpr section_id kestrel_stream{2055, 16};
inline constexpr section_id sample_stream{2177, 17};
inline constexpr section_id session_stream{2176, 2};

inline constexpr std::size_t record_header_size = 14;
inline constexpr std::uint16_t call_stack_record = 0x2000;  // the whole kind word
inline constexpr std::size_t call_stack_body_size = 12;     // the timestamp, the leaf's call-tree offset
// A call-stack record's leaf when the event had no frames.
inline constexpr std::uint32_t no_stack = 0xFFFFFFFF;
// Its leaf when the call tree had no room left for the stack: the event is
// kept without it.
inline constexpr std::uint32_t no_room_for_stack = 0xFFFFFFFE;

namespace runtime_kind {
inline constexpr std::uint16_t gc_start = 1, gc_end = 2, restart_end = 3, suspend_v0 = 4, suspend_v1 = 5,
                               allocation_tick_v0 = 6, finalizers_begin = 8, exception = 9, contention_start = 10,
                               contention_stop = 12, jit_started = 14, il_map_v0 = 15, il_map_v1 = 16,
                               contention_start_v2 = 17, heap_stats_v0 = 18, heap_stats_v1 = 19, heap_stats_v2 = 20,
                               allocation_tick_v1 = 21, allocation_tick_v2 = 22, debug_ipc_start = 23,
                               debug_ipc_stop = 24;
}
namespace task_kind {
inline constexpr std::uint16_t wait_begin = 2, operation_begin = 3, operation_end = 4, work_begin = 5, work_end = 6,
                               scheduled = 7;
}
namespace sql_kind {
inline constexpr std::uint16_t trace = 1, scope_start = 2, scope_stop = 3, pooler_scope = 4, correlation = 5;
}
namespace kestrel_kind {
inline constexpr std::uint16_t connection_start = 1, connection_stop = 2, request_start = 3, request_stop = 4;
}
namespace sample_kind {
inline constexpr std::uint16_t thread_start = 1, sample = 4;
}
// A sample's body: what its thread was doing. The runtime's own flag says
// only whether the thread ran managed code (2) or not (1), and some runtimes
// set it wrongly; the profiler writes what it found out.
namespace sample_type {
inline constexpr std::uint8_t unknown = 0, waiting = 1, running_managed = 2, running_native = 3;
}
// A sample record's version: how its type was found out.
namespace sample_source {
// The runtime's flag; a thread outside managed code is told running native
// code from waiting by the method it is in.
inline constexpr std::uint8_t flag = 0;
// The flag is unreliable: the method the thread is in alone decides.
inline constexpr std::uint8_t stack = 1;
// The kernel's accounting of the thread's CPU time decides whether it ran;
// the flag, where reliable, whether that was managed code.
inline constexpr std::uint8_t kernel = 2;
}  // namespace sample_source
namespace session_kind {
inline constexpr std::uint16_t session_start = 1, session_stop = 3, main_thread = 4, thread_name = 5;
// A flight recording's capture: what made it, at the record's time; the body
// is the milliseconds since the recording began, then the text.
inline constexpr std::uint16_t capture = 6;
// The program died of an unhandled exception (its crash report says which),
// on the record's thread; the body is the exception's type.
inline constexpr std::uint16_t crash = 7;
}  // namespace session_kind

// How a record's body is delimited.
enum class body_layout : std::uint8_t {
  fixed,               // `size` bytes and `pointers` pointers of the trace's size
  length_prefixed,     // a length (u16, or u16 zero then u32), then that many bytes
  byte_then_prefixed,  // one byte, then a length-prefixed run
  three_strings,       // three length-prefixed runs
  word_then_prefixed,  // four bytes, then a length-prefixed run
};

struct record_layout {
  section_id stream;
  std::uint16_t kind = 0;
  body_layout layout = body_layout::fixed;
  std::uint16_t size = 0;
  std::uint16_t pointers = 0;
};

inline constexpr record_layout record_layouts[] = {
    {runtime_stream, runtime_kind::gc_start, body_layout::fixed, 16},
    {runtime_stream, runtime_kind::gc_end, body_layout::fixed, 4},
    {runtime_stream, runtime_kind::restart_end, body_layout::fixed, 0},
    {runtime_stream, runtime_kind::suspend_v0, body_layout::fixed, 2},
    {runtime_stream, runtime_kind::suspend_v1, body_layout::fixed, 4},
    {runtime_stream, runtime_kind::allocation_tick_v0, body_layout::fixed, 8},
    {runtime_stream, runtime_kind::finalizers_begin, body_layout::fixed, 0},
    {runtime_stream, runtime_kind::exception, body_layout::length_prefixed},
    {runtime_stream, runtime_kind::contention_start, body_layout::fixed, 0},
    {runtime_stream, runtime_kind::contention_stop, body_layout::fixed, 0},
    {runtime_stream, runtime_kind::jit_started, body_layout::fixed, 8},
    {runtime_stream, runtime_kind::il_map_v0, body_layout::length_prefixed},
    {runtime_stream, runtime_kind::il_map_v1, body_layout::length_prefixed},
    {runtime_stream, runtime_kind::contention_start_v2, body_layout::fixed, 11, 2},
    {runtime_stream, runtime_kind::heap_stats_v0, body_layout::fixed, 92},
    {runtime_stream, runtime_kind::heap_stats_v1, body_layout::fixed, 94},
    {runtime_stream, runtime_kind::heap_stats_v2, body_layout::fixed, 110},
    {runtime_stream, runtime_kind::allocation_tick_v1, body_layout::fixed, 10},
    {runtime_stream, runtime_kind::allocation_tick_v2, body_layout::byte_then_prefixed},
    {runtime_stream, runtime_kind::debug_ipc_start, body_layout::fixed, 16},
    {runtime_stream, runtime_kind::debug_ipc_stop, body_layout::fixed, 16},
    {task_stream, task_kind::wait_begin, body_layout::fixed, 12},
    {task_stream, task_kind::operation_begin, body_layout::length_prefixed},
    {task_stream, task_kind::operation_end, body_layout::fixed, 4},
    {task_stream, task_kind::work_begin, body_layout::fixed, 4},
    {task_stream, task_kind::work_end, body_layout::fixed, 4},
    {task_stream, task_kind::scheduled, body_layout::fixed, 12},
    {sqlclient_stream, sql_kind::trace, body_layout::length_prefixed},
    {sqlclient_stream, sql_kind::scope_start, body_layout::length_prefixed},
    {sqlclient_stream, sql_kind::scope_stop, body_layout::length_prefixed},
    {sqlclient_stream, sql_kind::pooler_scope, body_layout::length_prefixed},
    {sqlclient_stream, sql_kind::correlation, body_layout::length_prefixed},
    {kestrel_stream, kestrel_kind::connection_start, body_layout::three_strings},
    {kestrel_stream, kestrel_kind::connection_stop, body_layout::length_prefixed},
    {kestrel_stream, kestrel_kind::request_start, body_layout::length_prefixed},
    {kestrel_stream, kestrel_kind::request_stop, body_layout::length_prefixed},
    {sample_stream, sample_kind::thread_start, body_layout::fixed, 0},
    {sample_stream, sample_kind::sample, body_layout::fixed, 1},  // the sample's type
    {session_stream, session_kind::session_start, body_layout::fixed, 20},
    {session_stream, session_kind::session_stop, body_layout::fixed, 8},
    {session_stream, session_kind::main_thread, body_layout::fixed, 4},
    {session_stream, session_kind::thread_name, body_layout::length_prefixed},
    {session_stream, session_kind::capture, body_layout::word_then_prefixed},
    {session_stream, session_kind::crash, body_layout::length_prefixed},
};

// Whether a stream holds records of a kind. A bool, not a pointer to the
// layout: a pointer compared in a constant expression is not constant under
// the sanitizers' instrumentation.
constexpr bool has_layout(std::uint16_t stream, std::uint16_t kind) noexcept {
  for (const auto& r : record_layouts)
    if (r.stream.id == stream && r.kind == kind) return true;
  return false;
}

}  // namespace tarnwell::collector::format
