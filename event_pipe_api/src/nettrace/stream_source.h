#pragma once

// Where the parser's bytes come from: a recorded file or a live session's
// connection. A source delivers exactly the bytes asked for or throws.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

namespace tarnwell::nettrace {

// The source has no more bytes to give: a recording cut short, or a
// connection whose other end has gone.
class source_ended : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
  // "Unexpected EOF: GOT bytes were read while COUNT were expected"
  static source_ended short_read(std::size_t got, std::size_t count);
};

class stream_source {
 public:
  virtual ~stream_source() = default;
  virtual void read_exact(std::uint8_t* destination, std::size_t count) = 0;
  // The next `count` bytes where they already lie in memory, taken as read,
  // or nullptr (nothing taken) when they do not lie in one piece. Good until
  // the next call.
  virtual const std::uint8_t* view(std::size_t) { return nullptr; }
};

// A recorded file (or a pipe), read ahead on a thread of its own: the
// kernel's copying then runs beside the parsing, which only copies out of
// memory already filled.
class file_source final : public stream_source {
 public:
  explicit file_source(const std::filesystem::path& path);
  ~file_source() override;
  file_source(const file_source&) = delete;
  file_source& operator=(const file_source&) = delete;
  void read_exact(std::uint8_t* destination, std::size_t count) override;
  const std::uint8_t* view(std::size_t count) override;
  std::uint64_t size() const noexcept { return size_; }

 private:
  // The reader stays at most 2 MiB ahead: what it copied is then still in
  // the shared cache when the parser gets to it. Four times as far ahead, the
  // parser fetched every byte from memory again, and converting a large
  // recording took about a tenth longer.
  static constexpr std::size_t chunk_size = 512 << 10;
  static constexpr std::size_t chunk_count = 4;

  struct chunk {
    std::unique_ptr<std::uint8_t[]> bytes{new std::uint8_t[chunk_size]};
    bool populated = false;  // the reader's own
    std::size_t filled = 0;
    bool ready = false;  // filled (in part or whole) by the reader, not yet used up
    bool last = false;   // the end of the file, or where reading failed
    int error = 0;
  };

  void read_ahead();
  // The chunk the parser reads from: a used-up one goes back to the reader
  // (only now, as a view may still point into it), and the next is waited for.
  chunk& current_chunk();

  int fd_ = -1;
  bool regular_ = false;
  std::uint64_t size_ = 0;
  chunk chunks_[chunk_count];
  std::mutex mutex_;
  std::condition_variable changed_;
  bool stopping_ = false;
  // The parser's place: chunk and offset in it.
  std::size_t current_ = 0;
  std::size_t used_ = 0;
  bool held_ = false;  // the current chunk is ready and the parser's
  std::thread reader_;
};

// Bytes already in memory (fuzzing, tests).
class memory_source final : public stream_source {
 public:
  memory_source(const std::uint8_t* data, std::size_t size) noexcept : data_(data), size_(size) {}
  void read_exact(std::uint8_t* destination, std::size_t count) override;
  const std::uint8_t* view(std::size_t count) override;

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t offset_ = 0;
};

}  // namespace tarnwell::nettrace
