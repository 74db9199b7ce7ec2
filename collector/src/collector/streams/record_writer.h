#pragma once

// The record encoding shared by every event stream: a 14-byte header
// (timestamp, thread id, version << 12 | kind), then a body of raw trace
// bytes, length-prefixed bytes or fields one by one.

#include "collector/src/collector/snapshot_format.h"
#include "tw/utility/le_writer.h"

#include <cstdint>
#include <ostream>
#include <string_view>

namespace tarnwell::collector::inproc {

inline constexpr std::uint16_t callstack_kind_word = format::call_stack_record;

class record_writer {
 public:
  explicit record_writer(std::ostream& out) noexcept : out_(tw::write_to(out)) {}

  void header(std::int64_t timestamp, std::uint32_t thread_id, std::uint8_t version, std::uint16_t kind) {
    put(timestamp);
    put(thread_id);
    put(static_cast<std::uint16_t>((std::uint16_t(version) << 12) | (kind & 0x0FFF)));
  }

  template <class T>
  void put(T value) {
    out_.put(value);
  }

  void raw(const std::uint8_t* data, std::size_t size) { out_.bytes(data, size); }

  void guid(const tw::guid& g) { out_.guid(g, tw::guid_byte_order::windows); }

  // 1..65535 as one 16-bit word; anything else as a 16-bit zero and 32 bits.
  void length(std::uint64_t n) {
    if (n >= 1 && n <= 0xFFFF) {
      put(static_cast<std::uint16_t>(n));
    } else {
      put(std::uint16_t{0});
      put(static_cast<std::uint32_t>(n));
    }
  }

  void prefixed(const std::uint8_t* data, std::size_t size) {
    length(size);
    raw(data, size);
  }

  // UTF-16 units (any alignment) with their terminating zero, length first.
  void utf16(const std::uint8_t* units, std::size_t count) {
    length((count + 1) * 2);
    out_.utf16(units, count);
    put(std::uint16_t{0});
  }
  void utf16(std::u16string_view text) { utf16(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()); }

  // The 26-byte call-stack record that follows an event with a stack.
  void callstack(std::int64_t timestamp, std::uint32_t thread_id, std::uint8_t stack_kind, std::uint32_t leaf) {
    put(timestamp);
    put(thread_id);
    put(static_cast<std::uint16_t>(callstack_kind_word | stack_kind));
    put(timestamp);
    put(leaf);
  }

 private:
  tw::le_writer out_;
};

}  // namespace tarnwell::collector::inproc
