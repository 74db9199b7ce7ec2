#include "event_pipe_api/src/nettrace/stream_source.h"

#include "tw/utility/throw.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

namespace tarnwell::nettrace {

namespace {
constexpr std::size_t file_buffer_size = 1 << 20;
}

file_source::file_source(const std::filesystem::path& path) : buffer_(new char[file_buffer_size]) {
  stream_.rdbuf()->pubsetbuf(buffer_.get(), file_buffer_size);
  stream_.open(path, std::ios::binary);
  if (!stream_) {
    const int err = errno;
    TW_THROW(boost::enable_error_info(std::runtime_error("Unable to open \"" + path.string() + "\""))
             << tw::errinfo_errno_text(std::strerror(err)));
  }
  // A pipe has no size: progress then reports positions against a total of 0.
  std::error_code ec;
  if (std::filesystem::is_regular_file(path, ec)) {
    size_ = std::filesystem::file_size(path, ec);
    if (ec) TW_THROW(std::system_error(ec, "Unable to size \"" + path.string() + "\""));
  }
}

void file_source::read_exact(std::uint8_t* destination, std::size_t count) {
  stream_.read(reinterpret_cast<char*>(destination), static_cast<std::streamsize>(count));
  const auto got = static_cast<std::size_t>(stream_.gcount());
  if (got != count || stream_.fail())
    throw std::runtime_error("Unexpected EOF: " + std::to_string(got) + " bytes were read while " +
                             std::to_string(count) + " were expected");
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
