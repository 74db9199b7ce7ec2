#pragma once

// One decoded event as the handlers see it: a view over the parser's buffers,
// valid only during the handler call.

#include "tw/utility/guid.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

namespace tarnwell::nettrace {

class event_pipe_metadata_reader;

using tw::guid;

struct event_header {
  std::uint16_t event_id = 0;
  std::uint8_t descriptor_a = 0;
  std::uint16_t descriptor_b = 0;
  std::uint8_t version = 0;
  std::uint32_t process_id = 0;
  std::uint32_t thread_id = 0;
  std::int64_t timestamp = 0;
  std::uint8_t processor_number = 0;
  guid activity_id{};

  std::uint32_t key() const noexcept { return (std::uint32_t{event_id} << 16) | version; }
};

struct byte_range {
  const std::uint8_t* begin = nullptr;
  const std::uint8_t* end = nullptr;
  std::size_t size() const noexcept { return static_cast<std::size_t>(end - begin); }
};

// Frame addresses, element_size bytes each (4 or 8), little-endian.
struct stack_view {
  const std::uint8_t* begin = nullptr;
  std::size_t count = 0;
  std::uint32_t element_size = 8;

  std::uint64_t operator[](std::size_t i) const noexcept {
    if (element_size == 8) {
      std::uint64_t v;
      std::memcpy(&v, begin + i * 8, 8);
      return v;
    }
    std::uint32_t v;
    std::memcpy(&v, begin + i * 4, 4);
    return v;
  }
  std::size_t size() const noexcept { return count; }
  bool empty() const noexcept { return count == 0; }
};

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
