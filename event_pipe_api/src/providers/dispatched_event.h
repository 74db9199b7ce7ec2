#pragma once

// One catalogue event as a handler receives it: the header fields that every
// event has, the payload as the catalogue's format for it reads it, and the
// call stack. Views over the decoder's buffers, valid only during the call.
//
// This is what the decoder hands on and what writers read; neither side
// needs the other's headers to speak it.

#include "tw/utility/guid.h"
#include "tw/utility/pattern_parser.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

namespace tarnwell::nettrace {
class event_pipe_metadata_reader;
}

namespace tarnwell::collector {

struct event_header {
  std::uint16_t event_id = 0;
  std::uint8_t descriptor_a = 0;
  std::uint16_t descriptor_b = 0;
  std::uint8_t version = 0;
  std::uint32_t process_id = 0;
  std::uint32_t thread_id = 0;
  std::int64_t timestamp = 0;
  std::uint8_t processor_number = 0;
  tw::guid activity_id;

  std::uint32_t key() const noexcept { return (std::uint32_t{event_id} << 16) | version; }
};

struct byte_range {
  const std::uint8_t* begin = nullptr;
  const std::uint8_t* end = nullptr;
  std::size_t size() const noexcept { return static_cast<std::size_t>(end - begin); }
};

// Frame addresses, leaf first, element_size bytes each (4 or 8), little-endian.
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

// Event N of Provider's catalogue list.
template <class Provider, std::size_t N>
struct dispatched_event {
  using provider = Provider;
  using format = typename Provider::events::template format<N>;
  static constexpr std::size_t index = N;
  static constexpr std::uint32_t key = Provider::events::keys[N];

  event_header header;
  byte_range payload;
  stack_view stack;
  std::int32_t pointer_size = 8;
  // The stream's own description of the event, for checks against the
  // catalogue; lives as long as the stream's metadata.
  const std::shared_ptr<nettrace::event_pipe_metadata_reader>* metadata = nullptr;

  tw::pattern_parser<format> fields() const noexcept {
    return tw::pattern_parser<format>(payload.begin, payload.end, pointer_size);
  }
  static constexpr const char* name() noexcept { return Provider::event_names[N]; }
};

}  // namespace tarnwell::collector
