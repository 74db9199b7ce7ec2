#include "collector/src/collector/streams/event_stream_writer.h"
#include "tests/event_pipe_api/nettrace/stream_writer.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <sstream>
#include <unistd.h>

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

TEST(event_records, gc_start_keeps_four_fields_and_drops_the_instance_id) {
  test_support::bytes p;
  p.put<std::uint32_t>(7).put<std::uint32_t>(2).put<std::uint32_t>(1).put<std::uint32_t>(0).put<std::uint16_t>(8);
  const auto v1 = write_one<Microsoft_Windows_DotNETRuntime, 0x10001>(p.data, 1);
  EXPECT_EQ(v1.size(), 30u);
  EXPECT_EQ(v1, concat(header_for(1, 1), le32({7, 2, 1, 0})));
  p.put<std::uint64_t>(5);  // ClientSequenceNumber of version 2
  const auto v2 = write_one<Microsoft_Windows_DotNETRuntime, 0x10002>(p.data, 2);
  EXPECT_EQ(v2, concat(header_for(2, 1), le32({7, 2, 1, 0})));  // same kind, another version
}

TEST(event_records, runtime_kinds) {
  struct row {
    const char* name;
    bytes written;
    bytes expected;
  };
  test_support::bytes gc_end;
  gc_end.put<std::uint32_t>(7).put<std::uint32_t>(2).put<std::uint16_t>(8);
  test_support::bytes suspend0, suspend1;
  suspend0.put<std::uint16_t>(3);
  suspend1.put<std::uint32_t>(3).put<std::uint32_t>(9).put<std::uint16_t>(8);
  test_support::bytes alloc0, alloc1, alloc4;
  alloc0.put<std::uint32_t>(100000).put<std::uint32_t>(1);
  alloc1.put<std::uint32_t>(100000).put<std::uint32_t>(1).put<std::uint16_t>(8);
  alloc4.put<std::uint32_t>(100000).put<std::uint32_t>(1).put<std::uint16_t>(8).put<std::uint64_t>(100000);
  alloc4.put<std::uint64_t>(0x7000).utf16z(u"T[]").put<std::uint32_t>(0).put<std::uint64_t>(0x8000).put<std::uint64_t>(24);
  test_support::bytes exception;
  exception.utf16z(u"E").utf16z(u"m").put<std::uint64_t>(0x1234).put<std::uint32_t>(0x80004005);
  exception.put<std::uint16_t>(1).put<std::uint16_t>(8);
  test_support::bytes contention1, contention2, stop1;
  contention1.put<std::uint8_t>(0).put<std::uint16_t>(8);
  contention2.put<std::uint8_t>(0).put<std::uint16_t>(8).put<std::uint64_t>(1).put<std::uint64_t>(2).put<std::uint64_t>(3);
  stop1.put<std::uint8_t>(0).put<std::uint16_t>(8).put<double>(1.5);
  test_support::bytes jit;
  jit.put<std::uint64_t>(0xAABB).put<std::uint64_t>(1).put<std::uint32_t>(2).put<std::uint32_t>(3);
  jit.utf16z(u"N").utf16z(u"M").utf16z(u"S").put<std::uint16_t>(8);
  test_support::bytes map0, map1;
  map0.put<std::uint64_t>(1).put<std::uint64_t>(0).put<std::uint8_t>(1).put<std::uint16_t>(2);
  map0.put<std::uint32_t>(0).put<std::uint32_t>(4).put<std::uint32_t>(10).put<std::uint32_t>(20).put<std::uint16_t>(8);
  map1 = map0;
  map1.put<std::uint64_t>(3);
  test_support::bytes heap0, heap1, heap2;
  for (int i = 0; i < 10; ++i) heap0.put<std::uint64_t>(i);
  heap0.put<std::uint32_t>(1).put<std::uint32_t>(2).put<std::uint32_t>(3);
  heap1 = heap0;
  heap1.put<std::uint16_t>(8);
  heap2 = heap1;
  heap2.put<std::uint64_t>(4).put<std::uint64_t>(5);
  const bytes nothing;
  auto first = [](const test_support::bytes& b, std::size_t n) { return bytes(b.data.begin(), b.data.begin() + n); };
  auto prefixed = [](const bytes& body) {
    test_support::bytes b;
    b.put<std::uint16_t>(static_cast<std::uint16_t>(body.size())).raw(body);
    return b.data;
  };
  bytes activity;
  for (int i = 0; i < 16; ++i) activity.push_back(static_cast<std::uint8_t>(0xA0 + i));

  using R = Microsoft_Windows_DotNETRuntime;
  const std::vector<row> rows = {
      {"GC stop", write_one<R, 0x20001>(gc_end.data, 1), concat(header_for(1, 2), le32({7}))},
      {"restart end", write_one<R, 0x30001>(bytes{8, 0}, 1), header_for(1, 3)},
      {"suspend v0", write_one<R, 0x90000>(suspend0.data, 0), concat(header_for(0, 4), first(suspend0, 2))},
      {"suspend v1", write_one<R, 0x90001>(suspend1.data, 1), concat(header_for(1, 5), le32({3}))},
      {"allocation tick v0", write_one<R, 0xa0000>(alloc0.data, 0), concat(header_for(0, 6), alloc0.data)},
      {"finalizers", write_one<R, 0xe0001>(bytes{8, 0}, 1), header_for(1, 8)},
      {"exception", write_one<R, 0x500001>(exception.data, 1),
       concat(header_for(1, 9), prefixed(first(exception, 8)))},
      {"contention start v1", write_one<R, 0x510001>(contention1.data, 1), header_for(1, 10)},
      {"contention stop v1", write_one<R, 0x5b0001>(stop1.data, 1), header_for(1, 12)},
      {"jitting started", write_one<R, 0x910001>(jit.data, 1), concat(header_for(1, 14), first(jit, 8))},
      {"IL map v0", write_one<R, 0xbe0000>(map0.data, 0), concat(header_for(0, 15), prefixed(map0.data))},
      {"IL map v1", write_one<R, 0xbe0001>(map1.data, 1), concat(header_for(1, 16), prefixed(map1.data))},
      {"contention start v2", write_one<R, 0x510002>(contention2.data, 2),
       concat(header_for(2, 17), contention2.data)},
      {"heap stats v0", write_one<R, 0x40000>(heap0.data, 0), concat(header_for(0, 18), heap0.data)},
      {"heap stats v1", write_one<R, 0x40001>(heap1.data, 1), concat(header_for(1, 19), heap1.data)},
      {"heap stats v2", write_one<R, 0x40002>(heap2.data, 2), concat(header_for(2, 20), heap2.data)},
      {"allocation tick v1", write_one<R, 0xa0001>(alloc1.data, 1), concat(header_for(1, 21), alloc1.data)},
      {"allocation tick v4", write_one<R, 0xa0004>(alloc4.data, 4),
       concat(concat(header_for(4, 22), bytes{1}), prefixed(first(alloc4, 10)))},
      {"debug IPC start", write_one<R, 0xf00000>(nothing, 0), concat(header_for(0, 23), activity)},
      {"debug IPC stop", write_one<R, 0xf10000>(nothing, 0), concat(header_for(0, 24), activity)},
  };
  for (const auto& r : rows) EXPECT_EQ(r.written, r.expected) << r.name;

  bool kept = true;
  write_one<R, 0x8f0001>(bytes(80, 0), 1, &kept);  // method loads feed the metadata, not the stream
  EXPECT_FALSE(kept);
}

