#pragma once

// Where the parser's bytes come from: a recorded file or a live session's
// connection. A source delivers exactly the bytes asked for or throws.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>

namespace tarnwell::nettrace {

class stream_source {
 public:
  virtual ~stream_source() = default;
  virtual void read_exact(std::uint8_t* destination, std::size_t count) = 0;
};

// Reads straight into the parser's buffer: blocks are large, and a stream
// buffer in between would only copy every byte once more.
class file_source final : public stream_source {
 public:
  explicit file_source(const std::filesystem::path& path);
  ~file_source() override;
  file_source(const file_source&) = delete;
  file_source& operator=(const file_source&) = delete;
  void read_exact(std::uint8_t* destination, std::size_t count) override;
  std::uint64_t size() const noexcept { return size_; }

 private:
  int fd_ = -1;
  std::uint64_t size_ = 0;
};

// Bytes already in memory (fuzzing, tests).
class memory_source final : public stream_source {
 public:
  memory_source(const std::uint8_t* data, std::size_t size) noexcept : data_(data), size_(size) {}
  void read_exact(std::uint8_t* destination, std::size_t count) override;

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t offset_ = 0;
};

}  // namespace tarnwell::nettrace
