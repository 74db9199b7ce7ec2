#pragma once

// Reads the records of a snapshot's event streams back: each record's
// header and body, the body's length known from the stream, kind and version.

#include <cstdint>
#include <cstring>
#include "tw/utility/byte_cursor.h"

#include <functional>
#include <span>
#include <string>
#include <vector>

namespace tw::tools {

struct stream_record {
  std::int64_t timestamp = 0;
  std::uint32_t thread_id = 0;
  std::uint8_t version = 0;
  std::uint16_t kind = 0;  // 0x2000 set: a call-stack record
  std::span<const std::uint8_t> body;
  // The call tree offset of the leaf of the event's stack, when a call-stack
  // record follows it (set by decode_events).
  std::uint32_t stack = no_stack;
  static constexpr std::uint32_t no_stack = 0xFFFFFFFFu;
};

// Calls f for every record of the stream section `id`; throws
// std::runtime_error on a record it cannot delimit.
void for_each_record(std::uint16_t section_id, std::span<const std::uint8_t> stream, std::uint32_t pointer_size,
                     const std::function<void(const stream_record&)>& f);

// A UTF-16 string ended by a 16-bit zero, as UTF-8; advances `at` past the
// zero. Throws tw::truncated_data when the bytes end first.
std::string read_utf16z(std::span<const std::uint8_t> bytes, std::size_t& at);

// The little-endian value at `at`, read through the bounded cursor: a
// section or record too short for it throws tw::truncated_data.
// Inlined: the readers call it for every field of every record.
template <class T>
[[gnu::always_inline]] inline T load_at(std::span<const std::uint8_t> bytes, std::size_t at) {
  return tw::byte_cursor(bytes.data(), bytes.data() + bytes.size(), "snapshot record").read_at<T>(at);
}

// Where the fields of a prefixed body begin: after its 16-bit length, or
// after a zero word and a 32-bit length.
inline std::size_t prefixed_fields(std::span<const std::uint8_t> body, std::size_t at = 0) {
  return at + (load_at<std::uint16_t>(body, at) ? 2 : 6);
}

}  // namespace tw::tools
