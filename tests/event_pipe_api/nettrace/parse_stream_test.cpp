#include "event_pipe_api/src/nettrace/parse_stream.h"
#include "tests/event_pipe_api/nettrace/stream_writer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <limits>

namespace {

using namespace tarnwell::nettrace;
using tarnwell::collector::event_pipe::consumer_status;
using test_support::bytes;
using test_support::event_shape;
using test_support::stream_writer;

struct seen_event {
  std::uint16_t id;
  std::uint8_t version;
  std::uint32_t thread;
  std::int64_t timestamp;
  std::int32_t sequence;
  std::string provider;
  std::vector<std::uint8_t> payload;
  std::vector<std::uint64_t> stack;
  tw::guid activity;
};

struct recorder final : tarnwell::collector::event_pipe::event_pipe_handlers_base {
  std::vector<seen_event> events;
  int traces = 0;
  std::vector<sp_block> sequence_points;
  std::function<void()> on_event;

  void handle_event(const event_trace_record& r, bool) override {
    seen_event e{r.header.event_id, r.header.version, r.header.thread_id, r.header.timestamp, r.sequence_number,
                 (*r.metadata)->provider_name(), {r.payload.begin, r.payload.end}, {}, r.activity_id};
    for (std::size_t i = 0; i < r.stack.size(); ++i) e.stack.push_back(r.stack[i]);
    events.push_back(std::move(e));
    if (on_event) on_event();
  }
  void handle_trace_object(const TraceObject&) override { ++traces; }
  void handle_sequence_point(const sp_block& sp) override { sequence_points.push_back(sp); }
};

struct run_result {
  consumer_status status;
  std::string error;
  std::shared_ptr<recorder> seen;
};

run_result run(const std::vector<std::uint8_t>& stream, std::function<int(unsigned long)> progress = nullptr,
               bool stop = false) {
  run_result r;
  r.seen = std::make_shared<recorder>();
  std::atomic<bool> stop_flag{stop};
  if (!progress) progress = [](unsigned long) { return 1; };
  StreamParser<false> parser(r.seen, progress, stop_flag);
  memory_source source(stream.data(), stream.size());
  try {
    r.status = parser.parse(source);
  } catch (const std::exception& e) {
    r.status.status = consumer_status::failed;
    r.error = e.what();
  }
  r.status.timestamps_out_of_range = parser.timestamps_out_of_range();
  return r;
}

const std::u16string runtime = u"Microsoft-Windows-DotNETRuntime";

// Metadata id 1 = GCStart v2, id 2 = GCStop v1, both of the runtime.
stream_writer with_metadata() {
  stream_writer w;
  w.trace().block("MetadataBlock", test_support::metadata_block({
                                       test_support::metadata_payload(1, runtime, 1, u"GCStart", 2),
                                       test_support::metadata_payload(2, runtime, 2, u"", 1),
                                   }));
  return w;
}

// `w` ended by one event block of `events`, run.
run_result run_events(std::initializer_list<event_shape> events, stream_writer w = with_metadata(),
                      std::uint16_t header_size = 20) {
  bytes block;
  for (const auto& e : events) test_support::compressed_event(block, e);
  w.block("EventBlock", test_support::block_body(block, header_size)).end();
  return run(w.data());
}

TEST(stream_header, an_empty_stream_finishes_or_stops_without_handler_calls) {
  auto w = stream_writer().end();
  auto finished = run(w.data());
  EXPECT_EQ(finished.status.status, consumer_status::finished);
  auto stopped = run(w.data(), nullptr, true);
  EXPECT_EQ(stopped.status.status, consumer_status::stopped);
  EXPECT_TRUE(finished.seen->events.empty());
  EXPECT_EQ(finished.seen->traces, 0);
}

TEST(stream_header, progress_refusing_at_once_stops_before_any_object) {
  auto w = with_metadata().end();
  auto r = run(w.data(), [](unsigned long) { return 0; });
  EXPECT_EQ(r.status.status, consumer_status::stopped);
  EXPECT_EQ(r.seen->traces, 0);
}

// Damaged streams: each fails with its message, whatever was whole before it
// already delivered.
TEST(damaged_stream, each_damage_fails_with_its_message) {
  const auto event_block = [](stream_writer w, event_shape e) {
    bytes events;
    test_support::compressed_event(events, e);
    return w.block("EventBlock", test_support::block_body(events)).end().data();
  };
  const auto cut_inside_an_object = [] {
    auto data = with_metadata().data();
    data.resize(data.size() - 5);
    return data;
  };
  const auto larger_than_the_buffer = [] {
    auto data = stream_writer().trace().data();
    bytes huge;
    huge.put<std::uint8_t>(5).put<std::uint8_t>(5).put<std::uint8_t>(1).put<std::int32_t>(2).put<std::int32_t>(2);
    huge.put<std::int32_t>(10).ascii("EventBlock").put<std::uint8_t>(6).put<std::int32_t>(0x7FFFFFF0);
    data.insert(data.end(), huge.data.begin(), huge.data.end());
    return data;
  };
  const auto declared_larger = [] {
    bytes events;
    test_support::compressed_event(events, event_shape{});
    return with_metadata().block("EventBlock", test_support::block_body(events), 8).end().data();
  };
  // An object whose type name is longer than any real stream's.
  const auto long_type_name = [] {
    auto data = stream_writer().trace().data();
    bytes object;
    object.put<std::uint8_t>(5).put<std::uint8_t>(5).put<std::uint8_t>(1).put<std::int32_t>(2).put<std::int32_t>(2);
    object.put<std::int32_t>(2000).ascii(std::string(2000, 'A'));
    data.insert(data.end(), object.data.begin(), object.data.end());
    return data;
  };
  // A block of a bare 20-byte header that says it is 24 bytes long.
  bytes header_only;
  header_only.put<std::uint16_t>(24).put<std::uint16_t>(1).put<std::int64_t>(0).put<std::int64_t>(1);
  bytes unterminated;
  unterminated.put<std::int32_t>(1).put<std::uint16_t>('A').put<std::uint16_t>('B');
  bytes big_stack;
  big_stack.put<std::uint32_t>(1).put<std::uint32_t>(1).put<std::uint32_t>(64).put<std::uint64_t>(1);
  struct row {
    const char* damage;
    std::vector<std::uint8_t> stream;
    const char* message;  // how the error starts, or a part of it after "..."
  };
  const row rows[] = {
      {"a signature of 19 characters", stream_writer(19).end().data(), "Invalid stream header received"},
      {"a signature of 21 characters", stream_writer(21).end().data(), "Invalid stream header received"},
      {"another signature", stream_writer(20, "Nettracf").end().data(), "Invalid stream header received"},
      {"a bad begin tag", stream_writer().raw({7}).data(),
       "begin_tag == BeginPrivateObjectTag || begin_tag == NullReferenceTag"},
      {"an unknown block with a body", stream_writer().block("FutureBlock", bytes{}.put<std::uint32_t>(1)).end().data(),
       "end_tag == EndObjectTag"},
      {"a cut inside an object", cut_inside_an_object(), "Unexpected EOF: "},
      {"a read larger than the buffer", larger_than_the_buffer(), "...does not fit"},
      {"a size larger than the content", declared_larger(), "..."},
      {"a stack block before the trace",
       stream_writer().block("StackBlock", test_support::stack_block(1, {{1}})).end().data(),
       "...before the Trace object"},
      {"an unknown metadata id", event_block(with_metadata(), {9, 0, 7, 0, 1, {}}), "map::at:  key not found"},
      {"an unknown stack id", event_block(with_metadata(), {1, 0, 7, 5, 1, {}}), "map::at:  key not found"},
      {"a name past its payload",
       stream_writer().trace().block("MetadataBlock", test_support::metadata_block({unterminated.data})).end().data(),
       "...no terminator"},
      {"a stack larger than its block", with_metadata().block("StackBlock", big_stack).end().data(), "..."},
      {"a type name longer than any real one", long_type_name(), "Invalid type name length 2000"},
      {"a block header larger than its block", with_metadata().block("EventBlock", header_only).end().data(),
       "Block header size 24 exceeds the block size 20"},
  };
  for (const auto& r : rows) {
    const auto result = run(r.stream);
    EXPECT_EQ(result.status.status, consumer_status::failed) << r.damage;
    const bool anywhere = std::string_view(r.message).starts_with("...");
    EXPECT_EQ(anywhere ? result.error.find(r.message + 3) != std::string::npos : result.error.rfind(r.message, 0) == 0,
              true)
        << r.damage << ": " << result.error;
  }
  // An unknown block without a body is passed over.
  EXPECT_EQ(run(stream_writer().block("FutureBlock", bytes{}).end().data()).status.status, consumer_status::finished);
}

TEST(event_block, events_resolve_against_metadata_and_stacks) {
  auto w = with_metadata();
  w.block("StackBlock", test_support::stack_block(1, {{0x1000, 0x2000}, {}}));
  // An activity id travels in the Windows byte order.
  const std::vector<std::uint8_t> activity = {0x33, 0x22, 0x11, 0x00, 0x55, 0x44, 0x77, 0x66,
                                              0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
  auto r = run_events({{1, 0, 7, 1, 100, {1, 2, 3}, activity}, {2, 0, 8, 2, 5, {}}}, w);
  ASSERT_EQ(r.status.status, consumer_status::finished) << r.error;
  ASSERT_EQ(r.seen->events.size(), 2u);
  const auto& a = r.seen->events[0];
  EXPECT_EQ(a.id, 1);
  EXPECT_EQ(a.version, 2);
  EXPECT_EQ(a.thread, 7u);
  EXPECT_EQ(a.timestamp, 100);
  EXPECT_EQ(a.provider, "Microsoft-Windows-DotNETRuntime");
  EXPECT_EQ(a.payload, (std::vector<std::uint8_t>{1, 2, 3}));
  EXPECT_EQ(a.stack, (std::vector<std::uint64_t>{0x1000, 0x2000}));
  EXPECT_EQ(a.activity, tw::guid::parse("00112233-4455-6677-8899-aabbccddeeff"));
  const auto& b = r.seen->events[1];
  EXPECT_EQ(b.id, 2);
  EXPECT_EQ(b.timestamp, 105);  // deltas accumulate
  EXPECT_EQ(r.status.timestamps_out_of_range, 0u);
  EXPECT_TRUE(b.stack.empty());
}

TEST(event_block, flags_zero_repeats_the_previous_header) {
  auto w = with_metadata();
  bytes events;
  test_support::compressed_event(events, {1, 4, 9, 0, 50, {0xAA, 0xBB}});
  events.put<std::uint8_t>(0x00).varint(3).raw({0xCC, 0xDD});
  w.block("EventBlock", test_support::block_body(events)).end();
  auto r = run(w.data());
  ASSERT_EQ(r.seen->events.size(), 2u) << r.error;
  const auto& second = r.seen->events[1];
  EXPECT_EQ(second.id, 1);
  EXPECT_EQ(second.thread, 9u);
  EXPECT_EQ(second.timestamp, 53);
  EXPECT_EQ(second.sequence, r.seen->events[0].sequence + 1);
  EXPECT_EQ(second.payload, (std::vector<std::uint8_t>{0xCC, 0xDD}));
}

TEST(event_block, sequence_and_timestamp_deltas_wrap_around_instead_of_overflowing) {
  auto r = run_events({{1, 0x7FFFFFFE, 7, 0, 0x7FFFFFFFFFFFFFF0ull, {}}, {1, 5, 7, 0, 0x20, {}}});
  ASSERT_EQ(r.status.status, consumer_status::finished) << r.error;
  ASSERT_EQ(r.seen->events.size(), 2u);
  EXPECT_EQ(r.seen->events[0].sequence, 0x7FFFFFFF);
  EXPECT_EQ(r.seen->events[0].timestamp, 0x7FFFFFFFFFFFFFF0ll);
  EXPECT_EQ(r.seen->events[1].sequence, std::numeric_limits<std::int32_t>::min() + 5);
  EXPECT_EQ(r.seen->events[1].timestamp, std::numeric_limits<std::int64_t>::min() + 0x10);
  EXPECT_EQ(r.status.timestamps_out_of_range, 2u);  // both, of a block of [0, 1000000]
}

TEST(event_block, longer_block_headers_skip_their_extra_bytes) {
  auto r = run_events({{1, 0, 7, 0, 100, {1}}}, with_metadata(), 24);
  ASSERT_EQ(r.status.status, consumer_status::finished) << r.error;
  EXPECT_EQ(r.seen->events.size(), 1u);
}

TEST(event_block, progress_refusal_stops_delivery_inside_a_block) {
  auto w = with_metadata();
  bytes events;
  for (int i = 0; i < 5; ++i) test_support::compressed_event(events, {1, 0, 7, 0, 1, {std::uint8_t(i)}});
  w.block("EventBlock", test_support::block_body(events)).end();
  auto r = std::make_shared<recorder>();
  int calls = 0;
  std::atomic<bool> stop{false};
  StreamParser<false> parser(r, [&](unsigned long) { return r->events.size() < 2 ? 1 : (++calls, 0); }, stop);
  memory_source source(w.data().data(), w.size());
  EXPECT_EQ(parser.parse(source).status, consumer_status::stopped);
  EXPECT_EQ(r->events.size(), 2u);
}

TEST(metadata_block, the_first_definition_of_an_id_stays) {
  auto w = with_metadata();
  w.block("MetadataBlock", test_support::metadata_block({test_support::metadata_payload(1, u"Other", 77, u"X", 0)}));
  auto r = run_events({{1, 0, 7, 0, 1, {}}}, w);
  ASSERT_EQ(r.seen->events.size(), 1u);
  EXPECT_EQ(r.seen->events[0].id, 1);
  EXPECT_EQ(r.seen->events[0].provider, "Microsoft-Windows-DotNETRuntime");
}

TEST(stack_block, a_sequence_point_frees_stack_ids_for_reuse) {
  auto w = with_metadata();
  w.block("StackBlock", test_support::stack_block(1, {{0x10}}));
  bytes first;
  test_support::compressed_event(first, {1, 0, 7, 1, 1, {}});
  w.block("EventBlock", test_support::block_body(first));
  w.block("SPBlock", test_support::sequence_point_block(77, {{7, 1}, {8, 3}}));
  w.block("StackBlock", test_support::stack_block(1, {{0x20, 0x30}}));
  bytes second;
  test_support::compressed_event(second, {1, 0, 7, 1, 1, {}});
  w.block("EventBlock", test_support::block_body(second)).end();
  auto r = run(w.data());
  ASSERT_EQ(r.seen->events.size(), 2u) << r.error;
  EXPECT_EQ(r.seen->events[0].stack, (std::vector<std::uint64_t>{0x10}));
  EXPECT_EQ(r.seen->events[1].stack, (std::vector<std::uint64_t>{0x20, 0x30}));
  ASSERT_EQ(r.seen->sequence_points.size(), 1u);
  EXPECT_EQ(r.seen->sequence_points[0].timestamp, 77);
  EXPECT_EQ(r.seen->sequence_points[0].threads,
            (std::vector<std::pair<std::int64_t, std::uint32_t>>{{7, 1}, {8, 3}}));
}

// Stacks are kept until the next sequence point however many blocks define
// them, in whatever order their ids come, and the memory that held them is
// reused after it.
TEST(stack_block, stacks_stay_readable_until_the_sequence_point_whatever_their_blocks_and_ids) {
  const auto frames = [](std::uint64_t tag, std::size_t count) {
    std::vector<std::uint64_t> stack(count);
    for (std::size_t i = 0; i < count; ++i) stack[i] = tag << 32 | i;
    return stack;
  };
  auto w = with_metadata();
  // Twenty blocks of 320 KB each, more than one run of memory holds.
  std::vector<std::pair<std::uint32_t, std::vector<std::uint64_t>>> defined;
  for (std::uint32_t b = 0; b < 20; ++b) {
    defined.emplace_back(10 + b, frames(b + 1, 40000));
    w.block("StackBlock", test_support::stack_block(10 + b, {defined.back().second}));
  }
  // An id far from the others, one before the first, one larger than a run
  // of memory, and a second definition of an id, which does not hold.
  defined.emplace_back(5000000, frames(100, 3));
  w.block("StackBlock", test_support::stack_block(5000000, {defined.back().second}));
  defined.emplace_back(2, frames(101, 2));
  w.block("StackBlock", test_support::stack_block(2, {defined.back().second}));
  defined.emplace_back(40, frames(102, 600000));
  w.block("StackBlock", test_support::stack_block(40, {defined.back().second}));
  w.block("StackBlock", test_support::stack_block(10, {frames(103, 1)}));
  bytes events;
  for (const auto& [id, stack] : defined) test_support::compressed_event(events, {1, 0, 7, id, 1, {}});
  w.block("EventBlock", test_support::block_body(events));
  w.block("SPBlock", test_support::sequence_point_block(77, {{7, 23}}));
  w.block("StackBlock", test_support::stack_block(10, {frames(104, 5)}));
  bytes after;
  test_support::compressed_event(after, {1, 0, 7, 10, 1, {}});
  test_support::compressed_event(after, {1, 0, 7, 11, 1, {}});
  w.block("EventBlock", test_support::block_body(after)).end();

  auto r = run(w.data());
  ASSERT_EQ(r.seen->events.size(), defined.size() + 1) << r.error;
  for (std::size_t i = 0; i < defined.size(); ++i)
    EXPECT_EQ(r.seen->events[i].stack, defined[i].second) << "stack id " << defined[i].first;
  EXPECT_EQ(r.seen->events[defined.size()].stack, frames(104, 5));
  // Id 11 went with the sequence point.
  EXPECT_EQ(r.status.status, consumer_status::failed);
  EXPECT_EQ(r.error, "map::at:  key not found");
}

TEST(stack_block, an_id_defined_far_ahead_keeps_its_first_definition_when_the_others_reach_it) {
  auto w = with_metadata();
  w.block("StackBlock", test_support::stack_block(1, {{0x1}}));
  w.block("StackBlock", test_support::stack_block(70000, {{0xA}}));
  std::vector<std::vector<std::uint64_t>> filling(70000, std::vector<std::uint64_t>{0xB});
  w.block("StackBlock", test_support::stack_block(2, filling));
  auto r = run_events({{1, 0, 7, 70000, 1, {}}, {1, 0, 7, 69999, 1, {}}}, w);
  ASSERT_EQ(r.seen->events.size(), 2u) << r.error;
  EXPECT_EQ(r.seen->events[0].stack, (std::vector<std::uint64_t>{0xA}));
  EXPECT_EQ(r.seen->events[1].stack, (std::vector<std::uint64_t>{0xB}));
}

// The runtime numbers every event of a thread, the ones it had to drop
// included: gaps are lost events, and so is a sequence point ahead of the
// thread's last event.
TEST(sequence_point_block, gaps_in_a_threads_sequence_count_as_lost_events) {
  auto w = with_metadata();
  bytes events;
  test_support::compressed_event(events, {1, 0, 7, 0, 1, {}});  // 1
  test_support::compressed_event(events, {1, 0, 7, 0, 1, {}});  // 2
  test_support::compressed_event(events, {1, 3, 7, 0, 1, {}});  // 6: 3, 4, 5 lost
  // Deltas run across threads: from 6 back to 1.
  test_support::compressed_event(events, {1, static_cast<std::uint32_t>(-6), 9, 0, 1, {}});
  w.block("EventBlock", test_support::block_body(events));
  // Thread 7 dropped its 7th; thread 8 sent none of its two; thread 9 is even.
  w.block("SPBlock", test_support::sequence_point_block(77, {{7, 7}, {8, 2}, {9, 1}})).end();
  auto r = run(w.data());
  ASSERT_EQ(r.status.status, consumer_status::finished) << r.error;
  EXPECT_EQ(r.status.events_lost, 3u + 1u + 2u);

  auto even = with_metadata();
  bytes in_order;
  for (int i = 0; i < 3; ++i) test_support::compressed_event(in_order, {1, 0, 7, 0, 1, {}});
  even.block("EventBlock", test_support::block_body(in_order));
  even.block("SPBlock", test_support::sequence_point_block(78, {{7, 3}})).end();
  EXPECT_EQ(run(even.data()).status.events_lost, 0u);
}

TEST(varint, limits_of_both_widths) {
  struct row {
    std::vector<std::uint8_t> in;
    std::uint64_t value32, value64;
    bool fails32, fails64;
  };
  const std::vector<row> rows = {
      {{0x00}, 0, 0, false, false},
      {{0x7F}, 127, 127, false, false},
      {{0x80, 0x01}, 128, 128, false, false},
      {{0x80, 0x80, 0x80, 0x80, 0x01}, 1u << 28, 1ull << 28, false, false},
      {{0xFF, 0xFF, 0xFF, 0xFF, 0x0F}, 0xFFFFFFFF, 0xFFFFFFFF, false, false},
      {{0x80, 0x80, 0x80, 0x80, 0x80, 0x01}, 0, 1ull << 35, true, false},
      {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}, 0, ~0ull, true, false},
      {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x81}, 0, 0, true, true},
  };
  for (const auto& r : rows) {
    byte_cursor a(r.in.data(), r.in.data() + r.in.size(), "t");
    if (r.fails32) {
      EXPECT_THROW(a.varint32(), std::runtime_error);
    } else {
      EXPECT_EQ(a.varint32(), r.value32);
    }
    byte_cursor b(r.in.data(), r.in.data() + r.in.size(), "t");
    if (r.fails64) {
      EXPECT_THAT([&] { b.varint64(); }, testing::ThrowsMessage<std::runtime_error>(
                                             testing::StrEq("Too long variable length encoded number")));
    } else {
      EXPECT_EQ(b.varint64(), r.value64);
    }
  }
  const std::uint8_t cut[] = {0x80, 0x80};
  byte_cursor c(cut, cut + 2, "event block");
  EXPECT_THROW(c.varint32(), truncated_data);
}

