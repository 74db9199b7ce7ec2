#pragma once

// A write to one of the profiler's own files failed: a full disk, a quota,
// an I/O error. Unlike damage in what is read, it spoils what is written: the
// snapshot that met it cannot be kept.

#include <exception>
#include <string>
#include <system_error>

namespace tw {

class file_write_error : public std::system_error {
 public:
  file_write_error(int err, const std::string& what) : std::system_error(err, std::system_category(), what) {}
};

// Whether `e` holds a file_write_error.
inline bool is_file_write_error(const std::exception_ptr& e) {
  if (!e) return false;
  try {
    std::rethrow_exception(e);
  } catch (const file_write_error&) {
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace tw
