#include "tw/error/exception_text.h"

#include "tw/error/hresult.h"
#include "tw/utility/throw.h"

#include <boost/exception/diagnostic_information.hpp>
#include <boost/exception/get_error_info.hpp>
#include <boost/exception/info.hpp>
#include <boost/throw_exception.hpp>

#include <new>
#include <sstream>
#include <system_error>

namespace tw {

namespace {

void write_indent(std::ostream& out, int level) {
  for (int i = 0; i < level; ++i) out << '\t';
}

void write_system_error(std::ostream& out, const std::system_error& e) {
  const auto& code = e.code();
  out << " (" << code.category().name() << ": ";
  if (&code.category() == &hresult_category()) {
    static constexpr char digits[] = "0123456789ABCDEF";
    auto value = static_cast<std::uint32_t>(code.value());
    char text[11] = "0x00000000";
    for (int i = 9; i >= 2; --i, value >>= 4) text[i] = digits[value & 0xF];
    out << text;
  } else {
    out << code.value();
  }
  out << ')';
}

// The details other than location and function, one "[tag] = value" each, as
// Boost renders them.
void write_boost_details(std::ostream& out, const boost::exception& e, int level) {
  if (const auto* file = boost::get_error_info<boost::throw_file>(e)) {
    out << '\n';
    write_indent(out, level);
    out << "[location] = " << *file;
    if (const auto* line = boost::get_error_info<boost::throw_line>(e)) out << ':' << *line;
  }
  if (const auto* function = boost::get_error_info<boost::throw_function>(e)) {
    out << '\n';
    write_indent(out, level);
    out << "[function] = " << *function;
  }
  std::istringstream lines(boost::diagnostic_information(e, false));
  std::string line;
  while (std::getline(lines, line)) {
    if (line.empty() || line.front() != '[') continue;
    out << '\n';
    write_indent(out, level);
    out << line;
  }
}

}  // namespace

void print_exception(std::ostream& out, const std::exception& e, int level) {
  write_indent(out, level);
  out << e.what();
  if (const auto* se = dynamic_cast<const std::system_error*>(&e)) write_system_error(out, *se);
  if (const auto* be = dynamic_cast<const boost::exception*>(&e)) write_boost_details(out, *be, level);
  try {
    std::rethrow_if_nested(e);
  } catch (const std::exception& nested) {
    out << '\n';
    print_exception(out, nested, level + 1);
  } catch (...) {
    out << '\n';
    write_indent(out, level + 1);
    out << "non-standard-exception error";
  }
}

std::string current_exception_to_string() {
  try {
    throw;
  } catch (const std::exception& e) {
    std::ostringstream out;
    print_exception(out, e, 0);
    return out.str();
  } catch (...) {
    return "non-standard-exception error";
  }
}

namespace {

void write_summary(std::ostream& out, const std::exception& e) {
  out << e.what();
  if (const auto* be = dynamic_cast<const boost::exception*>(&e)) {
    if (const auto* path = boost::get_error_info<errinfo_path>(*be)) out << ": " << *path;
    if (const auto* text = boost::get_error_info<errinfo_errno_text>(*be)) out << " (" << *text << ")";
    if (const auto* cause = boost::get_error_info<errinfo_cause>(*be)) out << " (" << *cause << ")";
  }
  try {
    std::rethrow_if_nested(e);
  } catch (const std::exception& nested) {
    out << ": ";
    write_summary(out, nested);
  } catch (...) {
  }
}

}  // namespace

std::string current_exception_summary() {
  try {
    throw;
  } catch (const std::exception& e) {
    std::ostringstream out;
    write_summary(out, e);
    return out.str();
  } catch (...) {
    return "non-standard-exception error";
  }
}

std::uint32_t current_exception_to_hresult() {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    return e_outofmemory;
  } catch (const std::system_error& e) {
    if (&e.code().category() == &hresult_category()) return static_cast<std::uint32_t>(e.code().value());
    return e_fail;
  } catch (...) {
    return e_fail;
  }
}

std::string exception_text(const std::exception_ptr& e) {
  if (!e) return {};
  try {
    std::rethrow_exception(e);
  } catch (...) {
    return current_exception_to_string();
  }
}

std::string exception_summary(const std::exception_ptr& e) {
  if (!e) return {};
  try {
    std::rethrow_exception(e);
  } catch (...) {
    return current_exception_summary();
  }
}

}  // namespace tw
