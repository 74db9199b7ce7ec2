#pragma once

// The one writer of little-endian binary formats: snapshot records and
// sections, the snapshot index, messages to the runtime and frames to the
// front end. Every target this library runs on is little-endian, so a
// value's bytes are its memory.
//
// A writer puts its bytes into a sink: an output stream, or a byte buffer
// for a message that is built whole before it is sent.

#include "tw/utility/guid.h"

#include <bit>
#include <cstdint>
#include <cstring>
#include <ostream>
#include <stdexcept>
#include <string_view>
#include <type_traits>
#include <vector>

namespace tw {

static_assert(std::endian::native == std::endian::little, "the binary formats are written from memory as they lie");

class ostream_sink {
 public:
  explicit ostream_sink(std::ostream& out) noexcept : out_(&out) {}
  // Straight into the stream's buffer: records are written a few bytes at a
  // time, and ostream::write's sentry costs more than copying them.
  void write(const void* data, std::size_t size) {
    std::streambuf* buffer = out_->rdbuf();
    const auto n = static_cast<std::streamsize>(size);
    if (buffer == nullptr || !out_->good() || buffer->sputn(static_cast<const char*>(data), n) != n)
      out_->setstate(std::ios::badbit);
  }

 private:
  std::ostream* out_;
};

class buffer_sink {
 public:
  explicit buffer_sink(std::vector<std::uint8_t>& out) noexcept : out_(&out) {}
  void write(const void* data, std::size_t size) {
    const std::size_t at = out_->size();
    out_->resize(at + size);
    std::memcpy(out_->data() + at, data, size);
  }

 private:
  std::vector<std::uint8_t>* out_;
};

template <class Sink>
class basic_le_writer {
 public:
  explicit basic_le_writer(Sink sink) noexcept : sink_(sink) {}

  // An integer, enumeration or floating-point value.
  template <class T>
  void put(T value) {
    static_assert(std::is_arithmetic_v<T> || std::is_enum_v<T>, "put writes scalars; bytes() writes the rest");
    bytes(&value, sizeof value);
  }

  void bytes(const void* data, std::size_t size) {
    if (size == 0) return;
    sink_.write(data, size);
    written_ += size;
  }

  // UTF-16 code units as they lie (any alignment), without a terminator.
  void utf16(const void* units, std::size_t count) { bytes(units, count * 2); }
  // The units, then one zero unit.
  void utf16z(std::u16string_view text) {
    utf16(text.data(), text.size());
    put(std::uint16_t{0});
  }

  void guid(const tw::guid& g, guid_byte_order order) {
    std::uint8_t b[16];
    g.to_bytes(b, order);
    bytes(b, sizeof b);
  }

  // An ECMA-335 compressed unsigned integer (II.23.2): 1, 2 or 4 bytes,
  // big-endian, with the width in the top bits of the first byte.
  void compressed_uint(std::uint32_t v) {
    if (v < 0x80) {
      put(static_cast<std::uint8_t>(v));
    } else if (v <= 0x3FFF) {
      const std::uint8_t b[2] = {static_cast<std::uint8_t>(0x80 | (v >> 8)), static_cast<std::uint8_t>(v)};
      bytes(b, 2);
    } else if (v <= 0x1FFFFFFF) {
      const std::uint8_t b[4] = {static_cast<std::uint8_t>(0xC0 | (v >> 24)), static_cast<std::uint8_t>(v >> 16),
                                 static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
      bytes(b, 4);
    } else {
      throw std::runtime_error("Too large value");
    }
  }

  // A UTF-8 string preceded by its byte length as a compressed integer.
  void compressed_string(std::string_view text) {
    compressed_uint(static_cast<std::uint32_t>(text.size() > 0xFFFFFFFFu ? 0xFFFFFFFFu : text.size()));
    bytes(text.data(), text.size());
  }

  // Bytes written through this writer.
  std::uint64_t written() const noexcept { return written_; }

 private:
  Sink sink_;
  std::uint64_t written_ = 0;
};

using le_writer = basic_le_writer<ostream_sink>;
using buffer_writer = basic_le_writer<buffer_sink>;

inline le_writer write_to(std::ostream& out) noexcept { return le_writer(ostream_sink(out)); }
inline buffer_writer write_to(std::vector<std::uint8_t>& out) noexcept { return buffer_writer(buffer_sink(out)); }

}  // namespace tw
