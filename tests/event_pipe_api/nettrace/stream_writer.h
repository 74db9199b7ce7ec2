#pragma once

// Builds nettrace streams byte by byte for tests: the header, objects with
// their framing and padding, and the bodies of metadata, event, stack and
// sequence-point blocks.

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace test_support {

struct bytes {
  std::vector<std::uint8_t> data;

  template <class T>
  bytes& put(T v) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(&v);
    data.insert(data.end(), p, p + sizeof(T));
    return *this;
  }
  bytes& raw(const std::vector<std::uint8_t>& b) {
    data.insert(data.end(), b.begin(), b.end());
    return *this;
  }
  bytes& ascii(const std::string& s) {
    data.insert(data.end(), s.begin(), s.end());
    return *this;
  }
  bytes& utf16z(const std::u16string& s) {
    for (char16_t c : s) put<std::uint16_t>(c);
    return put<std::uint16_t>(0);
  }
  bytes& varint(std::uint64_t v) {
    do {
      std::uint8_t b = v & 0x7F;
      v >>= 7;
      if (v) b |= 0x80;
      data.push_back(b);
    } while (v);
    return *this;
  }
  std::size_t size() const { return data.size(); }
};

// A metadata event payload with an optional parameter description.
inline std::vector<std::uint8_t> metadata_payload(std::int32_t metadata_id, const std::u16string& provider,
                                                  std::int32_t event_id, const std::u16string& name,
                                                  std::int32_t version, const bytes& description = {}) {
  bytes b;
  b.put(metadata_id).utf16z(provider).put(event_id).utf16z(name).put<std::uint64_t>(0).put(version).put<std::int32_t>(4);
  b.raw(description.data);
  return b.data;
}

// One compressed event with every field spelled out (flags 0x8F plus sorted).
struct event_shape {
  std::int32_t metadata_id = 1;
  std::uint32_t sequence_delta = 0;
  std::uint64_t thread_id = 100;
  std::uint32_t stack_id = 0;
  std::uint64_t timestamp_delta = 10;
  std::vector<std::uint8_t> payload;
  std::vector<std::uint8_t> activity = {};  // 16 bytes as they travel, or none
};

inline void compressed_event(bytes& b, const event_shape& e) {
  b.put<std::uint8_t>(0x01 | 0x02 | 0x04 | 0x08 | 0x80 | (e.activity.empty() ? 0 : 0x10));
  b.varint(static_cast<std::uint32_t>(e.metadata_id));
  b.varint(e.sequence_delta).varint(e.thread_id).varint(0);  // capture thread, processor
  b.varint(e.thread_id).varint(e.stack_id).varint(e.timestamp_delta).raw(e.activity).varint(e.payload.size());
  b.raw(e.payload);
}

inline bytes block_body(const bytes& events, std::uint16_t header_size = 20, std::int64_t min_ts = 0,
                        std::int64_t max_ts = 1'000'000, std::uint16_t flags = 1) {
  bytes b;
  b.put(header_size).put(flags).put(min_ts).put(max_ts);
  for (int i = 20; i < header_size; ++i) b.put<std::uint8_t>(0xEE);
  b.raw(events.data);
  return b;
}

inline bytes metadata_block(const std::vector<std::vector<std::uint8_t>>& payloads) {
  bytes events;
  for (const auto& p : payloads) {
    event_shape e;
    e.metadata_id = 0;
    e.payload = p;
    compressed_event(events, e);
  }
  return block_body(events);
}

inline bytes stack_block(std::uint32_t first_id, const std::vector<std::vector<std::uint64_t>>& stacks) {
  bytes b;
  b.put(first_id).put<std::uint32_t>(static_cast<std::uint32_t>(stacks.size()));
  for (const auto& s : stacks) {
    b.put<std::uint32_t>(static_cast<std::uint32_t>(s.size() * 8));
    for (auto a : s) b.put(a);
  }
  return b;
}

inline bytes sequence_point_block(std::int64_t timestamp, const std::vector<std::pair<std::int64_t, std::uint32_t>>& t) {
  bytes b;
  b.put(timestamp).put<std::int32_t>(static_cast<std::int32_t>(t.size()));
  for (auto [id, n] : t) b.put(id).put(n);
  return b;
}

class stream_writer {
 public:
  explicit stream_writer(std::int32_t signature_length = 20, const std::string& magic = "Nettrace") {
    out_.ascii(magic).put(signature_length).ascii("!FastSerialization.1");
  }

  stream_writer& trace(std::int32_t pointer_size = 8, std::int32_t pid = 4242, std::int64_t frequency = 1'000'000'000) {
    type_header("Trace");
    out_.put<std::uint16_t>(2026).put<std::uint16_t>(12).put<std::uint16_t>(5).put<std::uint16_t>(4);
    out_.put<std::uint16_t>(6).put<std::uint16_t>(8).put<std::uint16_t>(17).put<std::uint16_t>(42);
    out_.put<std::int64_t>(1000).put(frequency).put(pointer_size).put(pid).put<std::int32_t>(2).put<std::int32_t>(1000);
    out_.put(std::uint8_t{6});
    return *this;
  }

  // A block object: size, padding to four bytes, body, end tag.
  stream_writer& block(const std::string& name, const bytes& body, int declared_size_delta = 0) {
    type_header(name);
    out_.put<std::int32_t>(static_cast<std::int32_t>(body.size()) + declared_size_delta);
    while (out_.size() % 4) out_.put<std::uint8_t>(0);
    out_.raw(body.data);
    out_.put(std::uint8_t{6});
    return *this;
  }

  stream_writer& end() {
    out_.put(std::uint8_t{1});
    return *this;
  }

  stream_writer& raw(const std::vector<std::uint8_t>& b) {
    out_.raw(b);
    return *this;
  }

  std::size_t size() const { return out_.size(); }
  const std::vector<std::uint8_t>& data() const { return out_.data; }

 private:
  void type_header(const std::string& name) {
    out_.put<std::uint8_t>(5).put<std::uint8_t>(5).put<std::uint8_t>(1).put<std::int32_t>(4).put<std::int32_t>(4);
    out_.put<std::int32_t>(static_cast<std::int32_t>(name.size())).ascii(name).put<std::uint8_t>(6);
  }

  bytes out_;
};

}  // namespace test_support
