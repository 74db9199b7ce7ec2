#pragma once

// A lock-free bump allocator over a growing file, mapped view by view. Each
// allocation has an address and a 32-bit offset from the region's page base;
// stored structures hold offsets, so the region can be read back from disk.
// The views are mapped side by side into one reserved address range, so an
// offset turns into an address by one addition.
//
// Threads: any number may allocate at once; the fast path is one
// compare-and-swap on the current view's bump. The mutex is held only to open
// a view (and then possibly to grow the file). Offset-to-address readers take
// no lock. close() and destruction must not overlap allocations.

#include "tarnwell/common/lockfree_allocator.h"
#include "tarnwell/common/mm_utils.h"
#include "tw/mms/common/file_mapping.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace tarnwell::common {

struct mapped_memory_ptr {
  void* pointer = nullptr;
  std::uint32_t offset = 0;
};

struct mapped_memory_run {
  void* pointer = nullptr;
  std::uint32_t offset = 0;
  std::size_t size = 0;
};

inline constexpr std::uint32_t mapped_offset_limit = 0x7FFFFFFE;
inline constexpr std::size_t region_header_bytes = 28;

class memory_mapped_file_allocator {
 public:
  using utility_allocator = lockfree_allocator<32768, 1, false>;

  // offset_limit: where allocations stop (bad_alloc), at most the format's.
  memory_mapped_file_allocator(int handle, std::int64_t start_position, std::size_t max_size, std::size_t view_size,
                               utility_allocator& utility, std::uint32_t offset_limit = mapped_offset_limit);
  memory_mapped_file_allocator(const memory_mapped_file_allocator&) = delete;
  memory_mapped_file_allocator& operator=(const memory_mapped_file_allocator&) = delete;
  ~memory_mapped_file_allocator();

  // Throws std::bad_alloc once offsets would reach the limit or a request
  // exceeds a view.
  mapped_memory_ptr alloc_raw(std::size_t size);
  // As many whole units as the current view has left, up to max_units, and
  // at least one (opening the next view when none is left): the same bytes a
  // series of alloc_raw(unit) would hand out, at one compare-and-swap.
  mapped_memory_run alloc_run(std::size_t unit, std::size_t max_units);
  // Returns the tail of an allocation when nothing was allocated after it;
  // otherwise it stays allocated and false is returned.
  bool give_back(std::uint32_t offset, std::size_t size);
  void* to_pointer(std::uint32_t offset) const noexcept { return base_ + offset; }
  // The offset the next allocation would get if it fits the current view.
  std::uint32_t end_offset() const;

  // Writes the header's final words, unmaps and cuts the file back to what was
  // used. A second call does nothing.
  void close();

  std::size_t view_size() const noexcept { return view_size_; }
  std::uint32_t offset_limit() const noexcept { return offset_limit_; }
  std::size_t views_per_step() const noexcept { return views_per_step_; }
  std::size_t view_count() const noexcept { return view_count_; }
  std::size_t view_capacity() const noexcept { return view_capacity_; }
  std::uint32_t first_position() const noexcept { return first_position_; }
  std::uint32_t header_size() const noexcept { return header_size_; }
  std::uint32_t start_in_page() const noexcept { return start_in_page_; }

 private:
  struct view {
    char* start;
    std::atomic<char*> bump;
    char* end;
    std::uint32_t base_offset;
    void* mapped;
  };

  void init();
  void add_view(std::int64_t file_position, std::size_t first_usable, std::uint32_t base_offset);
  void grow_mapping();
  view* slot(std::size_t index) const;
  void open_next_view(view* full);

  tw::unique_hld<int> file_;
  tw::mms::file_mapping mapping_;
  utility_allocator& utility_;
  std::int64_t start_position_;
  std::size_t max_size_;
  std::uint32_t offset_limit_;
  std::size_t view_size_;
  std::uint32_t start_in_page_;
  std::uint32_t first_position_;
  std::uint32_t header_size_;
  std::size_t views_per_step_;
  std::size_t view_count_ = 0;
  std::size_t view_capacity_ = 0;
  view** view_table_ = nullptr;
  // View i is mapped at base_ + i * view_size_.
  char* base_ = nullptr;
  std::size_t reserved_ = 0;
  std::size_t chunk_count_ = 0;
  std::atomic<view*> current_{nullptr};
  std::mutex mutex_;
  // At the start position, which need not be aligned: words go through memcpy.
  char* header_ = nullptr;
};

}  // namespace tarnwell::common
