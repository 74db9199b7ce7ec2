// The parameters of accepted, the one record of the host's that carries
// settings; the frames and counters are the bridge's and handshake's tests'.

#include "bridge/protocol.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

using namespace tw_prof;
using bytes = std::vector<std::uint8_t>;
using ::testing::HasSubstr;
using ::testing::ThrowsMessage;

tw::byte_cursor cursor_over(const bytes& b) { return tw::byte_cursor(b.data(), b.data() + b.size(), "params"); }

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

// Counts and sizes larger than what follows them are refused before
// anything is reserved for them (the handshake's table has the rest).
TEST(bridge_accepted, claims_larger_than_the_parameters_are_refused) {
  for (const auto& b : {accepted_bytes(0, 1000000), bytes{0x00, 0x85, 0x00}}) {
    auto c = cursor_over(b);
    EXPECT_THROW(read_accepted(c), tw::truncated_data);
  }
  // At the bound: one variable more than the rest could hold at two bytes
  // each (the rest follows the control kind, "first" and a one-byte count).
  const std::uint32_t rest = static_cast<std::uint32_t>(accepted_bytes(0, 2).size() - 8);
  const auto b = accepted_bytes(0, rest / 2 + 1);
  auto c = cursor_over(b);
  EXPECT_THAT([&] { read_accepted(c); },
              ThrowsMessage<tw::truncated_data>(HasSubstr("environment variables do not fit the")));
}

}  // namespace
