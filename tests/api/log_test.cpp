#include "tw/log/log.h"
#include "tests/support/scratch_folder.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

namespace {

using namespace tw_prof::log;
namespace fs = std::filesystem;

// 2026-12-04T06:08:17.000042 UTC
std::chrono::system_clock::time_point fixed_clock() {
  return std::chrono::system_clock::time_point(std::chrono::microseconds(1796364497000042LL));
}

class log_line : public testing::Test {
 protected:
  void SetUp() override {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
  }
};

// A line begins with local time to the microsecond and the subsystem, and
// leaves the stream's format as it found it.
TEST_F(log_line, begins_with_local_time_microseconds_and_subsystem_and_restores_the_format) {
  std::ostringstream out;
  out << std::hex;
  logger l(out, default_mask, &fixed_clock);
  stream_guard(l, subsystem::info) << "Start processing Nettrace " << 42;
  out << 255;
  EXPECT_EQ(out.str(), "[2026-12-04T06-08-17.000042]: <info> Start processing Nettrace 42\nff");
}

// Every argument of a suppressed line is left unevaluated.
TEST(log_macro, formats_nothing_for_a_disabled_subsystem) {
  std::ostringstream out;
  logger::instance().reset(out, default_mask);
  int evaluated = 0;
  auto costly = [&] {
    ++evaluated;
    return "x";
  };
  TW_LOG(debug) << costly();
  EXPECT_EQ(evaluated, 0);
  EXPECT_EQ(out.str(), "");
  TW_LOG(info) << costly();
  EXPECT_EQ(evaluated, 1);
  EXPECT_NE(out.str().find("<info> x\n"), std::string::npos);
  logger::instance().reset(std::cout, 0);
}

TEST(log_macro, writes_nothing_before_initialisation) {
  EXPECT_EQ(logger::instance().mask(), 0u);
  int evaluated = 0;
  TW_LOG(error) << ++evaluated;
  TW_LOG(info) << ++evaluated;
  EXPECT_EQ(evaluated, 0);
}

TEST(log_macro, lines_of_concurrent_writers_never_interleave) {
  std::ostringstream out;
  logger::instance().reset(out, default_mask);
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t)
    writers.emplace_back([t] {
      for (int i = 0; i < 500; ++i) TW_LOG(info) << "writer " << t << " line " << i << " end";
    });
  for (auto& w : writers) w.join();
  logger::instance().reset(std::cout, 0);
  std::istringstream lines(out.str());
  std::string line;
  int count = 0;
  while (std::getline(lines, line)) {
    ++count;
    EXPECT_EQ(line.front(), '[');
    EXPECT_EQ(line.substr(line.size() - 4), " end");
    EXPECT_EQ(line.find('[', 1), std::string::npos) << line;
  }
  EXPECT_EQ(count, 2000);
}

TEST(log_file, path_names_source_time_and_pid) {
  const auto path = logger_build_path("Tarnwell.NettraceProcessing", "/var/logs");
  const std::string name = path.filename().string();
  EXPECT_EQ(path.parent_path(), fs::path("/var/logs"));
  const std::string prefix = "Tarnwell.NettraceProcessing.";
  ASSERT_EQ(name.rfind(prefix, 0), 0u) << name;
  const std::string stamp = name.substr(prefix.size(), 19);
  std::tm tm{};
  EXPECT_NE(strptime(stamp.c_str(), "%Y-%m-%dT%H-%M-%S", &tm), nullptr) << stamp;
  std::string suffix = ".";
  suffix += std::to_string(::getpid());
  suffix += ".log";
  EXPECT_EQ(name.substr(prefix.size() + 19), suffix);
}

TEST(log_file, second_initialisation_keeps_the_first_file_and_takes_the_new_mask) {
  const test_support::scratch_folder scratch;
  const auto& dir = scratch.path();
  logger_init_default("First", default_mask, dir / "nested" / "TarnLogs");
  TW_LOG(info) << "one";
  logger_init_default("Second", 1u << 3 | 1u, dir / "other");
  TW_LOG(debug) << "two";
  TW_LOG(warning) << "suppressed";

  std::vector<fs::path> files;
  for (const auto& entry : fs::recursive_directory_iterator(dir))
    if (entry.is_regular_file()) files.push_back(entry.path());
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0].filename().string().rfind("First.", 0), 0u);
  const auto text = test_support::file_text(files[0]);
  EXPECT_NE(text.find("<info> one\n"), std::string::npos) << text;
  EXPECT_NE(text.find("<debug> two\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("suppressed"), std::string::npos) << text;
  logger::instance().reset(std::cout, 0);
}

TEST(log_file, a_directory_that_cannot_be_created_is_reported) {
  const test_support::scratch_folder dir;
  std::ofstream(dir / "plain_file") << "x";
  EXPECT_THAT([&] { logger_init_default("X", default_mask, dir / "plain_file" / "TarnLogs"); },
              testing::ThrowsMessage<std::system_error>(testing::StartsWith("Unable to create log directory")));
}

}  // namespace
