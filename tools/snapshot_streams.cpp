#include "tools/snapshot_streams.h"

#include "tw/utility/utf.h"

#include <cstring>
#include <stdexcept>

namespace tw::tools {

namespace {

constexpr std::size_t header_size = 14;
constexpr std::size_t variable = static_cast<std::size_t>(-1);  // length-prefixed body
constexpr std::size_t strings3 = static_cast<std::size_t>(-2);  // three length-prefixed strings
constexpr std::size_t one_then_variable = static_cast<std::size_t>(-3);
constexpr std::size_t one_string = static_cast<std::size_t>(-4);

std::size_t body_size(std::uint16_t section, std::uint16_t kind, std::uint8_t version, std::uint32_t ptr) {
  switch (section) {
    case 2121:
      switch (kind) {
        case 1: return 16;
        case 2: return 4;
        case 3: case 8: case 10: case 12: return 0;
        case 4: return 2;
        case 5: return 4;
        case 6: return 8;
        case 9: case 15: case 16: return variable;
        case 14: return 8;
        case 17: return 3 + 2 * ptr + 8;
        case 18: return 92;
        case 19: return 94;
        case 20: return 110;
        case 21: return 10;
        case 22: return one_then_variable;
        case 23: case 24: return 16;
      }
      break;
    case 2120:
      switch (kind) {
        case 2: case 7: return 12;
        case 3: return variable;
        case 4: case 5: case 6: return 4;
      }
      break;
    case 2054:
      if (kind >= 1 && kind <= 5) return variable;
      break;
    case 2055:
      if (kind == 1) return strings3;
      if (kind >= 2 && kind <= 4) return variable;
      break;
    case 2177:
      if (kind == 1) return 0;
      if (kind == 4) return 1;
      break;
    case 2176:
      switch (kind) {
        case 1: return 20;
        case 3: return 8;
        case 4: return 4;
        case 5: return one_string;
      }
      break;
  }
  (void)version;
  throw std::runtime_error("Unknown record kind " + std::to_string(kind) + " in section " + std::to_string(section));
}

std::size_t read_length(std::span<const std::uint8_t> s, std::size_t at, std::size_t& consumed) {
  if (at + 2 > s.size()) throw std::runtime_error("A record's length runs past its stream");
  std::uint16_t short_form;
  std::memcpy(&short_form, s.data() + at, 2);
  if (short_form != 0) {
    consumed = 2;
    return short_form;
  }
  if (at + 6 > s.size()) throw std::runtime_error("A record's length runs past its stream");
  std::uint32_t long_form;
  std::memcpy(&long_form, s.data() + at + 2, 4);
  consumed = 6;
  return long_form;
}

}  // namespace

std::string read_utf16z(std::span<const std::uint8_t> b, std::size_t& at) {
  std::u16string s;
  while (at + 1 < b.size()) {
    const char16_t c = static_cast<char16_t>(b[at] | (b[at + 1] << 8));
    at += 2;
    if (c == 0) break;
    s += c;
  }
  return kv521::utf::utf16_to_utf8(s);
}

void for_each_record(std::uint16_t section, std::span<const std::uint8_t> s, std::uint32_t ptr,
                     const std::function<void(const stream_record&)>& f) {
  std::size_t at = 0;
  while (at < s.size()) {
    if (s.size() - at < header_size) throw std::runtime_error("A record header runs past its stream");
    stream_record r;
    std::memcpy(&r.timestamp, s.data() + at, 8);
    std::memcpy(&r.thread_id, s.data() + at + 8, 4);
    std::uint16_t word;
    std::memcpy(&word, s.data() + at + 12, 2);
    r.version = static_cast<std::uint8_t>(word >> 12);
    r.kind = word & 0x0FFF;
    at += header_size;
    std::size_t size = 0;
    // A call-stack record is version 2 with stack kind 0: no event has kind 0.
    if (word == 0x2000) {
      r.kind = 0x2000;
      size = 12;
    } else {
      size = body_size(section, r.kind, r.version, ptr);
      std::size_t consumed = 0;
      if (size == variable) {
        size = read_length(s, at, consumed) + consumed;
      } else if (size == one_then_variable) {
        size = 1 + read_length(s, at + 1, consumed) + consumed;
      } else if (size == one_string) {
        size = read_length(s, at, consumed) + consumed;
      } else if (size == strings3) {
        std::size_t p = at;
        for (int i = 0; i < 3; ++i) p += read_length(s, p, consumed) + consumed;
        size = p - at;
      }
    }
    if (s.size() - at < size) throw std::runtime_error("A record body runs past its stream");
    r.body = std::span<const std::uint8_t>(s.data() + at, size);
    at += size;
    f(r);
  }
}

}  // namespace tw::tools
