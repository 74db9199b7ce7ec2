#pragma once

// One decoded event as the handlers see it: a view over the parser's buffers,
// valid only during the handler call.

#include "event_pipe_api/src/providers/dispatched_event.h"
#include "tw/utility/guid.h"

#include <cstdint>
#include <memory>

namespace tarnwell::nettrace {

class event_pipe_metadata_reader;

using tw::guid;
using collector::byte_range;
using collector::event_header;
using collector::stack_view;

struct event_trace_record {
  event_header header;
  std::int32_t pointer_size = 8;
  guid activity_id{};
  guid related_activity_id{};
  std::int32_t sequence_number = 0;
  std::int64_t capture_thread_id = 0;
  byte_range payload;
  stack_view stack;
  // Lives as long as the stream's metadata; share it to keep it longer.
  const std::shared_ptr<event_pipe_metadata_reader>* metadata = nullptr;
};

}  // namespace tarnwell::nettrace
