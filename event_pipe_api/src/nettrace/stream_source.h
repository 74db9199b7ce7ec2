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
  // Whether what view() gave stays where it is for as long as the source
  // lives: decoded events may then outlive the call that decoded them.
  virtual bool stable() const noexcept { return false; }
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

// Bytes already in memory (fuzzing, tests, a mapped file).
class memory_source : public stream_source {
 public:
  memory_source(const std::uint8_t* data, std::size_t size) noexcept : data_(data), size_(size) {}
  void read_exact(std::uint8_t* destination, std::size_t count) override;
  const std::uint8_t* view(std::size_t count) override;
  bool stable() const noexcept override { return true; }
  std::uint64_t size() const noexcept { return size_; }

 protected:
  const std::uint8_t* data() const noexcept { return data_; }
  std::size_t offset() const noexcept { return offset_; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t offset_ = 0;
};

// A recorded file mapped whole: read in place, without the kernel's copy,
// and every byte stays put until the source goes. The file is taken at the
// size it has when opened; a recorder still writing it adds nothing after.
class mapped_source final : public memory_source {
 public:
  // Nothing for what cannot be mapped (a pipe, an empty file): read it with
  // a file_source. Throws when the file cannot be opened.
  static std::unique_ptr<mapped_source> open(const std::filesystem::path& path);
  ~mapped_source() override;
  mapped_source(const mapped_source&) = delete;
  mapped_source& operator=(const mapped_source&) = delete;
  void read_exact(std::uint8_t* destination, std::size_t count) override;
  const std::uint8_t* view(std::size_t count) override;

 private:
  mapped_source(const std::uint8_t* data, std::size_t size) noexcept : memory_source(data, size) {}
  // Maps in the stretch ahead of a read that reaches past what is mapped in,
  // and lets go of what lies far behind.
  void keep_ahead(std::size_t count);
  std::uint64_t mapped_in_ = 0, dropped_ = 0;
};

}  // namespace tarnwell::nettrace
