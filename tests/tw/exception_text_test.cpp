#include "tw/error/exception_text.h"
#include "tw/error/hresult.h"
#include "tw/utility/throw.h"

#include <gtest/gtest.h>

#include <new>
#include <sstream>
#include <system_error>

namespace {

template <class F>
std::string text_of(F&& thrower) {
  try {
    thrower();
  } catch (...) {
    return tw::current_exception_to_string();
  }
  return "nothing thrown";
}

template <class F>
std::uint32_t hresult_of(F&& thrower) {
  try {
    thrower();
  } catch (...) {
    return tw::current_exception_to_hresult();
  }
  return 0;
}

TEST(current_exception_to_hresult, maps_each_kind_of_failure) {
  EXPECT_EQ(hresult_of([] { throw std::bad_alloc(); }), 0x8007000Eu);
  EXPECT_EQ(hresult_of([] { throw std::system_error(tw::make_hresult_code(tw::e_abort)); }), 0x80004004u);
  EXPECT_EQ(hresult_of([] { throw std::system_error(std::make_error_code(std::errc::io_error)); }), 0x80004005u);
  EXPECT_EQ(hresult_of([] { throw std::runtime_error("x"); }), 0x80004005u);
  EXPECT_EQ(hresult_of([] { throw 42; }), 0x80004005u);
}

TEST(current_exception_to_string, gives_what_for_standard_exceptions) {
  EXPECT_EQ(text_of([] { throw std::runtime_error("Fail to create file"); }), "Fail to create file");
  EXPECT_EQ(text_of([] { throw 42; }), "non-standard-exception error");
}

TEST(current_exception_to_string, writes_hresult_codes_in_upper_case_hex) {
  const auto text = text_of([] { throw std::system_error(tw::make_hresult_code(0x8007000E), "saving"); });
  EXPECT_NE(text.find("(hresult_error: 0x8007000E)"), std::string::npos) << text;
}

TEST(current_exception_to_string, writes_other_categories_in_decimal) {
  const auto text = text_of([] { throw std::system_error(ENOENT, std::generic_category(), "open"); });
  EXPECT_NE(text.find("(generic: 2)"), std::string::npos) << text;
}

TEST(current_exception_to_string, adds_location_function_and_details_of_boost_exceptions) {
  const auto text = text_of([] {
    TW_THROW(boost::enable_error_info(std::runtime_error("Fail to create file")) << tw::errinfo_path("/x/y"));
  });
  EXPECT_EQ(text.rfind("Fail to create file\n", 0), 0u) << text;
  EXPECT_NE(text.find("[location] = tests/tw/exception_text_test:"), std::string::npos) << text;
  EXPECT_NE(text.find("[function] = "), std::string::npos) << text;
  EXPECT_NE(text.find("/x/y"), std::string::npos) << text;
}

TEST(current_exception_to_string, indents_nested_exceptions) {
  const auto text = text_of([] {
    try {
      throw std::runtime_error("inner");
    } catch (...) {
      std::throw_with_nested(std::runtime_error("outer"));
    }
  });
  EXPECT_EQ(text, "outer\n\tinner");
}

TEST(tw_check, message_is_the_failed_condition) {
  const int session_type = 2;
  const auto text = text_of([&] { TW_CHECK(session_type == 1); });
  EXPECT_EQ(text.rfind("session_type == 1\n", 0), 0u) << text;
}

}  // namespace
