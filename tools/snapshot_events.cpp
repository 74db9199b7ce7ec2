#include "tools/snapshot_events.h"

#include "collector/src/collector/snapshot_format.h"

#include <optional>

namespace tw::tools {

namespace {

namespace format = tarnwell::collector::format;
namespace rk = format::runtime_kind;
namespace tk = format::task_kind;
constexpr std::uint16_t stack_record = format::call_stack_record;

void runtime_record(const stream_record& r, snapshot_events& to) {
  const auto& b = r.body;
  switch (r.kind) {
    case rk::gc_start:
      to.gc_start(r, load_at<std::uint32_t>(b, 0), load_at<std::uint32_t>(b, 4), load_at<std::uint32_t>(b, 8),
                  load_at<std::uint32_t>(b, 12));
      break;
    case rk::gc_end: to.gc_end(r, load_at<std::uint32_t>(b, 0)); break;
    case rk::restart_end: to.suspension_end(r); break;
    case rk::suspend_v0: to.suspension_start(r, load_at<std::uint16_t>(b, 0)); break;  // a 16-bit reason
    case rk::suspend_v1: to.suspension_start(r, load_at<std::uint32_t>(b, 0)); break;
    case rk::allocation_tick_v0: case rk::allocation_tick_v1: to.allocation_tick(r, load_at<std::uint32_t>(b, 0), load_at<std::uint32_t>(b, 4)); break;
    case rk::allocation_tick_v2: {
      const auto at = prefixed_fields(b, 1);
      to.allocation_tick(r, load_at<std::uint32_t>(b, at), load_at<std::uint32_t>(b, at + 4));
      break;
    }
    case rk::exception: {
      auto at = prefixed_fields(b);
      const auto type = read_utf16z(b, at);
      to.exception(r, type, read_utf16z(b, at));
      break;
    }
    case rk::contention_start: case rk::contention_start_v2: to.contention_start(r); break;
    case rk::contention_stop: to.contention_end(r); break;
  }
}

void task_record(const stream_record& r, snapshot_events& to) {
  const auto& b = r.body;
  switch (r.kind) {
    case tk::wait_begin: to.task_wait(r, load_at<std::int32_t>(b, 8)); break;
    case tk::operation_begin: {
      auto at = prefixed_fields(b);
      const auto task = load_at<std::int32_t>(b, at);
      at += 4;
      to.operation_start(r, task, read_utf16z(b, at));
      break;
    }
    case tk::operation_end: to.operation_end(r, load_at<std::int32_t>(b, 0)); break;
    case tk::work_begin: to.work_start(r, load_at<std::int32_t>(b, 0)); break;
    case tk::work_end: to.work_end(r); break;
    case tk::scheduled: to.task_scheduled(r, load_at<std::int32_t>(b, 8)); break;
  }
}

void sql_record(const stream_record& r, snapshot_events& to) {
  namespace sk = format::sql_kind;
  sql_event what;
  switch (r.kind) {
    case sk::trace: what = sql_event::trace; break;
    case sk::scope_start: what = sql_event::scope_start; break;
    case sk::scope_stop: what = sql_event::scope_stop; break;
    case sk::pooler_scope: what = sql_event::pooler_scope; break;
    case sk::correlation: what = sql_event::correlation; break;
    default: return;
  }
  auto at = prefixed_fields(r.body);
  to.sql(r, what, read_utf16z(r.body, at));
}

void kestrel_record(const stream_record& r, snapshot_events& to) {
  namespace kk = format::kestrel_kind;
  kestrel_event what;
  switch (r.kind) {
    case kk::connection_start: what = kestrel_event::connection_start; break;
    case kk::connection_stop: what = kestrel_event::connection_stop; break;
    case kk::request_start: what = kestrel_event::request_start; break;
    case kk::request_stop: what = kestrel_event::request_stop; break;
    default: return;
  }
  // Every kind begins with the connection id, as a string of its own (a
  // connection's start) or inside the body's length; requests go on with
  // the request id.
  auto at = prefixed_fields(r.body);
  const auto connection = read_utf16z(r.body, at);
  const bool request = what == kestrel_event::request_start || what == kestrel_event::request_stop;
  to.kestrel(r, what, connection, request ? read_utf16z(r.body, at) : std::string());
}

}  // namespace

std::string sql_api_call(const std::string& message) {
  // SqlClient marks the calls of its API: "SqlCommand.ExecuteReader | API | ..."
  // or "<sc.SqlCommand.ExecuteReader|API> ...".
  if (message.find("API") == std::string::npos) return {};
  auto call = message.substr(0, message.find_first_of(" |"));
  if (call.starts_with('<')) call.erase(0, call.find('.') + 1);  // "<sc." or "<prov."
  if (call.find('.') == std::string::npos) return {};
  return call;
}

void decode_events(const snapshot_model& model, snapshot_events& to, tick_range range) {
  // An event is told once its stack record, which follows it, is known.
  auto each = [&](std::uint16_t section, auto&& what) {
    if (!model.has(section)) return;
    const auto stream = model.reader().map(section);
    std::optional<stream_record> pending;
    // A stack record goes with the event before it, in the range or not.
    bool in_range = false;
    for_each_record(section, stream.bytes(), 8, [&](const stream_record& r) {
      if (r.kind != stack_record) in_range = range.holds(r.timestamp);
      if (!in_range) return;
      to.record(section, r);
      if (r.kind == stack_record) {
        if (pending) pending->stack = load_at<std::uint32_t>(r.body, 8);
        return;
      }
      if (pending) what(*pending);
      pending = r;
    });
    if (pending) what(*pending);
  };
  each(format::runtime_stream.id, [&](const stream_record& r) { runtime_record(r, to); });
  each(format::task_stream.id, [&](const stream_record& r) { task_record(r, to); });
  each(format::sqlclient_stream.id, [&](const stream_record& r) { sql_record(r, to); });
  each(format::kestrel_stream.id, [&](const stream_record& r) { kestrel_record(r, to); });
  each(format::sample_stream.id, [&](const stream_record& r) {
    if (r.kind == format::sample_kind::sample) to.sample(r, r.body.empty() ? 0 : r.body[0], r.stack);
    else if (r.kind == format::sample_kind::thread_start) to.thread_start(r);
  });
  each(format::session_stream.id, [](const stream_record&) {});
}

}  // namespace tw::tools
