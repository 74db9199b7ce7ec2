#pragma once

// The events of a snapshot's streams, decoded: what each record says, in the
// order its stream holds it. Streams are read one after another: runtime,
// tasks, SqlClient, Kestrel, samples, session.

#include "tools/snapshot_model.h"
#include "tools/snapshot_streams.h"

#include <cstdint>
#include <climits>
#include <string>

namespace tw::tools {

enum class kestrel_event : std::uint8_t { connection_start, connection_stop, request_start, request_stop };
enum class sql_event : std::uint8_t { trace, scope_start, scope_stop, pooler_scope, correlation };

// Each call gets the record (time, thread, kind); the defaults ignore it.
class snapshot_events {
 public:
  virtual ~snapshot_events() = default;

  // Every record of every stream, before what it says is reported.
  virtual void record(std::uint16_t /*section*/, const stream_record&) {}

  virtual void gc_start(const stream_record&, std::uint32_t /*count*/, std::uint32_t /*generation*/,
                        std::uint32_t /*reason*/, std::uint32_t /*type*/) {}
  virtual void gc_end(const stream_record&, std::uint32_t /*count*/) {}
  virtual void suspension_start(const stream_record&, std::uint32_t /*reason*/) {}
  virtual void suspension_end(const stream_record&) {}
  virtual void contention_start(const stream_record&) {}
  virtual void contention_end(const stream_record&) {}
  virtual void exception(const stream_record&, const std::string& /*type*/, const std::string& /*message*/) {}
  virtual void allocation_tick(const stream_record&, std::uint32_t /*bytes*/, std::uint32_t /*heap*/) {}

  virtual void task_scheduled(const stream_record&, std::int32_t /*task*/) {}
  virtual void task_wait(const stream_record&, std::int32_t /*task*/) {}
  virtual void operation_start(const stream_record&, std::int32_t /*task*/, const std::string& /*name*/) {}
  virtual void operation_end(const stream_record&, std::int32_t /*task*/) {}
  virtual void work_start(const stream_record&, std::int32_t /*task*/) {}
  virtual void work_end(const stream_record&) {}

  virtual void sql(const stream_record&, sql_event, const std::string& /*message*/) {}
  virtual void kestrel(const stream_record&, kestrel_event, const std::string& /*connection*/,
                       const std::string& /*request: empty for a connection*/) {}

  // A CPU sample: its type (1 outside managed code, 2 in it) and the call
  // tree offset of its stack's leaf, 0xFFFFFFFF when it has none.
  virtual void sample(const stream_record&, std::uint8_t /*type*/, std::uint32_t /*leaf*/) {}
  virtual void thread_start(const stream_record&) {}
};

// The SqlClient call a trace message tells of ("SqlCommand.ExecuteReader"),
// or empty for a message that is no call of its API.
std::string sql_api_call(const std::string& message);

// A stretch of the snapshot's clock: the ticks from `from` up to, not
// including, `to`.
struct tick_range {
  std::int64_t from = INT64_MIN, to = INT64_MAX;
  bool holds(std::int64_t tick) const noexcept { return tick >= from && tick < to; }
};

// Tells the records that lie in `range`. Throws std::runtime_error on a
// record that cannot be delimited.
void decode_events(const snapshot_model& model, snapshot_events& to, tick_range range = {});

}  // namespace tw::tools
