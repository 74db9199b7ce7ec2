#pragma once

// Reads the records of a snapshot's event streams back: each record's
// header and body, the body's length known from the stream, kind and version.

#include <cstdint>
#include <cstring>
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

// A UTF-16 string ended by a 16-bit zero, or by the bytes' end, as UTF-8;
// advances `at` past the zero.
std::string read_utf16z(std::span<const std::uint8_t> bytes, std::size_t& at);

// The little-endian value at `at`; zero where the bytes end before it.
template <class T>
T load_at(std::span<const std::uint8_t> bytes, std::size_t at) {
  T v{};
  if (at <= bytes.size() && sizeof v <= bytes.size() - at) std::memcpy(&v, bytes.data() + at, sizeof v);
  return v;
}

// Where the fields of a prefixed body begin: after its 16-bit length, or
// after a zero word and a 32-bit length.
inline std::size_t prefixed_fields(std::span<const std::uint8_t> body, std::size_t at = 0) {
  return at + (load_at<std::uint16_t>(body, at) ? 2 : 6);
}

}  // namespace tw::tools