// The runtime's own recordings happen to keep every uncompressed header
// aligned, so only a hand-made block shows that the padding is skipped.
TEST(uncompressed_blocks, events_are_read_in_the_runtime_layout_with_padding) {
  auto w = with_metadata();
  bytes events;
  for (int i = 0; i < 2; ++i) {
    events.put<std::int32_t>(80 + 3).put<std::uint32_t>(0x80000001u).put<std::int32_t>(i).put<std::int64_t>(11);
    events.put<std::int64_t>(11).put<std::int32_t>(0).put<std::int32_t>(0).put<std::int64_t>(500 + i);
    for (int g = 0; g < 32; ++g) events.put<std::uint8_t>(0);
    events.put<std::int32_t>(3).raw({1, 2, 3});
    if (i == 0) events.put<std::uint8_t>(0);  // padding to four bytes
  }
  w.block("EventBlock", test_support::block_body(events, 20, 0, 1000, 0)).end();
  auto r = run(w.data());
  ASSERT_EQ(r.status.status, consumer_status::finished) << r.error;
  ASSERT_EQ(r.seen->events.size(), 2u);
  EXPECT_EQ(r.seen->events[1].timestamp, 501);
  EXPECT_EQ(r.seen->events[1].payload, (std::vector<std::uint8_t>{1, 2, 3}));
}

}  // namespace
