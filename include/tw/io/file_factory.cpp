#include "tw/io/file_factory.h"

#include "tw/error/exception_text.h"
#include "tw/error/file_write_error.h"
#include "tw/log/log.h"
#include "tw/utility/throw.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <streambuf>
#include <unistd.h>

namespace tw_prof {

namespace {

// A section file written a record at a time, through a buffer that turns the
// records into a few large writes. A write that fails throws, naming the file
// and the system's reason: a stream that only sets its bad bit would let a
// full disk cut a snapshot short unseen.
class file_output_buffer final : public std::streambuf {
 public:
  static constexpr std::size_t size = 256 << 10;

  file_output_buffer(int fd, std::filesystem::path path) : fd_(fd), path_(std::move(path)), bytes_(new char[size]) {
    setp(bytes_.get(), bytes_.get() + size);
  }
  ~file_output_buffer() override {
    try {
      drain();
    } catch (...) {
      TW_LOG(error) << "Closing " << path_.string() << ": " << tw::current_exception_to_string();
    }
    ::close(fd_);
  }
  file_output_buffer(const file_output_buffer&) = delete;
  file_output_buffer& operator=(const file_output_buffer&) = delete;

 protected:
  int_type overflow(int_type c) override {
    drain();
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
      *pptr() = traits_type::to_char_type(c);
      pbump(1);
    }
    return traits_type::not_eof(c);
  }
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    if (n <= epptr() - pptr()) {
      std::memcpy(pptr(), s, static_cast<std::size_t>(n));
      pbump(static_cast<int>(n));
      return n;
    }
    drain();
    if (static_cast<std::size_t>(n) >= size) {
      write_all(s, static_cast<std::size_t>(n));
    } else {
      std::memcpy(pptr(), s, static_cast<std::size_t>(n));
      pbump(static_cast<int>(n));
    }
    return n;
  }
  int sync() override {
    drain();
    return 0;
  }
  pos_type seekoff(off_type offset, std::ios_base::seekdir way, std::ios_base::openmode which) override {
    if (!(which & std::ios_base::out)) return pos_type(off_type(-1));
    drain();
    const int whence = way == std::ios_base::beg ? SEEK_SET : way == std::ios_base::cur ? SEEK_CUR : SEEK_END;
    const off_t at = ::lseek(fd_, static_cast<off_t>(offset), whence);
    return at < 0 ? pos_type(off_type(-1)) : pos_type(static_cast<off_type>(at));
  }
  pos_type seekpos(pos_type position, std::ios_base::openmode which) override {
    return seekoff(off_type(position), std::ios_base::beg, which);
  }

 private:
  void drain() {
    const auto pending = static_cast<std::size_t>(pptr() - pbase());
    setp(bytes_.get(), bytes_.get() + size);
    write_all(bytes_.get(), pending);
  }
  void write_all(const char* data, std::size_t count) {
    while (count > 0) {
      const auto n = ::write(fd_, data, count);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) throw tw::file_write_error(n < 0 ? errno : EIO, "Cannot write " + path_.string());
      data += n;
      count -= static_cast<std::size_t>(n);
    }
  }

  int fd_;
  std::filesystem::path path_;
  std::unique_ptr<char[]> bytes_;
};

// The buffer is a base, so that it outlives the stream.
struct owned_buffer {
  explicit owned_buffer(int fd, const std::filesystem::path& path) : buffer(fd, path) {}
  file_output_buffer buffer;
};

class file_output_stream final : private owned_buffer, public std::ostream {
 public:
  file_output_stream(int fd, const std::filesystem::path& path) : owned_buffer(fd, path), std::ostream(&buffer) {
    // What the buffer throws reaches the writer, not only the bad bit.
    exceptions(std::ios::badbit);
  }
};

}  // namespace

std::shared_ptr<std::ostream> open_file_stream(const std::filesystem::path& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0664);
  if (fd < 0)
    TW_THROW(boost::enable_error_info(std::runtime_error("Fail to create file"))
             << tw::errinfo_path(path.string()) << tw::errinfo_cause(std::strerror(errno)));
  return std::make_shared<file_output_stream>(fd, path);
}

int open_file_handle(const std::filesystem::path& path) {
  return ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0664);
}

}  // namespace tw_prof
