#pragma once

// Exceptions thrown inside the library carry the throwing function and the
// source path (relative to the project, without extension) as Boost error
// details, so that a log line or an error record says where a failure began.

#include <boost/exception/exception.hpp>
#include <boost/exception/info.hpp>
#include <boost/current_function.hpp>
#include <boost/throw_exception.hpp>

#include <cstddef>
#include <stdexcept>
#include <string>

namespace tw::detail {

// Holds __FILE__ with the "include/" prefix and the extension removed. The
// build maps the source root away, so __FILE__ is already project-relative.
template <std::size_t N>
struct source_path {
  char text[N]{};

  consteval source_path(const char (&file)[N]) {
    std::size_t begin = 0;
    constexpr char prefix[] = "include/";
    bool has_prefix = N > sizeof(prefix);
    for (std::size_t i = 0; has_prefix && i + 1 < sizeof(prefix); ++i)
      has_prefix = file[i] == prefix[i];
    if (has_prefix) begin = sizeof(prefix) - 1;
    std::size_t end = N - 1;
    for (std::size_t i = N - 1; i > begin; --i) {
      if (file[i - 1] == '.') { end = i - 1; break; }
      if (file[i - 1] == '/') break;
    }
    std::size_t out = 0;
    for (std::size_t i = begin; i < end; ++i) text[out++] = file[i];
    text[out] = '\0';
  }
};

template <source_path Path>
struct source_path_holder {
  static constexpr const char* value = Path.text;
};

template <class E>
[[noreturn]] void throw_with_location(E&& e, const char* function, const char* file, int line) {
  throw boost::enable_error_info(std::forward<E>(e))
      << boost::throw_function(function) << boost::throw_file(file) << boost::throw_line(line);
}

}  // namespace tw::detail

#define TW_SOURCE_PATH (::tw::detail::source_path_holder<::tw::detail::source_path(__FILE__)>::value)

// Throws `e` as a Boost exception carrying function, source path and line.
#define TW_THROW(e) ::tw::detail::throw_with_location((e), BOOST_CURRENT_FUNCTION, TW_SOURCE_PATH, __LINE__)

// Precondition check whose message is the failed condition itself.
#define TW_CHECK(cond)                                     \
  do {                                                     \
    if (!(cond)) TW_THROW(std::runtime_error(#cond));      \
  } while (false)

namespace tw {

// Details attached to thrown exceptions; print_exception writes them out.
using errinfo_path = boost::error_info<struct tag_path, std::string>;
using errinfo_errno_text = boost::error_info<struct tag_errno_text, std::string>;
using errinfo_cause = boost::error_info<struct tag_cause, std::string>;

}  // namespace tw
