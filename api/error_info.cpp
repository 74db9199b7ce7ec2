#include "api/error_info.h"

#include "tw/error/exception_text.h"

#include <boost/exception/exception.hpp>

#include <memory>

namespace tw_prof {

namespace {

error_record fallback_record{{0, "Unable to create error_info from current exception"}, {}};

error_info* make_record(std::int32_t kind) {
  auto record = std::make_unique<error_record>();
  record->head.kind = kind;
  record->text = tw::current_exception_to_string();
  record->head.message = record->text.c_str();
  return &record.release()->head;
}

}  // namespace

error_info* fallback_error_info() noexcept { return &fallback_record.head; }

error_info* exception_to_error_info(const std::exception_ptr& e) noexcept {
  try {
    std::rethrow_exception(e);
  } catch (const boost::exception&) {
    try {
      return make_record(2);
    } catch (...) {
      return fallback_error_info();
    }
  } catch (const std::exception&) {
    try {
      return make_record(1);
    } catch (...) {
      return fallback_error_info();
    }
  } catch (...) {
    return fallback_error_info();
  }
}

void release_error_info(error_info* info) noexcept {
  if (info == nullptr || info == fallback_error_info()) return;
  delete reinterpret_cast<error_record*>(info);
}

}  // namespace tw_prof
