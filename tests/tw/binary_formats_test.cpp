// The shared binary primitives: the GUID's two byte orders, the
// little-endian writer and the bounded cursor.

#include "tw/utility/byte_cursor.h"
#include "tw/utility/guid.h"
#include "tw/utility/le_writer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>
#include <vector>

using ::testing::ThrowsMessage;
using ::testing::StrEq;

namespace {

using bytes = std::vector<std::uint8_t>;
using tw::guid;
using tw::guid_byte_order;

bytes as_vector(const guid::bytes_type& b) { return bytes(b.begin(), b.end()); }

TEST(guid, text_and_both_byte_orders) {
  struct row {
    const char* text;
    bytes windows;
    bytes rfc4122;
  };
  const row rows[] = {
      // The bridge's version and profiler-kind constants, as their wire bytes.
      {"7881b635-2de8-43e9-b6ac-4a9a21e636ce",
       {0x35, 0xB6, 0x81, 0x78, 0xE8, 0x2D, 0xE9, 0x43, 0xB6, 0xAC, 0x4A, 0x9A, 0x21, 0xE6, 0x36, 0xCE},
       {0x78, 0x81, 0xB6, 0x35, 0x2D, 0xE8, 0x43, 0xE9, 0xB6, 0xAC, 0x4A, 0x9A, 0x21, 0xE6, 0x36, 0xCE}},
      {"72901aec-8a8e-4fe3-ab06-0ba00183df92",
       {0xEC, 0x1A, 0x90, 0x72, 0x8E, 0x8A, 0xE3, 0x4F, 0xAB, 0x06, 0x0B, 0xA0, 0x01, 0x83, 0xDF, 0x92},
       {0x72, 0x90, 0x1A, 0xEC, 0x8A, 0x8E, 0x4F, 0xE3, 0xAB, 0x06, 0x0B, 0xA0, 0x01, 0x83, 0xDF, 0x92}},
      {"00000000-0000-0000-0000-000000000000", bytes(16, 0), bytes(16, 0)},
      {"ffffffff-ffff-ffff-ffff-ffffffffffff", bytes(16, 0xFF), bytes(16, 0xFF)},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.text);
    const auto parsed = guid::parse(r.text);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->to_string(), r.text);
    EXPECT_EQ(as_vector(parsed->bytes(guid_byte_order::windows)), r.windows);
    EXPECT_EQ(as_vector(parsed->bytes(guid_byte_order::rfc4122)), r.rfc4122);
    EXPECT_EQ(guid::from_bytes(r.windows.data(), guid_byte_order::windows), *parsed);
    EXPECT_EQ(guid::from_bytes(r.rfc4122.data(), guid_byte_order::rfc4122), *parsed);
  }
}

TEST(guid, parse_accepts_braces_and_either_case_and_refuses_the_rest) {
  EXPECT_EQ(guid::parse("{7881B635-2DE8-43E9-B6AC-4A9A21E636CE}"), guid::parse("7881b635-2de8-43e9-b6ac-4a9a21e636ce"));
  for (const char* bad : {"", "7881b635-2de8-43e9-b6ac-4a9a21e636c", "7881b635-2de8-43e9-b6ac-4a9a21e636cee",
                          "7881b635+2de8-43e9-b6ac-4a9a21e636ce", "7881b635-2de8-43e9-b6ac-4a9a21e636cg",
                          "{7881b635-2de8-43e9-b6ac-4a9a21e636ce", "7881b6352de843e9b6ac4a9a21e636ce"})
    EXPECT_FALSE(guid::parse(bad)) << bad;
}

bytes written(const std::ostringstream& out) {
  const auto s = out.str();
  return bytes(s.begin(), s.end());
}

TEST(le_writer, scalars_strings_and_guids_in_little_endian_order) {
  std::ostringstream out;
  auto w = tw::write_to(out);
  w.put(std::uint8_t{0x01});
  w.put(std::uint16_t{0x0302});
  w.put(std::int32_t{-2});
  w.put(std::uint64_t{0x0B0A090807060504});
  w.utf16z(u"A\u00e9");
  w.guid(*guid::parse("00112233-4455-6677-8899-aabbccddeeff"), guid_byte_order::windows);
  w.guid(*guid::parse("00112233-4455-6677-8899-aabbccddeeff"), guid_byte_order::rfc4122);
  const bytes expected = {0x01, 0x02, 0x03, 0xFE, 0xFF, 0xFF, 0xFF, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B,
                          0x41, 0x00, 0xE9, 0x00, 0x00, 0x00,
                          0x33, 0x22, 0x11, 0x00, 0x55, 0x44, 0x77, 0x66, 0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF,
                          0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
  EXPECT_EQ(written(out), expected);
  EXPECT_EQ(w.written(), expected.size());

  // The same writer into a buffer gives the same bytes.
  bytes buffer;
  auto b = tw::write_to(buffer);
  b.put(std::uint16_t{0x0302});
  b.utf16z(u"A");
  EXPECT_EQ(buffer, (bytes{0x02, 0x03, 0x41, 0x00, 0x00, 0x00}));
}

TEST(le_writer, compressed_integers_take_the_ecma_335_forms) {
  struct row {
    std::uint32_t value;
    bytes encoded;
  };
  for (const auto& r : {row{0, {0}}, row{127, {0x7F}}, row{128, {0x80, 0x80}}, row{0x3FFF, {0xBF, 0xFF}},
                        row{0x4000, {0xC0, 0, 0x40, 0}}, row{0x1FFFFFFF, {0xDF, 0xFF, 0xFF, 0xFF}}}) {
    std::ostringstream out;
    tw::write_to(out).compressed_uint(r.value);
    EXPECT_EQ(written(out), r.encoded) << r.value;
  }
  std::ostringstream out;
  auto w = tw::write_to(out);
  EXPECT_THAT([&] { w.compressed_uint(0x20000000); }, ThrowsMessage<std::runtime_error>(StrEq("Too large value")));
  EXPECT_EQ(w.written(), 0u);
  w.compressed_string("");
  w.compressed_string("ab");
  EXPECT_EQ(written(out), (bytes{0x00, 0x02, 'a', 'b'}));
}

TEST(byte_cursor, reads_stop_at_the_end_and_say_where) {
  const bytes data = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06};
  tw::byte_cursor c(data.data(), data.data() + data.size(), "test record");
  EXPECT_EQ(c.read<std::uint16_t>(), 0x0201);
  EXPECT_EQ(c.remaining(), 4u);
  EXPECT_THAT([&] { c.read<std::uint64_t>(); },
              ThrowsMessage<tw::truncated_data>(StrEq("test record: 8 bytes needed at offset 2 but only 4 left")));
  EXPECT_EQ(c.consumed(), 2u) << "a failed read moves nothing";
  c.seek(5);
  EXPECT_EQ(c.byte(), 0x06);
  EXPECT_TRUE(c.at_end());
  c.seek(6);
  EXPECT_THROW(c.seek(7), tw::truncated_data);
  EXPECT_THROW(c.skip(1), tw::truncated_data);
  c.seek(0);
  EXPECT_THROW(c.guid(guid_byte_order::windows), tw::truncated_data);
}

}  // namespace
