#pragma once

// Error records handed to the caller of the exported functions. The caller
// sees only the packed head; the message text lives behind it, at offset 16.

#include "api/event_pipe_api.h"

#include <exception>
#include <string>

namespace tw_prof {

struct error_record {
  error_info head;
  std::string text;
};

// The process-wide record returned when no other can be built. Never freed.
error_info* fallback_error_info() noexcept;

// Classifies the exception (Boost: kind 2, standard: kind 1) and builds a
// record with its text; anything else, or a failure while building, gives
// the fallback record. Never throws.
error_info* exception_to_error_info(const std::exception_ptr& e) noexcept;

void release_error_info(error_info* info) noexcept;

}  // namespace tw_prof
