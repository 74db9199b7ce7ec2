#include "collector/src/collector/streams/event_stream_writer.h"
#include "tests/event_pipe_api/nettrace/stream_writer.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

using namespace tarnwell;
using namespace tarnwell::collector;
using namespace tarnwell::collector::inproc;
using bytes = std::vector<std::uint8_t>;

bytes header_bytes(std::int64_t ts, std::uint32_t tid, std::uint16_t word) {
  test_support::bytes b;
  b.put(ts).put(tid).put(word);
  return b.data;
}

bytes concat(bytes a, const bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Writes one catalogue event through the provider's event writer.
template <class Provider, std::uint32_t Key>
bytes write_one(const bytes& payload, std::uint8_t version, bool* kept = nullptr) {
  constexpr std::size_t n = Provider::events::index_of(Key);
  static_assert(n < Provider::events::size);
  auto stream = std::make_shared<std::ostringstream>();
  event_stream_writer<Provider> writer(stream);
  dispatched_event<Provider, n> e;
  e.header.timestamp = 0x1122334455667788;
  e.header.thread_id = 0x99;
  e.header.version = version;
  tw::guid::bytes_type activity;
  for (int i = 0; i < 16; ++i) activity[i] = static_cast<std::uint8_t>(0xA0 + i);
  e.header.activity_id = tw::guid::from_bytes(activity, tw::guid_byte_order::windows);
  e.payload = {payload.data(), payload.data() + payload.size()};
  const bool wrote = writer(e);
  if (kept) *kept = wrote;
  const auto s = stream->str();
  return bytes(s.begin(), s.end());
}

bytes header_for(std::uint8_t version, std::uint16_t kind) {
  return header_bytes(0x1122334455667788, 0x99, static_cast<std::uint16_t>((version << 12) | kind));
}

bytes le32(std::initializer_list<std::uint32_t> v) {
  test_support::bytes b;
  for (auto x : v) b.put(x);
  return b.data;
}

// The kinds no committed recording holds (those it holds are checked, byte
// for byte, by the golden snapshots): older event versions, debugger IPC,
// task operations.
TEST(event_records, kinds_the_recordings_do_not_hold) {
  test_support::bytes suspend0, alloc0, alloc1, map1, heap0, operation;
  suspend0.put<std::uint16_t>(3);
  alloc0.put<std::uint32_t>(100000).put<std::uint32_t>(1);
  alloc1 = alloc0;
  alloc1.put<std::uint16_t>(8);
  map1.put<std::uint64_t>(1).put<std::uint64_t>(0).put<std::uint8_t>(1).put<std::uint16_t>(2);
  map1.put<std::uint32_t>(0).put<std::uint32_t>(4).put<std::uint32_t>(10).put<std::uint32_t>(20).put<std::uint16_t>(8);
  map1.put<std::uint64_t>(3);
  for (int i = 0; i < 10; ++i) heap0.put<std::uint64_t>(i);
  heap0.put<std::uint32_t>(1).put<std::uint32_t>(2).put<std::uint32_t>(3);
  operation.put<std::int32_t>(11).utf16z(u"op").put<std::int64_t>(0);
  const auto prefixed = [](const bytes& body) {
    test_support::bytes b;
    b.put<std::uint16_t>(static_cast<std::uint16_t>(body.size())).raw(body);
    return b.data;
  };
  bytes activity;
  for (int i = 0; i < 16; ++i) activity.push_back(static_cast<std::uint8_t>(0xA0 + i));
  using R = Microsoft_Windows_DotNETRuntime;
  using T = System_Threading_Tasks_TplEventSource;
  const struct {
    const char* name;
    bytes written, expected;
  } rows[] = {
      {"suspend v0", write_one<R, 0x90000>(suspend0.data, 0), concat(header_for(0, 4), suspend0.data)},
      {"allocation tick v0", write_one<R, 0xa0000>(alloc0.data, 0), concat(header_for(0, 6), alloc0.data)},
      {"allocation tick v1", write_one<R, 0xa0001>(alloc1.data, 1), concat(header_for(1, 21), alloc1.data)},
      {"IL map v1", write_one<R, 0xbe0001>(map1.data, 1), concat(header_for(1, 16), prefixed(map1.data))},
      {"heap stats v0", write_one<R, 0x40000>(heap0.data, 0), concat(header_for(0, 18), heap0.data)},
      {"debug IPC start", write_one<R, 0xf00000>({}, 0), concat(header_for(0, 23), activity)},
      {"debug IPC stop", write_one<R, 0xf10000>({}, 0), concat(header_for(0, 24), activity)},
      {"task operation begin", write_one<T, 0xe0001>(operation.data, 1),
       concat(header_for(1, 3), prefixed(bytes(operation.data.begin(), operation.data.end() - 8)))},
      {"task operation end", write_one<T, 0xf0001>(le32({11, 22}), 1), concat(header_for(1, 4), le32({11}))},
  };
  for (const auto& r : rows) EXPECT_EQ(r.written, r.expected) << r.name;

  bool kept = true;
  write_one<R, 0x8f0001>(bytes(80, 0), 1, &kept);  // method loads feed the metadata, not the stream
  EXPECT_FALSE(kept);
}

TEST(event_records, a_payload_too_short_loses_only_its_record) {
  bool kept = true;
  const auto written = write_one<Microsoft_Windows_DotNETRuntime, 0x10001>(bytes{1, 2, 3}, 1, &kept);
  EXPECT_FALSE(kept);
  EXPECT_EQ(written.size(), 0u);
}

TEST(event_records, string_lengths_switch_to_32_bits_past_65535) {
  auto write = [](std::size_t units) {
    std::ostringstream out;
    record_writer w(out);
    std::u16string text(units, u'x');
    w.utf16(text);
    return out.str();
  };
  const auto short_form = write(32766);  // 65534 bytes with the zero
  EXPECT_EQ(static_cast<unsigned char>(short_form[0]), 0xFE);
  EXPECT_EQ(static_cast<unsigned char>(short_form[1]), 0xFF);
  EXPECT_EQ(short_form.size(), 2u + 65534);
  const auto long_form = write(32767);  // 65536 bytes with the zero
  EXPECT_EQ(long_form.substr(0, 6), std::string("\0\0\0\0\1\0", 6));
  EXPECT_EQ(long_form.size(), 6u + 65536);
  std::ostringstream odd;
  const std::vector<std::uint8_t> body(65535, 0x5A);
  record_writer(odd).prefixed(body.data(), body.size());  // the largest short form
  EXPECT_EQ(odd.str().substr(0, 2), "\xFF\xFF");
  EXPECT_EQ(odd.str().size(), 2u + 65535);
}

TEST(event_records, a_thread_name_in_the_session_stream) {
  auto session = std::make_shared<std::ostringstream>();
  session_stream_writer(session).thread_name(40, 5, u"worker");
  test_support::bytes expected;
  expected.raw(header_bytes(40, 5, 5)).put<std::uint16_t>(14).utf16z(u"worker");
  const auto got = session->str();
  EXPECT_EQ(bytes(got.begin(), got.end()), expected.data);
}

}  // namespace
