#pragma once

// Small file helpers of the memory-mapped allocator.

#include "tw/utility/handle.h"

#include <cstddef>
#include <cstdint>

namespace tarnwell::common {

// The system page size, computed once.
std::size_t page_size() noexcept;

// Seeks to the end of the file and returns that position.
std::int64_t get_file_append_pos(int handle);

// A new owning descriptor for the same file (close-on-exec).
tw::unique_hld<int> duplicate_handle(int handle);

}  // namespace tarnwell::common