TEST(event_records, event_source_kinds) {
  auto text = [](std::u16string s) {
    test_support::bytes b;
    b.utf16z(s);
    return b.data;
  };
  auto prefixed = [](const bytes& body) {
    test_support::bytes b;
    b.put<std::uint16_t>(static_cast<std::uint16_t>(body.size())).raw(body);
    return b.data;
  };
  auto strings = [&](std::initializer_list<std::u16string> list) {
    bytes out;
    for (const auto& s : list) out = concat(out, text(s));
    return out;
  };
  using Sql = Microsoft_Data_SqlClient_EventSource;
  using K = Microsoft_AspNetCore_Server_Kestrel;
  using T = System_Threading_Tasks_TplEventSource;
  const auto message = text(u"<sc.SqlConnection.Open|API>");
  EXPECT_EQ((write_one<Sql, 0x30000>(message, 0)), concat(header_for(0, 1), prefixed(message)));
  EXPECT_EQ((write_one<Sql, 0x40000>(message, 0)), concat(header_for(0, 2), prefixed(message)));
  EXPECT_EQ((write_one<Sql, 0x50000>(message, 0)), concat(header_for(0, 3), prefixed(message)));
  EXPECT_EQ((write_one<Sql, 0x90000>(message, 0)), concat(header_for(0, 4), prefixed(message)));
  EXPECT_EQ((write_one<Sql, 0x110000>(message, 0)), concat(header_for(0, 5), prefixed(message)));

  // Connection start: each string with its byte length (zero included) first.
  test_support::bytes connection;
  connection.put<std::uint16_t>(6).utf16z(u"c1").put<std::uint16_t>(10).utf16z(u"a:80").put<std::uint16_t>(10).utf16z(u"b:90");
  EXPECT_EQ((write_one<K, 0x10000>(strings({u"c1", u"a:80", u"b:90"}), 0)), concat(header_for(0, 1), connection.data));
  EXPECT_EQ((write_one<K, 0x20000>(text(u"c1"), 0)), concat(header_for(0, 2), prefixed(text(u"c1"))));
  const auto request = strings({u"c1", u"r1", u"HTTP/1.1", u"/hello", u"GET"});
  EXPECT_EQ((write_one<K, 0x30000>(request, 0)), concat(header_for(0, 3), prefixed(strings({u"c1", u"r1"}))));
  EXPECT_EQ((write_one<K, 0x40000>(request, 0)), concat(header_for(0, 4), prefixed(strings({u"c1", u"r1"}))));

  const auto ints = le32({11, 22, 33, 44, 55});
  auto head = [&](std::size_t n) { return bytes(ints.begin(), ints.begin() + 4 * n); };
  EXPECT_EQ((write_one<T, 0xa0003>(ints, 3)), concat(header_for(3, 2), head(3)));
  test_support::bytes operation;
  operation.put<std::int32_t>(11).utf16z(u"op").put<std::int64_t>(0);
  EXPECT_EQ((write_one<T, 0xe0001>(operation.data, 1)),
            concat(header_for(1, 3), prefixed(bytes(operation.data.begin(), operation.data.end() - 8))));
  EXPECT_EQ((write_one<T, 0xf0001>(ints, 1)), concat(header_for(1, 4), head(1)));
  EXPECT_EQ((write_one<T, 0x110001>(ints, 1)), concat(header_for(1, 5), head(1)));
  EXPECT_EQ((write_one<T, 0x120001>(ints, 1)), concat(header_for(1, 6), head(1)));
  EXPECT_EQ((write_one<T, 0x70001>(ints, 1)), concat(header_for(1, 7), head(3)));
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
}

