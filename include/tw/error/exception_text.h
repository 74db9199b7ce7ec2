#pragma once

// Turning exceptions into texts and HRESULT codes. Both current_exception_*
// functions must be called inside a catch handler.

#include <cstdint>
#include <exception>
#include <ostream>
#include <string>

namespace tw {

// level tabs, what(), then the system_error code, Boost location, function
// and details on further lines, then nested exceptions one level deeper.
void print_exception(std::ostream& out, const std::exception& e, int level = 0);

std::string current_exception_to_string();

// The same for a person: the message with the path and cause it concerns,
// then nested messages after ": "; no source locations or function names,
// which belong in the log.
std::string current_exception_summary();

std::uint32_t current_exception_to_hresult();

// The same two texts of a stored exception; empty for none.
std::string exception_text(const std::exception_ptr& e);
std::string exception_summary(const std::exception_ptr& e);

}  // namespace tw
