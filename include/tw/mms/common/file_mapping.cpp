#include "tw/mms/common/file_mapping.h"

#include "tw/utility/throw.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace tw::mms {

file_mapping::file_mapping(int handle, mode_t mode, std::streamoff size) : mode_(mode), size_(size) {
  std::streamoff length = size;
  if (size == 0 && mode == mode_t::read_only) {
    struct stat st {};
    if (::fstat(handle, &st) != 0) TW_THROW(exception::create_mapping(errno));
    length = st.st_size;
    if (length == 0 || length < size)
      TW_THROW(exception::invalid_file_mapping_size() << errinfo::tag_file_offset(length));
    size_ = length;
  }
  const int copy = ::fcntl(handle, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) TW_THROW(exception::create_mapping(errno));
  handle_ = copy;
  if (mode == mode_t::read_write && length > 0) {
    try {
      reserve(0, length);
    } catch (...) {
      close();
      throw;
    }
  }
}

void file_mapping::reserve(std::streamoff offset, std::streamoff length) {
  const int err = ::posix_fallocate(handle_, offset, length);
  if (err != 0) TW_THROW(exception::create_mapping(err) << errinfo::tag_file_offset(offset + length));
}

file_mapping::file_mapping(file_mapping&& other) noexcept
    : handle_(std::exchange(other.handle_, -1)), mode_(other.mode_), size_(other.size_) {}

file_mapping& file_mapping::operator=(file_mapping&& other) noexcept {
  if (this != &other) {
    close();
    handle_ = std::exchange(other.handle_, -1);
    mode_ = other.mode_;
    size_ = other.size_;
  }
  return *this;
}

file_mapping::~file_mapping() { close(); }

void file_mapping::close() noexcept {
  if (handle_ >= 0) ::close(handle_);
  handle_ = -1;
}

}  // namespace tw::mms
