#include "tarnwell/common/lockfree_allocator.h"
#include "tarnwell/common/memory_mapped_file_allocator.h"
#include "tests/support/scratch_folder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <set>
#include <thread>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using namespace tarnwell::common;
using utility_allocator = memory_mapped_file_allocator::utility_allocator;

class mapped_file : public testing::Test {
 protected:
  void SetUp() override {
    fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0664);
    ASSERT_GE(fd_, 0);
  }
  void TearDown() override { ::close(fd_); }
  std::string contents() const { return test_support::file_text(path_); }
  const test_support::scratch_folder scratch_;
  const fs::path path_ = scratch_ / "mapped";
  int fd_ = -1;
  utility_allocator utility_;
};

// A region's data follows its header, whatever precedes it in the file, and
// the file ends at the last byte handed out.
TEST_F(mapped_file, a_region_at_position_zero_or_after_existing_data_ends_at_its_used_bytes) {
  {
    memory_mapped_file_allocator a(fd_, 0, 64 * 4096, 4096, utility_);
    EXPECT_EQ(a.first_position(), 32u);
    const auto first = a.alloc_raw(16);
    EXPECT_EQ(first.offset, 32u);
    std::memcpy(first.pointer, "0123456789abcdef", 16);
    const auto second = a.alloc_raw(5);
    EXPECT_EQ(second.offset, 48u);
    EXPECT_EQ(a.to_pointer(48), second.pointer);
    a.close();
    a.close();  // nothing more to do
  }
  auto file = contents();
  ASSERT_EQ(file.size(), 32u + 21u);
  EXPECT_EQ(file.substr(32, 16), "0123456789abcdef");

  const std::string prefix(4100, 'p');
  ASSERT_EQ(::ftruncate(fd_, 0), 0);
  ASSERT_EQ(::pwrite(fd_, prefix.data(), prefix.size(), 0), 4100);
  {
    memory_mapped_file_allocator a(fd_, 4100, 64 * 4096, 8192, utility_);
    EXPECT_EQ(a.start_in_page(), 4u);
    const auto first = a.alloc_raw(4);
    EXPECT_EQ(first.offset, 32u);
    std::memcpy(first.pointer, "DATA", 4);
  }
  file = contents();
  EXPECT_EQ(file.substr(0, 4100), prefix);  // what preceded is untouched
  EXPECT_EQ(file.substr(4128, 4), "DATA");
}

TEST_F(mapped_file, a_request_that_does_not_fit_opens_the_next_view) {
  memory_mapped_file_allocator a(fd_, 0, 64 * 4096, 4096, utility_);
  const auto almost = a.alloc_raw(4096 - 32 - 8);
  EXPECT_EQ(almost.offset, 32u);
  const auto spilled = a.alloc_raw(16);
  EXPECT_EQ(spilled.offset, 4096u);
  EXPECT_EQ(a.view_count(), 2u);
  EXPECT_EQ(a.to_pointer(4096), spilled.pointer);
  EXPECT_THROW(a.alloc_raw(4097), std::bad_alloc);  // larger than any view
}

TEST_F(mapped_file, a_run_hands_out_what_single_allocations_would_and_its_tail_can_come_back) {
  memory_mapped_file_allocator a(fd_, 0, 64 * 4096, 4096, utility_);
  // The first view has 4096 - 32 bytes after the header: 254 units of 16.
  const auto first = a.alloc_run(16, 200);
  EXPECT_EQ(first.offset, 32u);
  EXPECT_EQ(first.size, 200u * 16);
  const auto rest = a.alloc_run(16, 200);  // only 54 units are left in the view
  EXPECT_EQ(rest.offset, 32u + 200 * 16);
  EXPECT_EQ(rest.size, 54u * 16);
  EXPECT_EQ(a.alloc_run(16, 200).offset, 4096u);  // the next view, from its first byte
  EXPECT_EQ(a.to_pointer(rest.offset), rest.pointer);

  // Only the last allocation's tail can be given back.
  EXPECT_FALSE(a.give_back(rest.offset, rest.size));
  const auto last = a.alloc_run(16, 8);
  EXPECT_TRUE(a.give_back(last.offset + 48, 5 * 16));
  EXPECT_EQ(a.end_offset(), last.offset + 48);
  EXPECT_EQ(a.alloc_raw(16).offset, last.offset + 48);
  EXPECT_THROW(a.alloc_run(0, 4), std::bad_alloc);
}

