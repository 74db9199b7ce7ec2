#pragma once

// Reads the records of a snapshot's event streams back: each record's
// header and body, the body's length known from the stream, kind and version.

#include <cstdint>
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

};

// Calls f for every record of the stream section `id`; throws
// std::runtime_error on a record it cannot delimit.
void for_each_record(std::uint16_t section_id, const std::vector<std::uint8_t>& stream, std::uint32_t pointer_size,
                     const std::function<void(const stream_record&)>& f);

// A length-prefixed UTF-16 string of a body, as UTF-8; advances `at`.
std::string read_utf16_field(std::span<const std::uint8_t> body, std::size_t& at);

}  // namespace tw::tools
