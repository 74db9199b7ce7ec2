#pragma once

// A folder of the running test's own under the temporary directory (which
// CTest points into the build tree), emptied when made and removed with the
// object, also when an assertion ends the test early.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>

namespace test_support {

class scratch_folder {
 public:
  // Named after the test.
  scratch_folder() : scratch_folder(current_test()) {}
  // Named `tag`: short, for folders that hold sockets, whose paths must fit
  // in 108 bytes.
  explicit scratch_folder(const std::string& tag)
      : path_(std::filesystem::temp_directory_path() / (tag + "." + std::to_string(::getpid()))) {
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  ~scratch_folder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  scratch_folder(const scratch_folder&) = delete;
  scratch_folder& operator=(const scratch_folder&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  static std::string current_test() {
    const auto* test = testing::UnitTest::GetInstance()->current_test_info();
    return std::string(test->test_suite_name()) + "." + test->name();
  }
  std::filesystem::path path_;
};

// Points TMPDIR at a folder for the life of the object.
class scoped_tmpdir {
 public:
  explicit scoped_tmpdir(const std::filesystem::path& dir) : saved_(std::filesystem::temp_directory_path()) {
    ::setenv("TMPDIR", dir.c_str(), 1);
  }
  ~scoped_tmpdir() { ::setenv("TMPDIR", saved_.c_str(), 1); }
  scoped_tmpdir(const scoped_tmpdir&) = delete;
  scoped_tmpdir& operator=(const scoped_tmpdir&) = delete;

 private:
  std::filesystem::path saved_;
};

inline std::string file_text(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace test_support
