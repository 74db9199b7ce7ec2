// The command-line tool as a user runs it.

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/wait.h>

namespace {

struct run_result {
  int exit_code;
  std::string out;
};

run_result run(const std::string& args) {
  const std::string command = std::string(TW_EPTL_PATH) + " " + args + " 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  std::string out;
  char buffer[4096];
  while (std::fgets(buffer, sizeof buffer, pipe)) out += buffer;
  const int status = ::pclose(pipe);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

const std::string samples = std::string(TW_CORPUS_DIR) + "/only_managed_samples.nettrace";

TEST(eptl_stats, prints_the_header_and_counts_per_event) {
  const auto r = run("stats " + samples);
  EXPECT_EQ(r.exit_code, 0) << r.out;
  EXPECT_NE(r.out.find("QPCFrequency is 1000000000"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("events: 37603"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("id     0 v0        7423  ThreadSample_0_v0"), std::string::npos) << r.out;
}

TEST(eptl_stats, json_names_provider_id_version_and_count) {
  const auto r = run("stats --json " + samples);
  EXPECT_EQ(r.exit_code, 0) << r.out;
  EXPECT_EQ(r.out.front(), '{');
  EXPECT_NE(r.out.find("\"status\":1"), std::string::npos);
  EXPECT_NE(r.out.find("{\"provider\":\"Microsoft-DotNETCore-SampleProfiler\",\"id\":0,\"version\":0,\"count\":7423,"
                       "\"name\":\"ThreadSample_0_v0\",\"dispatched\":true}"),
            std::string::npos)
      << r.out;
}

TEST(eptl_stats, bad_input_gives_a_message_and_a_failing_exit_code) {
  const auto dir = std::filesystem::temp_directory_path() / ("eptl_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  std::ofstream(dir / "garbage.nettrace") << "this is not a trace at all, not even close";
  const auto garbage = run("stats " + (dir / "garbage.nettrace").string());
  EXPECT_EQ(garbage.exit_code, 1);
  EXPECT_NE(garbage.out.find("Invalid stream header received"), std::string::npos) << garbage.out;

  const auto missing = run("stats " + (dir / "missing.nettrace").string());
  EXPECT_EQ(missing.exit_code, 1);
  EXPECT_NE(missing.out.find("missing.nettrace"), std::string::npos) << missing.out;

  EXPECT_EQ(run("stats").exit_code, 2);
  EXPECT_EQ(run("frobnicate x").exit_code, 2);
  std::filesystem::remove_all(dir);
}

TEST(eptl_sections, prints_the_section_table_of_a_snapshot) {
  const auto dir = std::filesystem::temp_directory_path() / ("eptl_sections_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const auto base = dir / "s.dtt";
  // Index: "MF", format, one section (id 2121, version 19, 5 bytes, file 0), end.
  const unsigned char index[] = {'M', 'F', 0x44, 0x54, 0x45, 0x4D, 1, 0, 0, 0, 0x49, 0x08, 19, 0,
                                 5,   0,   0,    0,    0,    0,    0, 0, 0, 0, 0xFF, 0xFF};
  std::ofstream(base, std::ios::binary).write(reinterpret_cast<const char*>(index), sizeof index);
  std::ofstream(base.string() + ".0000", std::ios::binary) << "12345";
  const auto ok = run("sections " + base.string());
  EXPECT_EQ(ok.exit_code, 0) << ok.out;
  EXPECT_NE(ok.out.find("format 0x4d455444, 1 sections"), std::string::npos) << ok.out;
  EXPECT_NE(ok.out.find(" 2121       19             5  s.dtt.0000"), std::string::npos) << ok.out;

  std::ofstream(base.string() + ".0000", std::ios::binary) << "1234";
  const auto short_file = run("sections " + base.string());
  EXPECT_EQ(short_file.exit_code, 1);
  EXPECT_NE(short_file.out.find("holds 4 bytes, the index says 5"), std::string::npos) << short_file.out;
  std::filesystem::remove_all(dir);
}

}  // namespace
