#pragma once

// A bounded cursor over bytes that came from another process or a file. Every
// read checks what is left and throws instead of reading past the end, so a
// decoder built on it cannot overrun its input whatever the input says. The
// nettrace parser, the IPC answers and the module reader all read through it.

#include "tw/utility/guid.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <type_traits>

namespace tw {

class truncated_data : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class byte_cursor {
 public:
  // `what` names the structure in error messages, e.g. "metadata payload".
  byte_cursor(const std::uint8_t* begin, const std::uint8_t* end, const char* what) noexcept
      : begin_(begin), pos_(begin), end_(end), what_(what) {}

  std::size_t remaining() const noexcept { return static_cast<std::size_t>(end_ - pos_); }
  std::size_t consumed() const noexcept { return static_cast<std::size_t>(pos_ - begin_); }
  const std::uint8_t* position() const noexcept { return pos_; }
  bool at_end() const noexcept { return pos_ == end_; }

  // Moves to `offset` from the beginning; past the end throws.
  void seek(std::size_t offset) {
    if (offset > static_cast<std::size_t>(end_ - begin_)) fail_seek(offset);
    pos_ = begin_ + offset;
  }

  void skip(std::size_t n) { take(n); }

  const std::uint8_t* take(std::size_t n) {
    if (n > remaining()) fail(n);
    const auto* p = pos_;
    pos_ += n;
    return p;
  }

  template <class T>
  T read() {
    static_assert(std::is_trivially_copyable_v<T>);
    T value;
    std::memcpy(&value, take(sizeof(T)), sizeof(T));
    return value;
  }

  // The value at `offset` from the beginning, without moving; one check, for
  // readers that address fields rather than walk them.
  template <class T>
  T read_at(std::size_t offset) const {
    static_assert(std::is_trivially_copyable_v<T>);
    const std::size_t size = static_cast<std::size_t>(end_ - begin_);
    if (offset > size || size - offset < sizeof(T)) [[unlikely]]
      fail_at(offset, sizeof(T));
    T value;
    std::memcpy(&value, begin_ + offset, sizeof(T));
    return value;
  }

  tw::guid guid(guid_byte_order order) { return tw::guid::from_bytes(take(16), order); }

  std::uint8_t byte() {
    if (pos_ == end_) fail(1);
    return *pos_++;
  }

  // Unsigned LEB128, at most 5 bytes; bits past 32 are dropped.
  std::uint32_t varint32() {
    std::uint32_t value = 0;
    for (int i = 0; i < 5; ++i) {
      const std::uint8_t b = byte();
      value |= static_cast<std::uint32_t>(b & 0x7F) << (7 * i);
      if ((b & 0x80) == 0) return value;
    }
    throw std::runtime_error("Too long variable length encoded number");
  }

  // Unsigned LEB128, at most 10 bytes; the 10th contributes only bit 63.
  std::uint64_t varint64() {
    std::uint64_t value = 0;
    for (int i = 0; i < 10; ++i) {
      const std::uint8_t b = byte();
      if (i == 9) {
        if (b & 0x80) break;
        value |= static_cast<std::uint64_t>(b & 0x01) << 63;
        return value;
      }
      value |= static_cast<std::uint64_t>(b & 0x7F) << (7 * i);
      if ((b & 0x80) == 0) return value;
    }
    throw std::runtime_error("Too long variable length encoded number");
  }

  // An ECMA-335 compressed unsigned integer (II.23.2): 1, 2 or 4 bytes,
  // big-endian, the width in the top bits of the first byte.
  std::uint32_t compressed_uint() {
    const std::uint8_t first = byte();
    const std::size_t size = compressed_uint_size(first);
    if (size == 0) throw std::runtime_error("Invalid counter encoding");
    std::uint32_t value = first & (size == 1 ? 0x7F : size == 2 ? 0x3F : 0x1F);
    const auto* rest = take(size - 1);
    for (std::size_t i = 0; i + 1 < size; ++i) value = value << 8 | rest[i];
    return value;
  }
  // The width a compressed integer's first byte announces; 0: not one.
  static constexpr std::size_t compressed_uint_size(std::uint8_t first) noexcept {
    if ((first & 0x80) == 0) return 1;
    if ((first & 0xC0) == 0x80) return 2;
    if ((first & 0xE0) == 0xC0) return 4;
    return 0;
  }

  // A zero-terminated UTF-16 string; returns its units without the terminator
  // and moves past the terminator.
  std::pair<const std::uint8_t*, std::size_t> utf16z() {
    const auto* start = pos_;
    for (const auto* p = pos_; p + 1 < end_; p += 2) {
      if (p[0] == 0 && p[1] == 0) {
        pos_ = p + 2;
        return {start, static_cast<std::size_t>(p - start) / 2};
      }
    }
    throw truncated_data(std::string(what_) + ": a UTF-16 string has no terminator before the end");
  }

 private:
  // Out of line: the message is built only on the way out, and the reads
  // that check stay small enough to inline.
  [[noreturn, gnu::noinline, gnu::cold]] void fail_seek(std::size_t offset) const {
    throw truncated_data(std::string(what_) + ": offset " + std::to_string(offset) + " is past the end (" +
                         std::to_string(static_cast<std::size_t>(end_ - begin_)) + " bytes)");
  }
  [[noreturn, gnu::noinline, gnu::cold]] void fail_at(std::size_t offset, std::size_t wanted) const {
    throw truncated_data(std::string(what_) + ": " + std::to_string(wanted) + " bytes needed at offset " +
                         std::to_string(offset) + " but only " +
                         std::to_string(static_cast<std::size_t>(end_ - begin_)) + " in all");
  }
  [[noreturn, gnu::noinline, gnu::cold]] void fail(std::size_t wanted) const {
    throw truncated_data(std::string(what_) + ": " + std::to_string(wanted) + " bytes needed at offset " +
                         std::to_string(consumed()) + " but only " + std::to_string(remaining()) + " left");
  }

  const std::uint8_t* begin_;
  const std::uint8_t* pos_;
  const std::uint8_t* end_;
  const char* what_;
};

// Copies `units` UTF-16 code units stored little-endian at any alignment.
inline std::u16string load_utf16(const std::uint8_t* data, std::size_t units) {
  std::u16string s(units, u'\0');
  if (units) std::memcpy(s.data(), data, units * 2);
  return s;
}

}  // namespace tw
