#include "api/path_file_factory.h"

#include "tests/support/scratch_folder.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <unistd.h>

namespace {

using namespace tw_prof;
namespace fs = std::filesystem;

// Files that cannot be made, and removing them all, are met by the
// conversion's tests of bad output paths, full disks and cancellation.
class path_file_factory_test : public testing::Test {
 protected:
  const test_support::scratch_folder scratch_;
  const fs::path dir_ = scratch_.path();
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

TEST_F(path_file_factory_test, slave_files_are_refused) {
  path_file_factory factory((dir_ / "s").string());
  EXPECT_THAT([&] { factory.create_stream(slave_file{"remote"}); },
              testing::ThrowsMessage<std::runtime_error>(testing::StrEq("Slave file is unexpected")));
  EXPECT_THROW(factory.create_file(slave_file{"remote"}), std::runtime_error);
  EXPECT_TRUE(factory.created().empty());
}

}  // namespace
