#include "tools/snapshot_events.h"

#include <optional>

namespace tw::tools {

namespace {

constexpr std::uint16_t stack_record = 0x2000;

void runtime_record(const stream_record& r, snapshot_events& to) {
  const auto& b = r.body;
  switch (r.kind) {
    case 1:
      to.gc_start(r, load_at<std::uint32_t>(b, 0), load_at<std::uint32_t>(b, 4), load_at<std::uint32_t>(b, 8),
                  load_at<std::uint32_t>(b, 12));
      break;
    case 2: to.gc_end(r, load_at<std::uint32_t>(b, 0)); break;
    case 3: to.suspension_end(r); break;
    case 4: to.suspension_start(r, load_at<std::uint16_t>(b, 0)); break;  // version 0: a 16-bit reason
    case 5: to.suspension_start(r, load_at<std::uint32_t>(b, 0)); break;
    case 6: case 21: to.allocation_tick(r, load_at<std::uint32_t>(b, 0), load_at<std::uint32_t>(b, 4)); break;
    case 22: {
      const auto at = prefixed_fields(b, 1);
      to.allocation_tick(r, load_at<std::uint32_t>(b, at), load_at<std::uint32_t>(b, at + 4));
      break;
    }
    case 9: {
      auto at = prefixed_fields(b);
      const auto type = read_utf16z(b, at);
      to.exception(r, type, read_utf16z(b, at));
      break;
    }
    case 10: case 17: to.contention_start(r); break;
    case 12: to.contention_end(r); break;
  }
}

void task_record(const stream_record& r, snapshot_events& to) {
  const auto& b = r.body;
  switch (r.kind) {
    case 2: to.task_wait(r, load_at<std::int32_t>(b, 8)); break;
    case 3: {
      auto at = prefixed_fields(b);
      const auto task = load_at<std::int32_t>(b, at);
      at += 4;
      to.operation_start(r, task, read_utf16z(b, at));
      break;
    }
    case 4: to.operation_end(r, load_at<std::int32_t>(b, 0)); break;
    case 5: to.work_start(r, load_at<std::int32_t>(b, 0)); break;
    case 6: to.work_end(r); break;
    case 7: to.task_scheduled(r, load_at<std::int32_t>(b, 8)); break;
  }
}

void sql_record(const stream_record& r, snapshot_events& to) {
  static constexpr sql_event kinds[] = {sql_event::trace, sql_event::scope_start, sql_event::scope_stop,
                                        sql_event::pooler_scope, sql_event::correlation};
  if (r.kind < 1 || r.kind > 5) return;
  auto at = prefixed_fields(r.body);
  to.sql(r, kinds[r.kind - 1], read_utf16z(r.body, at));
}

void kestrel_record(const stream_record& r, snapshot_events& to) {
  static constexpr kestrel_event kinds[] = {kestrel_event::connection_start, kestrel_event::connection_stop,
                                            kestrel_event::request_start, kestrel_event::request_stop};
  if (r.kind < 1 || r.kind > 4) return;
  // Every kind begins with the connection id, as a string of its own (a
  // connection's start) or inside the body's length; requests go on with
  // the request id.
  auto at = prefixed_fields(r.body);
  const auto connection = read_utf16z(r.body, at);
  const bool request = r.kind >= 3;
  to.kestrel(r, kinds[r.kind - 1], connection, request ? read_utf16z(r.body, at) : std::string());
}

}  // namespace

void decode_events(const snapshot_model& model, snapshot_events& to) {
  // An event is told once its stack record, which follows it, is known.
  auto each = [&](std::uint16_t section, auto&& what) {
    if (!model.has(section)) return;
    const auto stream = model.reader().map(section);
    std::optional<stream_record> pending;
    for_each_record(section, stream.bytes(), 8, [&](const stream_record& r) {
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
  each(2121, [&](const stream_record& r) { runtime_record(r, to); });
  each(2120, [&](const stream_record& r) { task_record(r, to); });
  each(2054, [&](const stream_record& r) { sql_record(r, to); });
  each(2055, [&](const stream_record& r) { kestrel_record(r, to); });

  if (model.has(2177)) {
    // A sample's stack record follows it; a sample without one has none.
    const auto stream = model.reader().map(2177);
    std::optional<stream_record> pending;
    auto flush = [&](std::uint32_t leaf) {
      if (!pending) return;
      to.sample(*pending, pending->body.empty() ? 0 : pending->body[0], leaf);
      pending.reset();
    };
    for_each_record(2177, stream.bytes(), 8, [&](const stream_record& r) {
      to.record(2177, r);
      if (r.kind == stack_record) {
        flush(load_at<std::uint32_t>(r.body, 8));
        return;
      }
      flush(0xFFFFFFFFu);
      if (r.kind == 4) pending = r;
      else if (r.kind == 1) to.thread_start(r);
    });
    flush(0xFFFFFFFFu);
  }
  each(2176, [](const stream_record&) {});
}

}  // namespace tw::tools
