// The bridge protocol's bytes: counters, strings, GUIDs, frames, the names
// of both enumerations and the records the host sends.

#include "bridge/protocol.h"

#include <gtest/gtest.h>

namespace {

using namespace tw_prof;
using bytes = std::vector<std::uint8_t>;

tw::byte_cursor cursor_over(const bytes& b) { return tw::byte_cursor(b.data(), b.data() + b.size(), "params"); }

TEST(bridge_counter, boundaries_round_trip_and_errors) {
  struct row {
    std::uint32_t value;
    bytes encoded;
  };
  const row rows[] = {
      {0, {0x00}},
      {127, {0x7F}},
      {128, {0x80, 0x80}},
      {16383, {0xBF, 0xFF}},
      {16384, {0xC0, 0x00, 0x40, 0x00}},
      {(1u << 29) - 1, {0xDF, 0xFF, 0xFF, 0xFF}},
  };
  for (const auto& r : rows) {
    bridge_params p;
    p.counter(r.value);
    EXPECT_EQ(p.bytes(), r.encoded) << r.value;
    auto c = cursor_over(r.encoded);
    EXPECT_EQ(c.compressed_uint(), r.value);
    EXPECT_TRUE(c.at_end());
  }
  bridge_params p;
  try {
    p.counter(1u << 29);
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Too large value");
  }
  for (std::uint8_t first : {0xE0, 0xEF, 0xFF}) {
    const bytes b = {first, 0, 0, 0};
    auto c = cursor_over(b);
    try {
      c.compressed_uint();
      ADD_FAILURE() << int(first);
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "Invalid counter encoding");
    }
  }
  // A two- or four-byte counter cut short is truncated data, not a value.
  for (const bytes& cut : {bytes{0x80}, bytes{0xC0, 0x00, 0x40}}) {
    auto c = cursor_over(cut);
    EXPECT_THROW(c.compressed_uint(), tw::truncated_data);
  }
}

TEST(bridge_values, strings_guids_and_frames) {
  bridge_params empty;
  empty.sized_string("");
  EXPECT_EQ(empty.bytes(), bytes{0x00});

  bridge_params p;
  p.guid(bridge_constants::host_bridge_version()).guid(bridge_constants::profiler_kind()).sized_string("ab");
  const bytes expected = {0x35, 0xB6, 0x81, 0x78, 0xE8, 0x2D, 0xE9, 0x43, 0xB6, 0xAC, 0x4A, 0x9A, 0x21, 0xE6, 0x36,
                          0xCE, 0xEC, 0x1A, 0x90, 0x72, 0x8E, 0x8A, 0xE3, 0x4F, 0xAB, 0x06, 0x0B, 0xA0, 0x01, 0x83,
                          0xDF, 0x92, 0x02, 'a',  'b'};
  EXPECT_EQ(p.bytes(), expected);
  EXPECT_EQ(bridge_constants::test_session_1().to_string(), "81b78ec7-481e-4ae7-a43c-604fdb3c3ca6");
  EXPECT_EQ(bridge_constants::test_session_2().to_string(), "caea09a9-63ea-40cf-8a24-a3e7e823547f");

  EXPECT_EQ(encode_frame(static_cast<std::uint8_t>(host_bridge_answer::initialize_done), {}), (bytes{0xD1, 0x00}));
  const bytes big(200, 0x55);
  const auto frame = encode_frame(static_cast<std::uint8_t>(host_bridge_answer::alert), big);
  ASSERT_EQ(frame.size(), 1u + 2u + 200u);
  EXPECT_EQ(frame[0], 0xFE);
  EXPECT_EQ(frame[1], 0x80);
  EXPECT_EQ(frame[2], 200);
}

bytes accepted_bytes(std::uint8_t control_kind, std::uint32_t env_count) {
  bridge_params p;
  p.put(control_kind).sized_string("first").counter(env_count);
  for (std::uint32_t i = 0; i < env_count && i < 2; ++i) p.sized_string("VAR" + std::to_string(i)).put(std::uint8_t{1});
  p.sized_string("second");
  p.boolean(true).put(std::uint32_t{7}).boolean(false).put(std::uint32_t{9});
  for (int i = 0; i < 6; ++i) p.boolean(i % 2 == 0);
  p.sized_string("settings").put(std::uint32_t{0xDEADBEEF});
  return p.bytes();
}

TEST(bridge_accepted, is_read_field_by_field) {
  const auto b = accepted_bytes(2, 2);
  auto c = cursor_over(b);
  const auto a = read_accepted(c);
  EXPECT_TRUE(c.at_end());
  EXPECT_EQ(a.control_kind, 2);
  EXPECT_EQ(a.host_text_1, "first");
  ASSERT_EQ(a.env_vars.size(), 2u);
  EXPECT_EQ(a.env_vars[1].name, "VAR1");
  EXPECT_EQ(a.env_vars[1].flag, 1);
  EXPECT_EQ(a.host_text_2, "second");
  EXPECT_TRUE(a.info.collect_from_start);
  EXPECT_EQ(a.info.host_number_1, 7u);
  EXPECT_EQ(a.info.host_number_2, 9u);
  EXPECT_TRUE(a.info.host_flags[4]);
  EXPECT_FALSE(a.info.host_flags[5]);
  EXPECT_EQ(to_string(a.info),
            "timeline_info:\n----> 1\n----> 7\n----> 0\n----> 9\n----> 1\n----> 0\n----> 1\n----> 0\n----> 1\n----> 0"
            "\n----> Sized string: size: 8, value: settings");
}

TEST(bridge_accepted, hostile_parameters_are_refused) {
  {
    const auto b = accepted_bytes(3, 0);
    auto c = cursor_over(b);
    try {
      read_accepted(c);
      FAIL();
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "Control kind isn't supported: 3");
    }
  }
  {
    // Claims a million variables in a few dozen bytes.
    const auto b = accepted_bytes(0, 1000000);
    auto c = cursor_over(b);
    EXPECT_THROW(read_accepted(c), tw::truncated_data);
  }
  {
    auto b = accepted_bytes(0, 0);
    b.resize(b.size() - 5);  // the trailing word and a flag gone
    auto c = cursor_over(b);
    EXPECT_THROW(read_accepted(c), tw::truncated_data);
  }
  {
    const bytes b = {0x00, 0x85, 0x00};  // a string of 1280 bytes in none
    auto c = cursor_over(b);
    EXPECT_THROW(read_accepted(c), tw::truncated_data);
  }
}

}  // namespace
