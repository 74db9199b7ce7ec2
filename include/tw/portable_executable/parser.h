#pragma once

// A small PE/CLI reader: enough of a module image to take its CLI metadata
// (for the MVID) and its debug directory (for symbol lookup later).

#include "tw/utility/guid.h"

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace tw {

struct debug_directory_entry {
  std::uint32_t characteristics = 0;
  std::uint32_t time_date_stamp = 0;
  std::uint16_t major_version = 0;
  std::uint16_t minor_version = 0;
  std::uint32_t type = 0;
  std::vector<std::uint8_t> data;
};

enum class read_mode { file, mapped_image };

class portable_executable {
 public:
  // `image` is the file's bytes (file mode) or a loaded image (mapped mode).
  portable_executable(std::vector<std::uint8_t> image, read_mode mode, std::string name);
  // A module file mapped rather than read: only the pages looked at are
  // touched (a framework image is megabytes of code nobody reads here).
  // Throws as read_module_file does.
  static portable_executable map_file(const std::string& path);

  std::span<const std::uint8_t> metadata() const noexcept { return metadata_; }
  // What keeps the bytes alive; spans into them stay good while it is held.
  const std::shared_ptr<const void>& bytes_owner() const noexcept { return owner_; }
  const std::vector<debug_directory_entry>& debug_entries() const noexcept { return debug_; }
  // The CLI header's managed native header (RVA, size): a ReadyToRun image's
  // own header; zero for IL-only images.
  std::pair<std::uint32_t, std::uint32_t> managed_native_header() const noexcept { return native_header_; }
  std::uint16_t machine() const noexcept { return machine_; }
  // The image's bytes at an RVA, or null when they are not all in it.
  const std::uint8_t* at_rva(std::uint32_t rva, std::uint32_t size) const;

 private:
  portable_executable(std::shared_ptr<const void> owner, std::span<const std::uint8_t> image, read_mode mode,
                      std::string name);
  void read_headers();
  std::size_t offset_of(std::uint32_t rva, std::uint32_t size, bool& found) const;

  std::shared_ptr<const void> owner_;  // keeps the bytes of image_
  std::span<const std::uint8_t> image_;
  read_mode mode_;
  std::string name_;
  struct section {
    std::uint32_t virtual_address, virtual_size, raw_size, raw_pointer;
  };
  std::vector<section> sections_;
  std::pair<std::uint32_t, std::uint32_t> native_header_{0, 0};
  std::uint16_t machine_ = 0;
  std::span<const std::uint8_t> metadata_;
  std::vector<debug_directory_entry> debug_;
};

// A module file's bytes; throws std::runtime_error for anything but a
// regular file of at most 1 GiB.
std::vector<std::uint8_t> read_module_file(const std::string& path);

// The metadata's module version id.
guid extract_mvid(std::span<const std::uint8_t> metadata);

}  // namespace tw

namespace tw_prof {

// The metadata is left where the module file is mapped: it is written out
// once, and a copy would only fault in as many fresh pages.
struct image_data {
  std::shared_ptr<const void> owner;  // keeps `metadata` good
  std::span<const std::uint8_t> metadata;
  tw::guid mvid;
  std::vector<tw::debug_directory_entry> debug_entries;
};

// Reads a module file; throws std::runtime_error naming what is wrong.
image_data get_image_data(const std::string& path);

}  // namespace tw_prof
