// Files created where the host's answers say, and removed by the remover.

#include "tests/support/scratch_folder.h"
#include "bridge/bridge_file_factory.h"

#include <gtest/gtest.h>

#include <fstream>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace tw_prof;

TEST(bridge_file_factory, creates_each_file_at_the_answered_path) {
  const test_support::scratch_folder dir;
  std::vector<std::string> asked;
  std::vector<fs::path> answered;
  int removals = 0;
  bridge_file_factory factory(
      [&](const file_request& r) {
        std::string what = "slave ";
        if (const auto* host = std::get_if<host_file>(&r))
          what = host->main ? "main" : "host";
        else
          what.append(std::get<slave_file>(r).name);
        asked.push_back(what);
        std::string name = "f";
        name.append(std::to_string(answered.size()));
        answered.push_back(dir / name);
        return answered.back();
      },
      [&] {
        ++removals;
        for (const auto& p : answered) fs::remove(p);
      },
      &asked);
  *factory.create_stream(host_file{true}) << "index";
  const int fd = factory.create_file(host_file{false});
  ASSERT_GE(fd, 0);
  ::close(fd);
  factory.create_stream(slave_file{"x"});
  EXPECT_EQ(asked, (std::vector<std::string>{"main", "host", "slave x"}));
  for (const auto& p : answered) EXPECT_TRUE(fs::exists(p)) << p;
  std::ifstream index(answered[0]);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(index), {}), "index");

  // A file that a running snapshot writes is refused to any other, under
  // any of its names, until that snapshot lets its files go.
  const auto alias = dir / "alias";
  fs::create_hard_link(answered[1], alias);
  bridge_file_factory other([&](const file_request&) { return alias; }, nullptr, &removals);
  EXPECT_THROW(other.create_stream(host_file{false}), file_in_use);
  EXPECT_THROW(other.create_file(host_file{false}), file_in_use);
  bridge_file_factory::release_files(&asked);
  EXPECT_NO_THROW(other.create_stream(host_file{false}));
  bridge_file_factory::release_files(&removals);
  fs::remove(alias);

  factory.remove_all();
  EXPECT_EQ(removals, 1);
  EXPECT_TRUE(fs::is_empty(dir.path()));
}

}  // namespace
