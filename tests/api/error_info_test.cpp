#include "api/error_info.h"

#include "tw/utility/throw.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>

namespace {

using namespace tw_prof;

template <class F>
error_info* record_of(F&& thrower) {
  try {
    thrower();
  } catch (...) {
    return exception_to_error_info(std::current_exception());
  }
  return nullptr;
}

TEST(error_info, head_is_packed_with_the_text_behind_it) {
  error_info* info = record_of([] { throw std::runtime_error("boom"); });
  ASSERT_NE(info, nullptr);
  const auto* base = reinterpret_cast<const unsigned char*>(info);
  std::int32_t kind;
  std::memcpy(&kind, base, 4);
  const char* message;
  std::memcpy(&message, base + 4, 8);
  EXPECT_EQ(kind, 1);
  EXPECT_STREQ(message, "boom");
  const auto* record = reinterpret_cast<const error_record*>(info);
  EXPECT_EQ(reinterpret_cast<const unsigned char*>(&record->text) - base, 16);
  EXPECT_EQ(message, record->text.c_str());
  release_error_info(info);
}

TEST(error_info, kinds_follow_the_exception_type) {
  error_info* standard = record_of([] { throw std::invalid_argument("bad"); });
  EXPECT_EQ(standard->kind, 1);
  release_error_info(standard);

  error_info* boost_one = record_of([] { TW_THROW(std::runtime_error("with location")); });
  EXPECT_EQ(boost_one->kind, 2);
  EXPECT_EQ(std::string(boost_one->message).rfind("with location\n[location] = tests/api/error_info_test:", 0), 0u)
      << boost_one->message;
  release_error_info(boost_one);

  error_info* integer = record_of([] { throw 17; });
  EXPECT_EQ(integer, fallback_error_info());
  EXPECT_EQ(integer->kind, 0);
  EXPECT_STREQ(integer->message, "Unable to create error_info from current exception");
}

TEST(error_info, releasing_null_or_the_fallback_leaves_the_fallback_usable) {
  release_error_info(nullptr);
  release_error_info(fallback_error_info());
  release_error_info(fallback_error_info());
  error_info* again = record_of([] { throw 3.5; });
  ASSERT_EQ(again, fallback_error_info());
  EXPECT_STREQ(again->message, "Unable to create error_info from current exception");
}

}  // namespace
