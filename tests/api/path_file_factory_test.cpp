#include "api/path_file_factory.h"

#include "tw/error/exception_text.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace {

using namespace tw_prof;
namespace fs = std::filesystem;

class path_file_factory_test : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("pff_" + std::to_string(::getpid()) + "_" +
                                        testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
};

TEST_F(path_file_factory_test, main_file_is_the_base_path_and_further_files_are_numbered_in_hex) {
  const auto base = (dir_ / "snap.dtt").string();
  path_file_factory factory(base);
  *factory.create_stream(host_file{true}) << "index";
  for (int i = 0; i < 11; ++i) {
    if (i % 2) {
      *factory.create_stream(host_file{false}) << i;
    } else {
      const int fd = factory.create_file(host_file{false});
      ASSERT_GE(fd, 0);
      ::close(fd);
    }
  }
  const auto& created = factory.created();
  ASSERT_EQ(created.size(), 12u);
  EXPECT_EQ(created[0], fs::path(base));
  EXPECT_EQ(created[1], fs::path(base + ".0000"));
  EXPECT_EQ(created[2], fs::path(base + ".0001"));
  EXPECT_EQ(created[11], fs::path(base + ".000A"));
  for (const auto& p : created) EXPECT_TRUE(fs::exists(p)) << p;
}

TEST_F(path_file_factory_test, descriptor_files_are_read_write_and_truncated) {
  const auto base = (dir_ / "s").string();
  std::ofstream(base) << "old content";
  path_file_factory factory(base);
  const int fd = factory.create_file(host_file{true});
  ASSERT_GE(fd, 0);
  EXPECT_EQ(fs::file_size(base), 0u);
  ASSERT_EQ(::write(fd, "abc", 3), 3);
  char back[3];
  ASSERT_EQ(::pread(fd, back, 3, 0), 3);
  EXPECT_EQ(std::string(back, 3), "abc");
  ::close(fd);
  const auto mode = fs::status(base).permissions();
  EXPECT_TRUE((mode & fs::perms::owner_write) != fs::perms::none);
}

TEST_F(path_file_factory_test, slave_files_are_refused) {
  path_file_factory factory((dir_ / "s").string());
  try {
    factory.create_stream(slave_file{"remote"});
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Slave file is unexpected");
  }
  EXPECT_THROW(factory.create_file(slave_file{"remote"}), std::runtime_error);
  EXPECT_TRUE(factory.created().empty());
}

TEST_F(path_file_factory_test, unopenable_stream_reports_the_path) {
  const auto base = (dir_ / "missing" / "s").string();
  path_file_factory factory(base);
  try {
    factory.create_stream(host_file{true});
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Fail to create file");
    const auto text = tw::current_exception_to_string();
    EXPECT_NE(text.find(base), std::string::npos) << text;
  }
  EXPECT_EQ(factory.create_file(host_file{false}), -1);
}

TEST_F(path_file_factory_test, remove_all_deletes_every_created_file) {
  const auto base = (dir_ / "s").string();
  path_file_factory factory(base);
  factory.create_stream(host_file{true});
  ::close(factory.create_file(host_file{false}));
  factory.create_stream(host_file{false});
  std::ofstream(dir_ / "unrelated") << "keep";
  factory.remove_all();
  EXPECT_TRUE(factory.created().empty());
  EXPECT_FALSE(fs::exists(base));
  EXPECT_FALSE(fs::exists(base + ".0000"));
  EXPECT_FALSE(fs::exists(base + ".0001"));
  EXPECT_TRUE(fs::exists(dir_ / "unrelated"));
  factory.remove_all();  // a second call has nothing left to do
}

}  // namespace
