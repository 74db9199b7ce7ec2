#include "event_pipe_api/src/nettrace/stream_source.h"

#include "tests/support/scratch_folder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using tarnwell::nettrace::file_source;

class file_source_test : public testing::Test {
 protected:
  fs::path write(const std::string& name, const std::vector<std::uint8_t>& bytes) {
    const auto path = dir_ / name;
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    return path;
  }

  const test_support::scratch_folder scratch_;
  const fs::path dir_ = scratch_.path();
};

std::vector<std::uint8_t> pattern(std::size_t size) {
  std::vector<std::uint8_t> bytes(size);
  std::uint32_t x = 12345;
  for (auto& b : bytes) b = static_cast<std::uint8_t>((x = x * 1103515245 + 12345) >> 16);
  return bytes;
}

// The message of a read of `count` bytes that fails at the end.
std::string eof_message(file_source& source, std::size_t count) {
  std::vector<std::uint8_t> into(count);
  try {
    source.read_exact(into.data(), count);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "no error";
}

TEST_F(file_source_test, reads_of_any_size_across_many_read_ahead_chunks_return_the_file_exactly) {
  // Several times what is read ahead, and not a multiple of anything.
  const auto bytes = pattern((17 << 20) + 3);
  file_source source(write("big", bytes));
  EXPECT_EQ(source.size(), bytes.size());
  std::vector<std::uint8_t> back(bytes.size());
  std::size_t at = 0;
  for (std::size_t step = 1; at < bytes.size(); step = step * 7 % 1'000'003 + 1) {
    const std::size_t n = std::min(step, bytes.size() - at);
    source.read_exact(back.data() + at, n);
    at += n;
  }
  EXPECT_EQ(back, bytes);
  // The end, then one byte more.
  std::uint8_t extra[4];
  source.read_exact(extra, 0);
  EXPECT_EQ(eof_message(source, 1), "Unexpected EOF: 0 bytes were read while 1 were expected");
}

TEST_F(file_source_test, a_read_that_runs_past_the_end_says_how_much_there_was) {
  const auto bytes = pattern(10);
  file_source source(write("short", bytes));
  std::uint8_t back[16];
  source.read_exact(back, 4);
  EXPECT_EQ(eof_message(source, 16), "Unexpected EOF: 6 bytes were read while 16 were expected");
  EXPECT_THROW(file_source(dir_ / "missing"), std::runtime_error);
}

TEST_F(file_source_test, a_pipe_is_read_as_it_is_written_and_has_no_size) {
  const auto fifo = dir_ / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const auto bytes = pattern(3 << 20);
  std::thread writer([&] {
    std::ofstream out(fifo, std::ios::binary);
    // In pieces with pauses, so that reads come back short.
    for (std::size_t at = 0; at < bytes.size(); at += 1 << 20) {
      out.write(reinterpret_cast<const char*>(bytes.data() + at), 1 << 20);
      out.flush();
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  file_source source(fifo);
  EXPECT_EQ(source.size(), 0u);
  std::vector<std::uint8_t> back(bytes.size());
  source.read_exact(back.data(), back.size());
  writer.join();
  EXPECT_EQ(back, bytes);
  std::uint8_t one;
  EXPECT_THROW(source.read_exact(&one, 1), std::runtime_error);
}

}  // namespace
