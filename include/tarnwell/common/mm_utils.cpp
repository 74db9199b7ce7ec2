#include "tarnwell/common/mm_utils.h"

#include "tw/utility/throw.h"

#include <fcntl.h>
#include <stdexcept>
#include <unistd.h>

namespace tarnwell::common {

std::size_t page_size() noexcept {
  static const std::size_t size = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  return size;
}

std::int64_t get_file_append_pos(int handle) {
  if (::lseek(handle, 0, SEEK_END) < 0) TW_THROW(std::runtime_error("Failed to set EOF"));
  const auto position = ::lseek(handle, 0, SEEK_CUR);
  if (position < 0) TW_THROW(std::runtime_error("Failed to get file position"));
  return position;
}

tw::unique_hld<int> duplicate_handle(int handle) {
  const int copy = ::fcntl(handle, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) TW_THROW(std::runtime_error("Failed to duplicate file handle"));
  return tw::unique_hld<int>(copy);
}

}  // namespace tarnwell::common
