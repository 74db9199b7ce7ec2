#include "tools/snapshot_streams.h"

#include "collector/src/collector/snapshot_format.h"

#include "tw/utility/utf.h"

#include <cstring>
#include <stdexcept>
#include <vector>

namespace tw::tools {

namespace {

namespace format = tarnwell::collector::format;

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
  tw::byte_cursor c(b.data(), b.data() + b.size(), "snapshot string");
  c.seek(at);
  std::u16string s;
  for (char16_t unit; (unit = c.read<char16_t>()) != 0;) s += unit;
  at = c.consumed();
  return kv521::utf::utf16_to_utf8(s);
}

void for_each_record(std::uint16_t section, std::span<const std::uint8_t> s, std::uint32_t ptr,
                     const std::function<void(const stream_record&)>& f) {
  // This stream's layouts alone: a stream holds a handful of kinds, and the
  // search runs once per record.
  std::vector<const format::record_layout*> layouts;
  for (const auto& l : format::record_layouts)
    if (l.stream.id == section) layouts.push_back(&l);
  auto layout_of = [&](std::uint16_t kind) -> const format::record_layout* {
    for (const auto* l : layouts)
      if (l->kind == kind) return l;
    return nullptr;
  };
  std::size_t at = 0;
  while (at < s.size()) {
    stream_record r;
    if (s.size() - at < format::record_header_size) throw std::runtime_error("A record header runs past its stream");
    std::memcpy(&r.timestamp, s.data() + at, 8);
    std::memcpy(&r.thread_id, s.data() + at + 8, 4);
    std::uint16_t word;
    std::memcpy(&word, s.data() + at + 12, 2);
    r.version = static_cast<std::uint8_t>(word >> 12);
    r.kind = word & 0x0FFF;
    at += format::record_header_size;
    std::size_t size = 0;
    // A call-stack record is version 2 with stack kind 0: no event has kind 0.
    if (word == format::call_stack_record) {
      r.kind = format::call_stack_record;
      size = format::call_stack_body_size;
    } else {
      const auto* layout = layout_of(r.kind);
      if (layout == nullptr)
        throw std::runtime_error("Unknown record kind " + std::to_string(r.kind) + " in section " +
                                 std::to_string(section));
      std::size_t consumed = 0;
      switch (layout->layout) {
        case format::body_layout::fixed: size = layout->size + std::size_t{layout->pointers} * ptr; break;
        case format::body_layout::length_prefixed: size = read_length(s, at, consumed) + consumed; break;
        case format::body_layout::byte_then_prefixed: size = 1 + read_length(s, at + 1, consumed) + consumed; break;
        case format::body_layout::word_then_prefixed: size = 4 + read_length(s, at + 4, consumed) + consumed; break;
        case format::body_layout::three_strings: {
          std::size_t p = at;
          for (int i = 0; i < 3; ++i) p += read_length(s, p, consumed) + consumed;
          size = p - at;
          break;
        }
      }
    }
    if (s.size() - at < size) throw std::runtime_error("A record body runs past its stream");
    r.body = std::span<const std::uint8_t>(s.data() + at, size);
    at += size;
    f(r);
  }
}

}  // namespace tw::tools