TEST(event_records, collector_own_streams) {
  auto session = std::make_shared<std::ostringstream>();
  session_stream_writer s(session);
  s.session_start(10, 1, 4242, 1000000000, 77);
  s.session_stop(20, 1, 88);
  s.thread_name(40, 5, u"worker");
  test_support::bytes expected;
  expected.raw(header_bytes(10, 1, 1)).put<std::uint32_t>(4242).put<std::uint64_t>(1000000000).put<std::uint64_t>(77);
  expected.raw(header_bytes(20, 1, 3)).put<std::uint64_t>(88);
  expected.raw(header_bytes(40, 5, 5)).put<std::uint16_t>(14).utf16z(u"worker");
  const auto got = session->str();
  EXPECT_EQ(bytes(got.begin(), got.end()), expected.data);

  auto samples = std::make_shared<std::ostringstream>();
  sample_stream_writer w(samples);
  w.thread_start(1, 9);
  w.sample(2, 9, 4, 1);
  test_support::bytes expected_samples;
  expected_samples.raw(header_bytes(1, 9, 1)).raw(header_bytes(2, 9, 4)).put<std::uint8_t>(1);
  const auto got_samples = samples->str();
  EXPECT_EQ(bytes(got_samples.begin(), got_samples.end()), expected_samples.data);
}

class callstack_records : public testing::Test {
 protected:
  void SetUp() override {
    path_ = std::filesystem::temp_directory_path() / ("cs_" + std::to_string(::getpid()));
    fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0664);
    alloc_ = std::make_unique<tarnwell::common::memory_mapped_file_allocator>(fd_, 0, 64 * 4096, 4096, utility_);
    tree_ = std::make_shared<call_tree_data>(*alloc_, 0);
  }
  void TearDown() override {
    tree_.reset();
    alloc_.reset();
    ::close(fd_);
    std::filesystem::remove(path_);
  }
  std::filesystem::path path_;
  int fd_ = -1;
  tarnwell::common::memory_mapped_file_allocator::utility_allocator utility_;
  std::unique_ptr<tarnwell::common::memory_mapped_file_allocator> alloc_;
  std::shared_ptr<call_tree_data> tree_;
};

TEST_F(callstack_records, stacks_become_leaf_offsets_and_empty_ones_no_leaf) {
  auto stream = std::make_shared<std::ostringstream>();
  callstack_stream_writer<Microsoft_Windows_DotNETRuntime> writer(stream, tree_);
  const std::uint32_t small[] = {0x30, 0x20, 0x10};  // 4-byte frames, leaf first
  const auto leaf = writer(100, 7, stack_view{reinterpret_cast<const std::uint8_t*>(small), 3, 4});
  EXPECT_EQ(tree_->at(leaf)->key, 0x30u);  // widened to 64 bits in the tree
  writer(200, 7, stack_view{});
  test_support::bytes expected;
  expected.raw(header_bytes(100, 7, 0x2000)).put<std::int64_t>(100).put<std::uint32_t>(leaf);
  expected.raw(header_bytes(200, 7, 0x2000)).put<std::int64_t>(200).put<std::uint32_t>(0xFFFFFFFF);
  const auto got = stream->str();
  EXPECT_EQ(bytes(got.begin(), got.end()), expected.data);
  EXPECT_EQ(got.size(), 52u);
  EXPECT_EQ(writer.logger().total(), 2u);
}

}  // namespace
