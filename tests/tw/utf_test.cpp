#include "tw/utility/utf.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

using ::testing::ThrowsMessage;
using ::testing::StrEq;

namespace {

using namespace kv521::utf;

std::string bytes(std::initializer_list<unsigned> values) {
  std::string s;
  for (unsigned v : values) s += static_cast<char>(v);
  return s;
}

struct code_point_case {
  code_point cp;
  std::string utf8;
  std::u16string utf16;  // empty: not representable in UTF-16
};

const std::vector<code_point_case> code_point_cases = {
    {0x24, bytes({0x24}), u"\x24"},
    {0x7F, bytes({0x7F}), u"\x7F"},
    {0x80, bytes({0xC2, 0x80}), u"\x80"},
    {0x7FF, bytes({0xDF, 0xBF}), u"\x7FF"},
    {0x800, bytes({0xE0, 0xA0, 0x80}), u"\x800"},
    {0xD7FF, bytes({0xED, 0x9F, 0xBF}), u"\xD7FF"},
    {0xE000, bytes({0xEE, 0x80, 0x80}), u"\xE000"},
    {0xFFFF, bytes({0xEF, 0xBF, 0xBF}), u"\xFFFF"},
    {0x10000, bytes({0xF0, 0x90, 0x80, 0x80}), {char16_t(0xD800), char16_t(0xDC00)}},
    {0x1F600, bytes({0xF0, 0x9F, 0x98, 0x80}), {char16_t(0xD83D), char16_t(0xDE00)}},
    {0x10FFFF, bytes({0xF4, 0x8F, 0xBF, 0xBF}), {char16_t(0xDBFF), char16_t(0xDFFF)}},
    // Beyond Unicode: the old five- and six-byte forms.
    {0x1FFFFF, bytes({0xF7, 0xBF, 0xBF, 0xBF}), {}},
    {0x200000, bytes({0xF8, 0x88, 0x80, 0x80, 0x80}), {}},
    {0x3FFFFFF, bytes({0xFB, 0xBF, 0xBF, 0xBF, 0xBF}), {}},
    {0x4000000, bytes({0xFC, 0x84, 0x80, 0x80, 0x80, 0x80}), {}},
    {0x7FFFFFFF, bytes({0xFD, 0xBF, 0xBF, 0xBF, 0xBF, 0xBF}), {}},
};

TEST(utf, code_points_encode_and_decode_in_both_forms) {
  for (const auto& c : code_point_cases) {
    SCOPED_TRACE(testing::Message() << std::hex << "U+" << c.cp);
    std::string utf8;
    append_utf8(utf8, c.cp);
    EXPECT_EQ(utf8, c.utf8);

    const char* p = c.utf8.data();
    EXPECT_EQ(read_utf8(p, c.utf8.data() + c.utf8.size()), c.cp);
    EXPECT_EQ(p, c.utf8.data() + c.utf8.size());

    if (c.utf16.empty()) {
      std::u16string out;
      EXPECT_THROW(append_utf16(out, c.cp), std::runtime_error);
      continue;
    }
    std::u16string utf16;
    append_utf16(utf16, c.cp);
    EXPECT_EQ(utf16, c.utf16);
    EXPECT_EQ(utf16_to_utf8(c.utf16), c.utf8);
    EXPECT_EQ(utf8_to_utf16(c.utf8), c.utf16);
  }
}

struct failure_case {
  const char* name;
  std::function<void()> convert;
  const char* message;
};

TEST(utf, malformed_input_fails_with_its_message) {
  const std::vector<failure_case> cases = {
      {"lone low surrogate", [] { utf16_to_utf8(std::u16string{char16_t(0xDC00), u'a'}); },
       "The high utf16 surrogate char is expected"},
      {"high surrogate then letter", [] { utf16_to_utf8(std::u16string{char16_t(0xD800), u'a'}); },
       "The low utf16 surrogate char is expected"},
      {"high surrogate at the end", [] { utf16_to_utf8(std::u16string{u'a', char16_t(0xDBFF)}); },
       "The low utf16 surrogate char is expected"},
      {"two high surrogates", [] { utf16_to_utf8(std::u16string{char16_t(0xD800), char16_t(0xD800)}); },
       "The low utf16 surrogate char is expected"},
      {"code point past six bytes", [] { std::string s; append_utf8(s, 0x80000000u); },
       "Tool large UTF8 code point"},
      {"continuation byte as lead", [] { utf8_to_utf16(bytes({0x80})); },
       "The utf8 first char in sequence is incorrect"},
      {"lead byte 0xFE", [] { utf8_to_utf16(bytes({0xFE, 0x80})); }, "The utf8 first char in sequence is incorrect"},
      {"lead byte 0xFF", [] { utf8_to_utf16(bytes({0xFF})); }, "The utf8 first char in sequence is incorrect"},
      {"ASCII where a follow byte belongs", [] { utf8_to_utf16(bytes({0xE2, 0x82, 0x41})); },
       "The utf8 slave char in sequence is incorrect"},
      {"sequence cut by the end", [] { utf8_to_utf16(bytes({0xF0, 0x90, 0x80})); },
       "The utf8 slave char in sequence is incorrect"},
      {"surrogate code point to UTF-16", [] { std::u16string s; append_utf16(s, 0xDABC); },
       "The utf16 code point can not be in surrogate range"},
      {"encoded surrogate to UTF-16", [] { utf8_to_utf16(bytes({0xED, 0xA0, 0x80})); },
       "The utf16 code point can not be in surrogate range"},
      {"first code point past Unicode", [] { std::u16string s; append_utf16(s, 0x110000); },
       "Too large the utf16 code point"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_THAT(c.convert, ThrowsMessage<std::runtime_error>(StrEq(c.message)));
  }
}

TEST(utf, a_zero_unit_ends_utf16_input) {
  const char16_t text[] = {u'a', u'b', 0, u'c'};
  EXPECT_EQ(utf16_to_utf8(std::u16string_view(text, 4)), "ab");
  EXPECT_EQ(utf16_to_utf8(text), "ab");
  EXPECT_EQ(utf16_to_utf8(u""), "");
}

TEST(utf, mixed_text_round_trips) {
  const std::string text = "Pfad/\xC3\xA4\xE2\x82\xAC\xF0\x9F\x98\x80.nettrace";
  EXPECT_EQ(utf16_to_utf8(utf8_to_utf16(text)), text);
}

}  // namespace
