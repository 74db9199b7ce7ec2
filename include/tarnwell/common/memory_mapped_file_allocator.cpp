#include "tarnwell/common/memory_mapped_file_allocator.h"

#include "tarnwell/common/backoff.h"
#include "tw/utility/throw.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <sys/mman.h>
#include <system_error>
#include <unistd.h>

namespace tarnwell::common {

memory_mapped_file_allocator::memory_mapped_file_allocator(int handle, std::int64_t start_position,
                                                           std::size_t max_size, std::size_t view_size,
                                                           utility_allocator& utility, std::uint32_t offset_limit)
    : file_(duplicate_handle(handle)),
      utility_(utility),
      start_position_(start_position),
      max_size_(max_size),
      offset_limit_(std::min(offset_limit, mapped_offset_limit)) {
  const std::size_t page = page_size();
  if (view_size == 0) view_size = 1;
  view_size_ = ((view_size - 1) / page + 1) * page;
  start_in_page_ = static_cast<std::uint32_t>(static_cast<std::uint64_t>(start_position) % page);
  first_position_ = (start_in_page_ + static_cast<std::uint32_t>(region_header_bytes) + 7u) & ~7u;
  header_size_ = first_position_ - start_in_page_;
  views_per_step_ = (max_size_ + first_position_ - 1) / view_size_ + 1;
  // Address space only: nothing is committed until a view is mapped over it.
  reserved_ = (std::size_t{offset_limit_} / view_size_ + 1) * view_size_;
  void* reserved = ::mmap(nullptr, reserved_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (reserved == MAP_FAILED) TW_THROW(tw::mms::exception::create_mapping(errno));
  base_ = static_cast<char*>(reserved);
  try {
    init();
  } catch (...) {
    ::munmap(base_, reserved_);
    mapping_.close();
    file_.reset();
    throw;
  }
}

memory_mapped_file_allocator::~memory_mapped_file_allocator() {
  try {
    close();
  } catch (...) {
    // The file keeps its reserved length; nothing else is lost.
  }
  mapping_.close();
  if (base_ != nullptr) ::munmap(base_, reserved_);
}

memory_mapped_file_allocator::view* memory_mapped_file_allocator::slot(std::size_t index) const {
  return view_table_[index / views_per_step_] + index % views_per_step_;
}

void memory_mapped_file_allocator::init() {
  std::lock_guard lock(mutex_);
  const std::int64_t page_base = start_position_ - start_in_page_;
  add_view(page_base, first_position_, first_position_);
  view* v = current_.load();
  header_ = static_cast<char*>(v->mapped) + start_in_page_;
  const std::uint32_t words[7] = {header_size_, 0, first_position_, 0x7FFFFFFF,
                                  static_cast<std::uint32_t>(view_size_), start_in_page_, 0};
  std::memcpy(header_, words, sizeof words);
}

void memory_mapped_file_allocator::grow_mapping() {
  // The file's space is reserved view by view as views open (add_view): the
  // file then holds what is used, not a whole step ahead of it.
  if (mapping_.handle() < 0) mapping_ = tw::mms::file_mapping(file_.get(), tw::mms::mode_t::read_write, 0);
  view_capacity_ += views_per_step_;

  auto** table = static_cast<view**>(utility_.alloc_raw(sizeof(view*) * (chunk_count_ + 1)));
  if (chunk_count_) std::memcpy(table, view_table_, sizeof(view*) * chunk_count_);
  auto* chunk = static_cast<view*>(utility_.alloc_raw(sizeof(view) * views_per_step_));
  for (std::size_t i = 0; i < views_per_step_; ++i) {
    new (&chunk[i]) view{nullptr, {nullptr}, nullptr, 0, nullptr};
  }
  table[chunk_count_] = chunk;
  view_table_ = table;
  ++chunk_count_;
}

void memory_mapped_file_allocator::add_view(std::int64_t file_position, std::size_t first_usable,
                                            std::uint32_t base_offset) {
  if (view_count_ >= view_capacity_) grow_mapping();
  if ((view_count_ + 1) * view_size_ > reserved_) TW_THROW(std::bad_alloc());
  view* v = slot(view_count_);
  // Reserved before it is mapped: a full disk is an error here, never a
  // SIGBUS at a write through the view.
  mapping_.reserve(file_position, static_cast<std::streamoff>(view_size_));
  void* base = ::mmap(base_ + view_count_ * view_size_, view_size_, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED,
                      mapping_.handle(), file_position);
  if (base == MAP_FAILED) TW_THROW(tw::mms::exception::create_mapping(errno));
#ifdef MADV_POPULATE_WRITE
  // Every page of a view will be written: one call makes them all writable,
  // where each first write would otherwise fault on its own. Older kernels
  // refuse the advice, and the pages then fault in as they are used.
  ::madvise(base, view_size_, MADV_POPULATE_WRITE);
#endif
  v->mapped = base;
  v->start = static_cast<char*>(base) + first_usable;
  v->bump.store(v->start, std::memory_order_relaxed);
  v->end = static_cast<char*>(base) + view_size_;
  v->base_offset = base_offset;
  ++view_count_;
  current_.store(v, std::memory_order_release);
}

void memory_mapped_file_allocator::open_next_view(view* full) {
  std::lock_guard lock(mutex_);
  if (current_.load() != full) return;  // another thread was first
  const std::int64_t page_base = start_position_ - start_in_page_;
  add_view(page_base + static_cast<std::int64_t>(view_count_ * view_size_), 0,
           static_cast<std::uint32_t>(view_count_ * view_size_));
}

mapped_memory_ptr memory_mapped_file_allocator::alloc_raw(std::size_t size) {
  const auto run = alloc_run(size, 1);
  return {run.pointer, run.offset};
}

mapped_memory_run memory_mapped_file_allocator::alloc_run(std::size_t unit, std::size_t max_units) {
  // Views after the first are usable from their first byte; a request larger
  // than a view would open views forever.
  if (unit == 0 || unit > view_size_ || max_units == 0) TW_THROW(std::bad_alloc());
  backoff waiting;
  for (;;) {
    view* v = current_.load(std::memory_order_acquire);
    if (v == nullptr) TW_THROW(std::runtime_error("The allocator is closed"));
    char* bump = v->bump.load(std::memory_order_relaxed);
    const auto left = static_cast<std::size_t>(v->end - bump);
    if (left < unit) {
      open_next_view(v);
      continue;
    }
    const std::uint64_t offset = static_cast<std::uint64_t>(bump - v->start) + v->base_offset;
    if (offset >= offset_limit_) TW_THROW(std::bad_alloc());
    // Every unit handed out starts below the limit, as each alloc_raw's would.
    const std::size_t below_limit = (offset_limit_ - offset + unit - 1) / unit;
    const std::size_t size = std::min({left / unit, max_units, below_limit}) * unit;
    if (v->bump.compare_exchange_strong(bump, bump + size, std::memory_order_relaxed))
      return {bump, static_cast<std::uint32_t>(offset), size};
    waiting.wait();
  }
}

bool memory_mapped_file_allocator::give_back(std::uint32_t offset, std::size_t size) {
  view* v = current_.load(std::memory_order_acquire);
  if (v == nullptr || size == 0) return size == 0;
  char* first = base_ + offset;
  char* end = first + size;
  if (first < v->start || end > v->end) return false;
  return v->bump.compare_exchange_strong(end, first, std::memory_order_relaxed);
}

std::uint32_t memory_mapped_file_allocator::end_offset() const {
  const view* v = current_.load(std::memory_order_acquire);
  if (v == nullptr) return 0;
  return static_cast<std::uint32_t>(v->base_offset + static_cast<std::uint64_t>(v->bump.load() - v->start));
}

void memory_mapped_file_allocator::close() {
  view* current = current_.load();
  if (current == nullptr) return;
  const auto views = static_cast<std::uint32_t>(view_count_);
  const auto used = static_cast<std::uint32_t>(
      current->base_offset + static_cast<std::uint64_t>(current->bump.load() - current->start) - header_size_);
  std::memcpy(header_ + 6 * 4, &views, 4);
  std::memcpy(header_ + 1 * 4, &used, 4);
  ::munmap(base_, reserved_);
  base_ = nullptr;
  current_.store(nullptr);
  header_ = nullptr;
  mapping_.close();
  if (::ftruncate(file_.get(), static_cast<off_t>(start_position_ + header_size_ + std::uint64_t{used})) != 0)
    TW_THROW(std::system_error(errno, std::system_category(), "Cannot set EOF"));
}

}  // namespace tarnwell::common
