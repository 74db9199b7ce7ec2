#include "event_pipe_api/src/nettrace/stream_source.h"

#include "tw/utility/throw.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cstring>
#include <stdexcept>
#include <string>

namespace tarnwell::nettrace {

file_source::file_source(const std::filesystem::path& path) {
  fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) {
    const int err = errno;
    TW_THROW(boost::enable_error_info(std::runtime_error("Unable to open \"" + path.string() + "\""))
             << tw::errinfo_errno_text(std::strerror(err)));
  }
  // A pipe has no size: progress then reports positions against a total of 0.
  struct stat st {};
  if (::fstat(fd_, &st) == 0 && S_ISREG(st.st_mode)) {
    size_ = static_cast<std::uint64_t>(st.st_size);
    ::posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
  }
}

file_source::~file_source() { ::close(fd_); }

void file_source::read_exact(std::uint8_t* destination, std::size_t count) {
  std::size_t got = 0;
  while (got < count) {
    const ssize_t n = ::read(fd_, destination + got, count - got);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      if (n < 0) {
        const int err = errno;
        TW_THROW(boost::enable_error_info(std::runtime_error("Unable to read the recording"))
                 << tw::errinfo_errno_text(std::strerror(err)));
      }
      throw std::runtime_error("Unexpected EOF: " + std::to_string(got) + " bytes were read while " +
                               std::to_string(count) + " were expected");
    }
  }
}

void memory_source::read_exact(std::uint8_t* destination, std::size_t count) {
  const std::size_t got = std::min(count, size_ - offset_);
  std::memcpy(destination, data_ + offset_, got);
  offset_ += got;
  if (got != count)
    throw std::runtime_error("Unexpected EOF: " + std::to_string(got) + " bytes were read while " +
                             std::to_string(count) + " were expected");
}

}  // namespace tarnwell::nettrace
