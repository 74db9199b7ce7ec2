#include "tests/support/command.h"
#include "tests/support/scratch_folder.h"
#include "tw/system/linux/detail_proc_utils.h"
#include "tw/system/os_name.h"
#include "tw/system/proc_utils.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

using ::testing::ThrowsMessage;
using ::testing::StrEq;
using ::testing::StartsWith;

namespace {

namespace fs = std::filesystem;
using namespace tw;

// A real child process with a working directory, arguments and a named
// thread of our choosing.
class child_process {
 public:
  child_process(const fs::path& cwd, const std::vector<std::string>& args) {
    int pipe_fd[2];
    if (::pipe(pipe_fd) != 0) throw std::runtime_error("pipe");
    pid_ = test_support::spawn({args.begin(), args.end()}, {.out = pipe_fd[1], .cwd = cwd.c_str(), .program = TW_CHILD_PATH});
    ::close(pipe_fd[1]);
    out_ = ::fdopen(pipe_fd[0], "r");
    char line[64];
    // Both lines mean the child has named its thread.
    if (!std::fgets(line, sizeof line, out_) || !std::fgets(line, sizeof line, out_))
      throw std::runtime_error("child did not start");
  }
  ~child_process() {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    std::fclose(out_);
  }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_;
  FILE* out_;
};

class proc_utils_test : public testing::Test {
 protected:
  const test_support::scratch_folder scratch_;
  const fs::path& dir_ = scratch_.path();
};

TEST_F(proc_utils_test, reads_a_real_child_process) {
  const std::vector<std::string> args = {"named-child", "", "two words", "back\\slash", "say \"hi\"", "plain"};
  child_process child(dir_, args);
  EXPECT_EQ(fs::path(detail_proc_utils::get_working_dir(child.pid())), fs::canonical(dir_));
  EXPECT_EQ(fs::path(detail_proc_utils::get_process_filename(child.pid())), fs::canonical(TW_CHILD_PATH));
  EXPECT_EQ(detail_proc_utils::get_command_line(child.pid()), args);
  EXPECT_EQ(get_command_line(child.pid()),
            R"(named-child "" "two words" "back\\slash" "say \"hi\"" plain)");
  EXPECT_EQ(detail_proc_utils::get_user_id(child.pid()), ::geteuid());

  bool found = false;
  const auto tasks = "/proc/" + std::to_string(child.pid()) + "/task";
  for (const auto& t : fs::directory_iterator(tasks)) {
    const auto tid = static_cast<pid_t>(std::stoi(t.path().filename().string()));
    if (detail_proc_utils::get_native_thread_name(child.pid(), tid) == "tw-named\n") found = true;
  }
  EXPECT_TRUE(found);
  EXPECT_EQ(get_executable_architecture(detail_proc_utils::get_process_filename(child.pid())),
            architecture::x86_64);
}

TEST(proc_utils, a_missing_process_fails_with_clear_errors) {
  // Process ids wrap well below this value on Linux.
  const pid_t missing = 0x3FFFFFFF;
  EXPECT_THAT([&] { detail_proc_utils::get_working_dir(missing); },
              ThrowsMessage<std::system_error>(StartsWith("Can't get path from symlink")));
  EXPECT_THROW(detail_proc_utils::get_process_filename(missing), std::system_error);
  EXPECT_THROW(detail_proc_utils::get_user_id(missing), std::system_error);
  EXPECT_THROW(detail_proc_utils::get_command_line(missing), std::system_error);
  EXPECT_THROW(detail_proc_utils::get_native_thread_name(missing, missing), std::system_error);
}

TEST(concat_args, quotes_only_what_needs_it) {
  EXPECT_EQ(concat_args({"a", "b c", ""}), R"(a "b c" "")");
  EXPECT_EQ(concat_args({}), "");
  EXPECT_EQ(concat_args({"tab\there", "new\nline", "x"}), "\"tab\there\" \"new\nline\" x");
}

TEST(os_name, composes_from_os_release_and_uname) {
  const test_support::scratch_folder dir;
  std::ofstream(dir / "versioned") << "NAME=\"Distro\"\nVERSION=\"1.0\"\nID=distro\n";
  std::ofstream(dir / "pretty") << "PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\nNAME=\"Debian GNU/Linux\"\n";
  std::ofstream(dir / "bare") << "ID=x\n";
  EXPECT_EQ(compose_os_name({(dir / "versioned").string()}, "Linux", "5.15.0"), "Distro 1.0 5.15.0");
  EXPECT_EQ(compose_os_name({(dir / "missing").string(), (dir / "pretty").string()}, "Linux", "6.1.0"),
            "Debian GNU/Linux 12 (bookworm) 6.1.0");
  EXPECT_EQ(compose_os_name({(dir / "bare").string()}, "Linux", "6.1.0"), "Linux 6.1.0");
  EXPECT_EQ(compose_os_name({}, "Linux", "6.1.0"), "Linux 6.1.0");
  const auto real = get_os_name();
  EXPECT_NE(real.find(' '), std::string::npos) << real;
}

// A 64-byte ELF identification and header with the given fields.
std::vector<std::uint8_t> elf(std::uint8_t cls, std::uint8_t data, std::uint16_t type, std::uint16_t machine,
                              std::uint32_t flags, std::uint8_t version = 1, char magic = 'E') {
  std::vector<std::uint8_t> h(64, 0);
  h[0] = 0x7F;
  h[1] = static_cast<std::uint8_t>(magic);
  h[2] = 'L';
  h[3] = 'F';
  h[4] = cls;
  h[5] = data;
  h[6] = version;
  const bool big = data == 2;
  auto put16 = [&](std::size_t at, std::uint16_t v) {
    h[at + (big ? 0 : 1)] = static_cast<std::uint8_t>(v >> 8);
    h[at + (big ? 1 : 0)] = static_cast<std::uint8_t>(v);
  };
  auto put32 = [&](std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) h[at + (big ? 3 - i : i)] = static_cast<std::uint8_t>(v >> (8 * i));
  };
  put16(16, type);
  put16(18, machine);
  put32(cls == 1 ? 36 : 48, flags);
  return h;
}

