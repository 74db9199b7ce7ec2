#include "event_pipe_api/src/dispatch.h"
#include "event_pipe_api/src/nettrace/metadata.h"
#include "tests/event_pipe_api/nettrace/stream_writer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using ::testing::ThrowsMessage;
using ::testing::StrEq;


namespace {

using namespace tarnwell;
using namespace tarnwell::collector;

// A handler that throws loses only its own event; an unknown provider's
// events reach the fallback.
TEST(dispatch, a_throwing_handler_loses_only_its_own_event_and_unknown_providers_reach_the_fallback) {
  const auto record_of = [](const char16_t* provider) {
    return std::make_shared<nettrace::event_pipe_metadata_reader>(std::vector<std::uint8_t>{}, provider, u"", 0);
  };
  auto known = record_of(u"Microsoft-DotNETCore-SampleProfiler"), unknown = record_of(u"MyCompany-Source");
  nettrace::event_trace_record record;
  int typed = 0, fallback = 0;
  auto dispatcher = wrap_event_pipe_handler(
      all_providers{},
      [&](auto, const auto&) {
        if (++typed == 1) throw std::runtime_error("handler failed");
      },
      [&](const nettrace::event_trace_record&) { ++fallback; });
  record.metadata = &known;
  dispatcher(record, true);
  dispatcher(record, true);
  record.metadata = &unknown;
  dispatcher(record, true);
  EXPECT_EQ(typed, 2);
  EXPECT_EQ(fallback, 1);
}

TEST(pattern_parser, locates_fields_lazily_and_refuses_data_past_the_end) {
  using layout = tw::field_list<tw::fields::u32, tw::fields::utf16z, tw::fields::u16>;
  test_support::bytes b;
  b.put<std::uint32_t>(7).utf16z(u"System.Int32[]");
  tw::pattern_parser<layout> p(b.data.data(), b.data.data() + b.size());
  EXPECT_EQ(p.get<0>(), 7u);
  EXPECT_EQ(p.located(), 1u);
  EXPECT_EQ(p.get<1>().utf8(), "System.Int32[]");
  EXPECT_THROW(p.get<2>(), std::runtime_error);
  EXPECT_TRUE(p.failed());

  const std::uint8_t nothing[1] = {};
  tw::pattern_parser<layout> empty(nothing, nothing);
  EXPECT_THAT([&] { empty.get<0>(); }, ThrowsMessage<std::runtime_error>(StrEq("Access to unparsed data")));

  const std::uint8_t unterminated[] = {'a', 0, 'b', 0};
  tw::pattern_parser<tw::field_list<tw::fields::utf16z>> text(unterminated, unterminated + 4);
  EXPECT_THROW(text.get<0>(), std::runtime_error);
}

TEST(pattern_parser, counted_arrays_and_pointer_sizes) {
  test_support::bytes b;
  b.put<std::uint16_t>(1).put<std::uint8_t>(0).put<std::uint8_t>(0).put<std::uint32_t>(2);
  b.put<std::uint32_t>(0x1000).put<std::uint32_t>(0x2000);
  tw::pattern_parser<formats::ClrStackWalk> four(b.data.data(), b.data.data() + b.size(), 4);
  const auto frames = four.get<4>();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[1], 0x2000u);
  tw::pattern_parser<formats::ClrStackWalk> eight(b.data.data(), b.data.data() + b.size(), 8);
  EXPECT_THROW(eight.get<4>(), std::runtime_error);  // two 8-byte frames do not fit

  test_support::bytes huge;
  huge.put<std::uint16_t>(1).put<std::uint8_t>(0).put<std::uint8_t>(0).put<std::uint32_t>(0xFFFFFFFF);
  tw::pattern_parser<formats::ClrStackWalk> lying(huge.data.data(), huge.data.data() + huge.size(), 8);
  EXPECT_THROW(lying.get<4>(), std::runtime_error);
}

std::vector<std::uint8_t> metadata_with(const test_support::bytes& description) {
  return test_support::metadata_payload(1, u"P", 5, u"", 0, description);
}

nettrace::event_pipe_metadata_reader reader_of(const std::vector<std::uint8_t>& payload) {
  std::size_t offset = 0;
  auto header = nettrace::read_metadata_header(payload.data(), payload.data() + payload.size(), offset);
  return nettrace::event_pipe_metadata_reader(payload, header.provider_name, header.event_name, offset);
}

TEST(payload_description, flattens_objects_and_maps_type_codes) {
  test_support::bytes d;
  d.put<std::int32_t>(3);
  d.put<std::int32_t>(18).utf16z(u"Name");
  d.put<std::int32_t>(1).put<std::int32_t>(2);  // an object with two Int32 fields
  d.put<std::int32_t>(9).utf16z(u"A").put<std::int32_t>(9).utf16z(u"B");
  d.put<std::int32_t>(12).utf16z(u"Size");
  auto reader = reader_of(metadata_with(d));
  EXPECT_STREQ(reader.get_event_name(), "");
  const auto& fields = reader.get_payload_description().fields;
  ASSERT_EQ(fields.size(), 4u);
  EXPECT_STREQ(fields[0].first, "Name");
  EXPECT_EQ(fields[0].second, 12u);
  EXPECT_STREQ(fields[1].first, "A");
  EXPECT_EQ(fields[1].second, 4u);
  EXPECT_EQ(fields[2].second, 4u);
  EXPECT_STREQ(fields[3].first, "Size");
  EXPECT_EQ(fields[3].second, 7u);

  test_support::bytes none;
  none.put<std::int32_t>(0);
  auto empty = reader_of(metadata_with(none));
  EXPECT_TRUE(empty.get_payload_description().fields.empty());
}

TEST(payload_description, unsupported_type_codes_are_named) {
  struct row {
    std::int32_t code;
    const char* message;
  };
  for (const row r : {row{3, "Unexpected TypeCode: Boolean"}, row{17, "Unexpected TypeCode: Guid"},
                      row{42, "Unexpected TypeCode: 42"}}) {
    test_support::bytes d;
    d.put<std::int32_t>(1).put<std::int32_t>(r.code).utf16z(u"F");
    auto reader = reader_of(metadata_with(d));
    EXPECT_THAT([&] { reader.get_payload_description(); }, ThrowsMessage<std::runtime_error>(StrEq(r.message)))
        << r.code;
    EXPECT_STREQ(reader.get_provider_name(), "P");  // the rest stays usable
  }
}

TEST(payload_description, a_count_beyond_the_payload_is_refused) {
  test_support::bytes d;
  d.put<std::int32_t>(1000000).put<std::int32_t>(9);
  auto reader = reader_of(metadata_with(d));
  EXPECT_THAT([&] { reader.get_payload_description(); },
              ThrowsMessage<std::runtime_error>(StrEq("Payload description field count 1000000 exceeds its payload")));
}

}  // namespace
