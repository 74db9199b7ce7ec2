#pragma once

// UTF-8 <-> UTF-16 conversion for the exported boundary, nettrace metadata
// and payloads, and the diagnostics IPC protocol. UTF-8 is read and written in
// its original up-to-six-byte form, so any 31-bit value survives a round trip
// through UTF-8; UTF-16 is strict about surrogates.

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace kv521::utf {

using code_point = std::uint32_t;

// Reads one code point from UTF-16 units in [p, end); a zero unit counts as
// the end. Advances p. The caller guarantees p != end and *p != 0.
inline code_point read_utf16(const char16_t*& p, const char16_t* end) {
  const char16_t unit = *p++;
  if (unit < 0xD800 || unit > 0xDFFF) return unit;
  if (unit >= 0xDC00) throw std::runtime_error("The high utf16 surrogate char is expected");
  if (p == end || *p < 0xDC00 || *p > 0xDFFF)
    throw std::runtime_error("The low utf16 surrogate char is expected");
  const char16_t low = *p++;
  return 0x10000u + ((code_point(unit) - 0xD800u) << 10) + (code_point(low) - 0xDC00u);
}

inline void append_utf8(std::string& out, code_point cp) {
  auto cont = [](code_point v, int shift) { return char(0x80 | ((v >> shift) & 0x3F)); };
  if (cp <= 0x7F) {
    out += char(cp);
  } else if (cp <= 0x7FF) {
    out += char(0xC0 | (cp >> 6));
    out += cont(cp, 0);
  } else if (cp <= 0xFFFF) {
    out += char(0xE0 | (cp >> 12));
    out += cont(cp, 6);
    out += cont(cp, 0);
  } else if (cp <= 0x1FFFFF) {
    out += char(0xF0 | (cp >> 18));
    out += cont(cp, 12);
    out += cont(cp, 6);
    out += cont(cp, 0);
  } else if (cp <= 0x3FFFFFF) {
    out += char(0xF8 | (cp >> 24));
    for (int s = 18; s >= 0; s -= 6) out += cont(cp, s);
  } else if (cp <= 0x7FFFFFFF) {
    out += char(0xFC | (cp >> 30));
    for (int s = 24; s >= 0; s -= 6) out += cont(cp, s);
  } else {
    throw std::runtime_error("Tool large UTF8 code point");
  }
}

// Reads one code point from UTF-8 bytes in [p, end). Advances p. The caller
// guarantees p != end. A sequence cut short by the end is a bad follow byte.
inline code_point read_utf8(const char*& p, const char* end) {
  const auto lead = static_cast<unsigned char>(*p++);
  int follow;
  code_point cp;
  if (lead < 0x80) return lead;
  if (lead < 0xC0 || lead >= 0xFE) throw std::runtime_error("The utf8 first char in sequence is incorrect");
  if (lead < 0xE0) { follow = 1; cp = lead & 0x1F; }
  else if (lead < 0xF0) { follow = 2; cp = lead & 0x0F; }
  else if (lead < 0xF8) { follow = 3; cp = lead & 0x07; }
  else if (lead < 0xFC) { follow = 4; cp = lead & 0x03; }
  else { follow = 5; cp = lead & 0x01; }
  for (int i = 0; i < follow; ++i) {
    if (p == end || (static_cast<unsigned char>(*p) & 0xC0) != 0x80)
      throw std::runtime_error("The utf8 slave char in sequence is incorrect");
    cp = (cp << 6) | (static_cast<unsigned char>(*p++) & 0x3F);
  }
  return cp;
}

inline void append_utf16(std::u16string& out, code_point cp) {
  if (cp < 0xD800 || (cp >= 0xE000 && cp <= 0xFFFF)) {
    out += char16_t(cp);
  } else if (cp <= 0xDFFF) {
    throw std::runtime_error("The utf16 code point can not be in surrogate range");
  } else if (cp <= 0x10FFFF) {
    out += char16_t(0xD800 + ((cp - 0x10000) >> 10));
    out += char16_t(0xDC00 | (cp & 0x3FF));
  } else {
    throw std::runtime_error("Too large the utf16 code point");
  }
}

// Converts up to the first zero unit (or the end of the view).
inline std::string utf16_to_utf8(std::u16string_view in) {
  std::string out;
  out.reserve(in.size());
  const char16_t* p = in.data();
  const char16_t* end = p + in.size();
  while (p != end && *p != 0) append_utf8(out, read_utf16(p, end));
  return out;
}

// Converts a zero-terminated UTF-16 string.
inline std::string utf16_to_utf8(const char16_t* zero_terminated) {
  return utf16_to_utf8(std::u16string_view(zero_terminated));
}

inline std::u16string utf8_to_utf16(std::string_view in) {
  std::u16string out;
  out.reserve(in.size());
  const char* p = in.data();
  const char* end = p + in.size();
  while (p != end) append_utf16(out, read_utf8(p, end));
  return out;
}

}  // namespace kv521::utf
