#pragma once

// A mapping handle over a file descriptor that also reserves the file's
// space up to the mapping's size, so that writes through a view never meet a
// full disk as a SIGBUS.

#include "tw/error/file_write_error.h"

#include <boost/exception/exception.hpp>
#include <boost/exception/info.hpp>

#include <exception>
#include <ios>
#include <system_error>

namespace tw::mms {

namespace errinfo {
using tag_file_offset = boost::error_info<struct tag_file_offset_, long long>;
}

namespace exception {
struct exception_base : virtual std::exception, virtual boost::exception {
  const char* what() const noexcept override { return "memory-mapped storage error"; }
};
struct data_file_mappings : exception_base {
  const char* what() const noexcept override { return "data file mapping error"; }
};
struct invalid_file_mapping_size : data_file_mappings {
  const char* what() const noexcept override { return "invalid file mapping size"; }
};
struct create_mapping : tw::file_write_error, virtual boost::exception {
  explicit create_mapping(int err) : tw::file_write_error(err, "Cannot create file mapping") {}
};
}  // namespace exception

enum class mode_t { read_only = 1, read_write = 2 };

class file_mapping {
 public:
  file_mapping() noexcept = default;
  // read_write: reserves `size` bytes from the file's start (none for 0).
  // read_only: maps `size` bytes, or with 0 the file's current size, which
  // must not be zero.
  file_mapping(int handle, mode_t mode, std::streamoff size);
  file_mapping(file_mapping&& other) noexcept;
  file_mapping& operator=(file_mapping&& other) noexcept;
  ~file_mapping();

  // Reserves [offset, offset + length) of the file, growing it as needed.
  void reserve(std::streamoff offset, std::streamoff length);

  int handle() const noexcept { return handle_; }
  mode_t mode() const noexcept { return mode_; }
  std::streamoff size() const noexcept { return size_; }
  void close() noexcept;

 private:
  int handle_ = -1;
  mode_t mode_ = mode_t::read_only;
  std::streamoff size_ = 0;
};

}  // namespace tw::mms
