#include "tw/error/hresult.h"

namespace tw {

const char* hresult_error_category::name() const noexcept { return "hresult_error"; }

std::string hresult_error_category::message(int code) const {
  switch (static_cast<std::uint32_t>(code)) {
    case e_unexpected: return "E_UNEXPECTED Catastrophic failure";
    case e_notimpl: return "E_NOTIMPL Not implemented";
    case e_nointerface: return "E_NOINTERFACE No such interface supported";
    case e_pointer: return "E_POINTER Invalid pointer";
    case e_abort: return "E_ABORT Operation aborted";
    case e_fail: return "E_FAIL Unspecified error";
    case e_accessdenied: return "E_ACCESSDENIED General access denied error";
    case e_handle: return "E_HANDLE Invalid handle";
    case e_outofmemory: return "E_OUTOFMEMORY Ran out of memory";
    case e_invalidarg: return "E_INVALIDARG One or more arguments are invalid";
    default: return "unknown error";
  }
}

const hresult_error_category& hresult_category() noexcept {
  static const hresult_error_category category;
  return category;
}

}  // namespace tw