TEST(elf, architectures_of_crafted_headers) {
  struct row {
    const char* name;
    std::vector<std::uint8_t> header;
    std::optional<architecture> arch;
    const char* error;
  };
  const std::vector<row> rows = {
      {"x86", elf(1, 1, 2, 3, 0), architecture::x86, nullptr},
      {"ARM hard-float", elf(1, 1, 3, 40, 0x05000400), architecture::arm, nullptr},
      {"ARM soft-float", elf(1, 1, 2, 40, 0x05000200), std::nullopt,
       "Unsupported architecture:\nElf class is ELFCLASS32\nEndianness is ELFDATA2LSB\nOS ABI is 0\nABI version is 0\n"
       "Elf type is 2\nElf machine is 40\nElf flags is 83886592"},
      {"x86-64", elf(2, 1, 3, 62, 0), architecture::x86_64, nullptr},
      {"ARM64", elf(2, 1, 2, 183, 0), architecture::arm64, nullptr},
      {"big-endian PowerPC", elf(2, 2, 2, 21, 0), std::nullopt, "Unsupported architecture:\nElf class is ELFCLASS64"},
      {"relocatable object", elf(2, 1, 1, 62, 0), std::nullopt, "File is not an executable ELF, ELF type is 1"},
      {"bad magic", elf(2, 1, 2, 62, 0, 1, 'X'), std::nullopt, "File has invalid ELF magic number: 0x7f584c46"},
      {"bad class", elf(3, 1, 2, 62, 0), std::nullopt, "Unexpected Elf class: 3"},
      {"bad byte order", elf(2, 3, 2, 62, 0), std::nullopt, "Unexpected endianness: 3"},
      {"bad version", elf(2, 1, 2, 62, 0, 2), std::nullopt, "Unexpected Elf version: 2"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    if (r.arch) {
      EXPECT_EQ(architecture_of(parse_elf_header(r.header.data(), r.header.size())), *r.arch);
    } else {
      EXPECT_THAT([&] { architecture_of(parse_elf_header(r.header.data(), r.header.size())); },
                  ThrowsMessage<std::runtime_error>(StartsWith(r.error)));
    }
  }
  auto big = elf(2, 2, 2, 21, 0x01020304);
  const auto info = parse_elf_header(big.data(), big.size());
  EXPECT_EQ(info.machine, 21);
  EXPECT_EQ(info.flags, 0x01020304u);
}

TEST(elf, real_binaries_of_this_machine) {
  EXPECT_EQ(get_executable_architecture("/bin/sh"), architecture::x86_64);
  EXPECT_EQ(get_executable_architecture(get_module_filename(reinterpret_cast<const void*>(&::printf))),
            architecture::x86_64);
  EXPECT_EQ(get_os_architecture(), architecture::x86_64);
  EXPECT_THROW(get_executable_architecture("/etc/os-release"), std::runtime_error);
  EXPECT_THROW(get_elf_info("/no/such/binary"), std::system_error);
}

}  // namespace
