#include "tw/utility/guid.h"

#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/uuid.hpp>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace tw {

namespace {

// The permutation between the two orders is its own inverse: reverse the
// first three fields, keep the last eight bytes.
constexpr std::array<std::uint8_t, 16> swap_fields{3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};

int hex_value(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

guid guid::from_bytes(const std::uint8_t* bytes, guid_byte_order order) noexcept {
  guid g;
  if (order == guid_byte_order::windows) {
    std::memcpy(g.windows_.data(), bytes, 16);
  } else {
    for (std::size_t i = 0; i < 16; ++i) g.windows_[i] = bytes[swap_fields[i]];
  }
  return g;
}

void guid::to_bytes(std::uint8_t* out, guid_byte_order order) const noexcept {
  if (order == guid_byte_order::windows) {
    std::memcpy(out, windows_.data(), 16);
  } else {
    for (std::size_t i = 0; i < 16; ++i) out[i] = windows_[swap_fields[i]];
  }
}

std::string guid::to_string() const {
  const auto b = bytes(guid_byte_order::rfc4122);
  char text[37];
  std::snprintf(text, sizeof text, "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", b[0], b[1],
                b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
  return text;
}

std::optional<guid> guid::parse(std::string_view text) noexcept {
  if (text.size() == 38 && text.front() == '{' && text.back() == '}') text = text.substr(1, 36);
  if (text.size() != 36) return std::nullopt;
  bytes_type b{};
  std::size_t n = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (text[i] != '-') return std::nullopt;
      continue;
    }
    const int high = hex_value(text[i]);
    const int low = i + 1 < text.size() ? hex_value(text[i + 1]) : -1;
    if (high < 0 || low < 0) return std::nullopt;
    b[n++] = static_cast<std::uint8_t>(high << 4 | low);
    ++i;
  }
  return from_bytes(b, guid_byte_order::rfc4122);
}

guid guid::random() {
  thread_local boost::uuids::random_generator generate;
  const boost::uuids::uuid u = generate();
  bytes_type b;
  std::copy(u.begin(), u.end(), b.begin());
  return from_bytes(b, guid_byte_order::rfc4122);
}

}  // namespace tw