TEST_F(mapped_file, offsets_stop_short_of_the_limit_even_when_the_file_could_grow) {
  std::unique_ptr<memory_mapped_file_allocator> a;
  try {
    a = std::make_unique<memory_mapped_file_allocator>(fd_, 0, 0x40000000, 0x40000000, utility_);
  } catch (const std::system_error& e) {
    GTEST_SKIP() << "cannot reserve 2 GiB here: " << e.what();
  }
  a->alloc_raw(0x40000000 - 32);
  const auto second = a->alloc_raw(0x3FFFFFF0);
  EXPECT_EQ(second.offset, 0x40000000u);
  EXPECT_EQ(a->alloc_raw(8).offset, 0x7FFFFFF0u);
  EXPECT_EQ(a->alloc_raw(6).offset, 0x7FFFFFF8u);
  // Two bytes are left in the view and the file could grow, but the next
  // offset would be 0x7FFFFFFE.
  EXPECT_THROW(a->alloc_raw(1), std::bad_alloc);
  EXPECT_THROW(a->alloc_raw(1), std::bad_alloc);  // every later request fails the same way
}

TEST_F(mapped_file, concurrent_allocations_are_disjoint_and_land_in_the_file) {
  constexpr int threads = 4;
  constexpr int per_thread = 3000;
  std::vector<std::vector<mapped_memory_ptr>> got(threads);
  {
    memory_mapped_file_allocator a(fd_, 0, 16 * 4096, 4096, utility_);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
      workers.emplace_back([&, t] {
        for (int i = 0; i < per_thread; ++i) {
          const auto p = a.alloc_raw(16);
          const std::uint64_t stamp = (std::uint64_t(t) << 32) | std::uint32_t(i);
          std::memcpy(p.pointer, &stamp, 8);
          std::memcpy(static_cast<char*>(p.pointer) + 8, &p.offset, 4);
          got[t].push_back(p);
        }
      });
    for (auto& w : workers) w.join();
    std::set<std::uint32_t> offsets;
    for (const auto& list : got)
      for (const auto& p : list) {
        EXPECT_TRUE(offsets.insert(p.offset).second) << "offset " << p.offset << " handed out twice";
        EXPECT_EQ(a.to_pointer(p.offset), p.pointer);
      }
    // Allocations of 16 bytes at distinct offsets cannot overlap.
    for (auto it = offsets.begin(); std::next(it) != offsets.end(); ++it) EXPECT_GE(*std::next(it) - *it, 16u);
  }
  const auto file = contents();
  for (int t = 0; t < threads; ++t)
    for (int i = 0; i < per_thread; ++i) {
      const auto offset = got[t][i].offset;
      ASSERT_LE(offset + 16u, file.size());
      std::uint64_t stamp;
      std::memcpy(&stamp, file.data() + offset, 8);
      ASSERT_EQ(stamp, (std::uint64_t(t) << 32) | std::uint32_t(i));
    }
}

TEST(lockfree_allocator, small_requests_come_from_blocks_and_large_ones_from_the_heap) {
  lockfree_allocator<32768, 1, false> a;
  auto* p = static_cast<char*>(a.alloc_raw(3));
  auto* q = static_cast<char*>(a.alloc_raw(8));
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % 8, 0u);
  EXPECT_EQ(q - p, 8);  // rounded to eight
  a.alloc_raw(8192);
  EXPECT_EQ(a.block_count(), 1u);
  EXPECT_EQ(a.large_bytes(), 0u);
  a.alloc_raw(8193);
  EXPECT_EQ(a.large_bytes(), 8193u);
  for (int i = 0; i < 10; ++i) a.alloc_raw(8192);
  // Two more fill the first block; the other eight take two blocks of four.
  EXPECT_EQ(a.block_count(), 3u);
}

TEST(lockfree_allocator, concurrent_requests_get_disjoint_memory) {
  lockfree_allocator<32768, 1, false> a;
  constexpr int threads = 4, per_thread = 5000;
  std::vector<std::vector<char*>> got(threads);
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t)
    workers.emplace_back([&, t] {
      for (int i = 0; i < per_thread; ++i) {
        const std::size_t size = i % 97 == 0 ? 9000 : 24;
        auto* p = static_cast<char*>(a.alloc_raw(size));
        std::memset(p, t, size);
        got[t].push_back(p);
      }
    });
  for (auto& w : workers) w.join();
  for (int t = 0; t < threads; ++t)
    for (char* p : got[t]) ASSERT_EQ(*p, static_cast<char>(t));
  std::set<char*> all;
  for (auto& list : got) all.insert(list.begin(), list.end());
  EXPECT_EQ(all.size(), std::size_t(threads * per_thread));
}

}  // namespace
