#pragma once

// JSON text as eptl writes it, into a FILE* or a stream, through a buffer
// that goes out a megabyte at a time. One escaping rule for every string:
// quotes and backslashes escaped, control characters as \u00XX.

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ostream>
#include <stdexcept>
#include <string>
#include <string_view>

namespace tw::tools {

// A JSON string literal of `s`, appended to `to`.
inline void append_json_string(std::string& to, std::string_view s) {
  static constexpr char hex[] = "0123456789abcdef";
  to += '"';
  for (const char c : s) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      to += '\\';
      to += c;
    } else if (u < 0x20) {
      to.append("\\u00");
      to += hex[u >> 4];
      to += hex[u & 15];
    } else {
      to += c;
    }
  }
  to += '"';
}

inline std::string json_string(std::string_view s) {
  std::string text;
  append_json_string(text, s);
  return text;
}

class json_out {
 public:
  explicit json_out(std::FILE* f) : file_(f) { buffer_.reserve(capacity + 4096); }
  explicit json_out(std::ostream& stream) : stream_(&stream) { buffer_.reserve(capacity + 4096); }
  json_out(const json_out&) = delete;
  json_out& operator=(const json_out&) = delete;
  ~json_out() {
    try {
      flush();
    } catch (...) {
      // The owner flushes first to hear of a failure; here only what is left.
    }
  }

  json_out& raw(std::string_view s) {
    buffer_.append(s);
    if (buffer_.size() >= capacity) flush();
    return *this;
  }
  json_out& str(std::string_view s) {
    append_json_string(buffer_, s);
    return raw({});
  }
  json_out& boolean(bool b) { return raw(b ? "true" : "false"); }
  template <class Int>
  json_out& num(Int v) {
    char text[24];
    const auto end = std::to_chars(text, text + sizeof text, v).ptr;
    return raw({text, static_cast<std::size_t>(end - text)});
  }
  // Three decimals: a microsecond in milliseconds, a nanosecond in
  // microseconds.
  json_out& fixed(double v) {
    if (!std::isfinite(v)) return raw("0");
    char text[400];  // the largest double, written out
    const auto [end, error] = std::to_chars(text, text + sizeof text, v, std::chars_format::fixed, 3);
    return error == std::errc() ? raw({text, static_cast<std::size_t>(end - text)}) : raw("0");
  }
  // Six significant digits, as a stream prints a double by default.
  json_out& real(double v) {
    if (!std::isfinite(v)) return raw("0");
    char text[32];
    const int n = std::snprintf(text, sizeof text, "%g", v);
    return raw({text, static_cast<std::size_t>(n)});
  }
  void flush() {
    if (buffer_.empty()) return;
    if (file_ != nullptr) {
      if (std::fwrite(buffer_.data(), 1, buffer_.size(), file_) != buffer_.size())
        throw std::runtime_error(std::string("Cannot write the export: ") + std::strerror(errno));
    } else {
      stream_->write(buffer_.data(), static_cast<std::streamsize>(buffer_.size()));
    }
    buffer_.clear();
  }

 private:
  static constexpr std::size_t capacity = 1 << 20;
  std::FILE* file_ = nullptr;
  std::ostream* stream_ = nullptr;
  std::string buffer_;
};

}  // namespace tw::tools
