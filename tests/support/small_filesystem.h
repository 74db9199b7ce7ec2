#pragma once

// A file system that fills up: a tmpfs of a few hundred KiB mounted at a
// folder of the test's, unmounted again with it. Mounting needs root; a test
// skips where it cannot.

#include <cstddef>
#include <filesystem>
#include <string>
#include <sys/mount.h>

namespace test_support {

class small_filesystem {
 public:
  small_filesystem(std::filesystem::path at, std::size_t kib) : path_(std::move(at)) {
    std::filesystem::create_directories(path_);
    const std::string options = "size=" + std::to_string(kib) + "k";
    mounted_ = ::mount("tmpfs", path_.c_str(), "tmpfs", 0, options.c_str()) == 0;
  }
  ~small_filesystem() {
    if (mounted_) ::umount2(path_.c_str(), MNT_DETACH);
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  small_filesystem(const small_filesystem&) = delete;
  small_filesystem& operator=(const small_filesystem&) = delete;

  bool mounted() const noexcept { return mounted_; }
  const std::filesystem::path& path() const noexcept { return path_; }
  bool empty() const { return std::filesystem::is_empty(path_); }

 private:
  std::filesystem::path path_;
  bool mounted_ = false;
};

}  // namespace test_support
