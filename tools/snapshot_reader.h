#pragma once

// Reads a snapshot written by the profiler: checks the index (signature,
// count word, records, end marker) and that every section file is exactly as
// long as the sections it holds, then hands out each section's bytes.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tw::tools {

struct section_entry {
  std::uint16_t id = 0;
  std::uint16_t version = 0;
  std::uint64_t length = 0;
  std::uint16_t file = 0;
  std::uint64_t offset = 0;  // where the section starts in its file
};

// A section's bytes mapped read-only from its file: a large snapshot is read
// without a copy, and its pages cost nothing until they are touched.
class mapped_section {
 public:
  mapped_section() = default;
  mapped_section(const std::filesystem::path& file, std::uint64_t offset, std::uint64_t length);
  mapped_section(mapped_section&& other) noexcept;
  mapped_section& operator=(mapped_section&& other) noexcept;
  ~mapped_section();

  std::span<const std::uint8_t> bytes() const noexcept { return {data_, length_}; }

 private:
  void* map_ = nullptr;
  std::size_t map_length_ = 0;
  const std::uint8_t* data_ = nullptr;
  std::size_t length_ = 0;
};

class snapshot_reader {
 public:
  // Throws std::runtime_error naming what is wrong.
  explicit snapshot_reader(std::filesystem::path index);

  std::uint32_t format() const noexcept { return format_; }
  std::optional<std::uint16_t> version() const noexcept { return version_; }
  const std::vector<section_entry>& sections() const noexcept { return sections_; }
  std::filesystem::path file_path(std::uint16_t file) const;

  // The bytes of the first section with this id; throws when there is none.
  std::vector<std::uint8_t> read(std::uint16_t id) const;
  std::vector<std::uint8_t> read(const section_entry& entry) const;
  // The first section with this id, mapped; empty when there is none.
  mapped_section map(std::uint16_t id) const;

 private:
  std::filesystem::path index_;
  std::uint32_t format_ = 0;
  std::optional<std::uint16_t> version_;
  std::vector<section_entry> sections_;
};

}  // namespace tw::tools
