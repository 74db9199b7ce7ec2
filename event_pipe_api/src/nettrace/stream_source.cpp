#include "event_pipe_api/src/nettrace/stream_source.h"

#include "tw/utility/throw.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cstring>
#include <stdexcept>
#include <string>

namespace tarnwell::nettrace {

source_ended source_ended::short_read(std::size_t got, std::size_t count) {
  return source_ended("Unexpected EOF: " + std::to_string(got) + " bytes were read while " + std::to_string(count) +
                      " were expected");
}

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
    regular_ = true;
    size_ = static_cast<std::uint64_t>(st.st_size);
    ::posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
  }
  try {
    reader_ = std::thread([this] { read_ahead(); });
  } catch (...) {
    ::close(fd_);
    throw;
  }
}

file_source::~file_source() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  reader_.join();
  ::close(fd_);
}

void file_source::read_ahead() {
  for (std::size_t next = 0;; next = (next + 1) % chunk_count) {
    chunk& c = chunks_[next];
    {
      std::unique_lock lock(mutex_);
      changed_.wait(lock, [&] { return stopping_ || !c.ready; });
      if (stopping_) return;
    }
#ifdef MADV_POPULATE_WRITE
    if (!c.populated) {
      // One call for the chunk's pages, where the first read into it would
      // fault them in one by one. Older kernels refuse: the faults then come.
      const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
      const auto first = (reinterpret_cast<std::uintptr_t>(c.bytes.get()) + page - 1) & ~(page - 1);
      const auto last = (reinterpret_cast<std::uintptr_t>(c.bytes.get()) + chunk_size) & ~(page - 1);
      if (last > first) ::madvise(reinterpret_cast<void*>(first), last - first, MADV_POPULATE_WRITE);
      c.populated = true;
    }
#endif
    // The chunk is this thread's until it is marked ready. It is handed over
    // with whatever one read brought: a pipe's writer may be slow, and its
    // bytes are wanted now.
    std::size_t filled = 0;
    int error = 0;
    bool last = false;
    for (;;) {
      if (!regular_) {
        // A silent writer must not keep a closing source waiting.
        pollfd p{fd_, POLLIN, 0};
        const int ready = ::poll(&p, 1, 100);
        if (ready == 0 || (ready < 0 && errno == EINTR)) {
          std::lock_guard lock(mutex_);
          if (stopping_) return;
          continue;
        }
      }
      const ssize_t n = ::read(fd_, c.bytes.get(), chunk_size);
      if (n > 0) {
        filled = static_cast<std::size_t>(n);
      } else if (n < 0 && errno == EINTR) {
        continue;
      } else {
        error = n < 0 ? errno : 0;
        last = true;
      }
      break;
    }
    {
      std::lock_guard lock(mutex_);
      c.filled = filled;
      c.error = error;
      c.last = last;
      c.ready = true;
    }
    changed_.notify_all();
    if (last) return;
  }
}

file_source::chunk& file_source::current_chunk() {
  chunk* c = &chunks_[current_];
  if (held_ && used_ == c->filled && !c->last) {
    {
      std::lock_guard lock(mutex_);
      c->ready = false;
    }
    changed_.notify_all();
    held_ = false;
    current_ = (current_ + 1) % chunk_count;
    used_ = 0;
    c = &chunks_[current_];
  }
  if (!held_) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return c->ready; });
    held_ = true;
  }
  return *c;
}

void file_source::read_exact(std::uint8_t* destination, std::size_t count) {
  std::size_t got = 0;
  while (got < count) {
    chunk& c = current_chunk();
    const std::size_t take = std::min(count - got, c.filled - used_);
    std::memcpy(destination + got, c.bytes.get() + used_, take);
    got += take;
    used_ += take;
    if (got == count || used_ < c.filled || !c.last) continue;
    if (c.error != 0)
      TW_THROW(boost::enable_error_info(std::runtime_error("Unable to read the recording"))
               << tw::errinfo_errno_text(std::strerror(c.error)));
    throw source_ended::short_read(got, count);
  }
}

const std::uint8_t* file_source::view(std::size_t count) {
  chunk& c = current_chunk();
  if (c.filled - used_ < count) return nullptr;
  const std::uint8_t* at = c.bytes.get() + used_;
  used_ += count;
  return at;
}

const std::uint8_t* memory_source::view(std::size_t count) {
  if (size_ - offset_ < count) return nullptr;
  const std::uint8_t* at = data_ + offset_;
  offset_ += count;
  return at;
}

void memory_source::read_exact(std::uint8_t* destination, std::size_t count) {
  const std::size_t got = std::min(count, size_ - offset_);
  std::memcpy(destination, data_ + offset_, got);
  offset_ += got;
  if (got != count) throw source_ended::short_read(got, count);
}

std::unique_ptr<mapped_source> mapped_source::open(const std::filesystem::path& path) {
  // A pipe is not even opened here: what its writer sends while nobody reads
  // it would be lost before the file_source opens it again.
  struct stat named {};
  if (::stat(path.c_str(), &named) == 0 && !S_ISREG(named.st_mode)) return nullptr;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    const int err = errno;
    TW_THROW(boost::enable_error_info(std::runtime_error("Unable to open \"" + path.string() + "\""))
             << tw::errinfo_errno_text(std::strerror(err)));
  }
  struct stat st {};
  void* data = MAP_FAILED;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0)
    data = ::mmap(nullptr, static_cast<std::size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
  ::close(fd);  // the mapping keeps the file
  if (data == MAP_FAILED) return nullptr;
  // Read once, front to back: the kernel reads ahead.
  ::madvise(data, static_cast<std::size_t>(st.st_size), MADV_SEQUENTIAL);
  ::madvise(data, static_cast<std::size_t>(st.st_size), MADV_WILLNEED);
  return std::unique_ptr<mapped_source>(
      new mapped_source(static_cast<const std::uint8_t*>(data), static_cast<std::size_t>(st.st_size)));
}

mapped_source::~mapped_source() { ::munmap(const_cast<std::uint8_t*>(data()), static_cast<std::size_t>(size())); }

const std::uint8_t* mapped_source::view(std::size_t count) {
  keep_ahead(count);
  return memory_source::view(count);
}

void mapped_source::read_exact(std::uint8_t* destination, std::size_t count) {
  keep_ahead(count);
  memory_source::read_exact(destination, count);
}

void mapped_source::keep_ahead(std::size_t count) {
  const std::uint64_t end = offset() + count;
  if (end <= mapped_in_) return;
  constexpr std::uint64_t ahead = 8 << 20, behind = 16 << 20;
  const auto page = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
  auto* base = const_cast<std::uint8_t*>(data());
  // The next stretch is mapped in one call, where reading it would fault
  // page by page (costly where the kernel runs under a hypervisor).
  const std::uint64_t from = mapped_in_ / page * page;
  mapped_in_ = std::min<std::uint64_t>(size(), end + ahead);
#ifdef MADV_POPULATE_READ
  ::madvise(base + from, static_cast<std::size_t>(mapped_in_ - from), MADV_POPULATE_READ);
#else
  (void)from;
#endif
  // What lies far behind is let go: the resident set stays small, and a
  // view into it that is read again faults it back in from the file.
  if (offset() > behind) {
    const std::uint64_t drop_end = (offset() - behind) / page * page;
    if (drop_end > dropped_) {
      ::madvise(base + dropped_, static_cast<std::size_t>(drop_end - dropped_), MADV_DONTNEED);
      dropped_ = drop_end;
    }
  }
}

}  // namespace tarnwell::nettrace
