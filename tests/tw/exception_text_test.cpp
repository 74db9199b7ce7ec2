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

// What a log line or an error record says of an exception (found in it).
TEST(current_exception_to_string, says_what_location_codes_and_nested_causes) {
  const struct {
    std::string text, says;
  } rows[] = {
      {text_of([] { throw std::runtime_error("Fail to create file"); }), "Fail to create file"},
      {text_of([] { throw 42; }), "non-standard-exception error"},
      {text_of([] { throw std::system_error(tw::make_hresult_code(0x8007000E), "saving"); }),
       "(hresult_error: 0x8007000E)"},
      {text_of([] { throw std::system_error(ENOENT, std::generic_category(), "open"); }), "(generic: 2)"},
      {text_of([] { TW_THROW(boost::enable_error_info(std::runtime_error("F")) << tw::errinfo_path("/x/y")); }),
       "[location] = tests/tw/exception_text_test:"},
      {text_of([] { TW_THROW(boost::enable_error_info(std::runtime_error("F")) << tw::errinfo_path("/x/y")); }),
       "/x/y"},
      {text_of([] {
         try {
           throw std::runtime_error("inner");
         } catch (...) {
           std::throw_with_nested(std::runtime_error("outer"));
         }
       }),
       "outer\n\tinner"},
  };
  for (const auto& r : rows) EXPECT_NE(r.text.find(r.says), std::string::npos) << r.text;
}

TEST(tw_check, message_is_the_failed_condition) {
  const int session_type = 2;
  const auto text = text_of([&] { TW_CHECK(session_type == 1); });
  EXPECT_EQ(text.rfind("session_type == 1\n", 0), 0u) << text;
}

}  // namespace
