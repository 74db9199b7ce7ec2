#pragma once

// Reads a snapshot written by the profiler: checks the index (signature,
// count word, records, end marker) and that every section file is exactly as
// long as the sections it holds, then hands out each section's bytes.

#include <cstdint>
#include <filesystem>
#include <optional>
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

 private:
  std::filesystem::path index_;
  std::uint32_t format_ = 0;
  std::optional<std::uint16_t> version_;
  std::vector<section_entry> sections_;
};

}  // namespace tw::tools
