#include "tw/portable_executable/parser.h"

#include "tw/utility/byte_cursor.h"
#include "tests/support/command.h"
#include "tests/support/scratch_folder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>

namespace {

using namespace tw;

struct reported_module {
  std::string path, mvid;
  std::size_t debug_entries;
  std::string codeview_guid, codeview_age;
  bool ready_to_run;
};

// What the runtime and System.Reflection.Metadata report for the framework's
// own assemblies.
std::vector<reported_module> reported_by_the_runtime() {
  const auto out = test_support::run_command("dotnet " + test_support::quoted(TW_MODULE_INFO_DLL)).out;
  std::vector<reported_module> modules;
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream f(line);
    reported_module m;
    std::string count, r2r;
    if (!std::getline(f, m.path, '\t') || !std::getline(f, m.mvid, '\t') || !std::getline(f, count, '\t') ||
        !std::getline(f, m.codeview_guid, '\t') || !std::getline(f, m.codeview_age, '\t') || !std::getline(f, r2r))
      ADD_FAILURE() << "unexpected line from the .NET helper: " << line;
    m.debug_entries = std::stoul(count);
    m.ready_to_run = r2r == "True";
    modules.push_back(m);
  }
  return modules;
}

TEST(portable_executable, mvids_and_debug_directories_match_what_the_runtime_reports) {
  const auto modules = reported_by_the_runtime();
  ASSERT_GE(modules.size(), 11u);
  int ready_to_run = 0;
  for (const auto& m : modules) {
    SCOPED_TRACE(m.path);
    const auto data = tw_prof::get_image_data(m.path);
    EXPECT_EQ(data.mvid.to_string(), m.mvid);
    EXPECT_EQ(data.debug_entries.size(), m.debug_entries);
    EXPECT_EQ(std::string(data.metadata.begin(), data.metadata.begin() + 4), "BSJB");
    const auto codeview = std::find_if(data.debug_entries.begin(), data.debug_entries.end(),
                                       [](const debug_directory_entry& e) { return e.type == 2; });
    ASSERT_NE(codeview, data.debug_entries.end());
    ASSERT_GE(codeview->data.size(), 24u);
    EXPECT_EQ(std::string(codeview->data.begin(), codeview->data.begin() + 4), "RSDS");
    tw::byte_cursor c(codeview->data.data() + 4, codeview->data.data() + codeview->data.size(), "codeview entry");
    const auto guid = c.guid(tw::guid_byte_order::windows);
    const auto age = c.read<std::uint32_t>();
    EXPECT_EQ(guid.to_string(), m.codeview_guid);
    EXPECT_EQ(std::to_string(age), m.codeview_age);
    ready_to_run += m.ready_to_run;
  }
  EXPECT_GE(ready_to_run, 5);
}

class damaged_image : public testing::Test {
 protected:
  void SetUp() override {
    // A real assembly to damage, one field at a time.
    for (const auto& m : reported_by_the_runtime())
      if (m.path.find("System.Runtime.dll") != std::string::npos) {
        const auto text = test_support::file_text(m.path);
        image_.assign(text.begin(), text.end());
      }
    ASSERT_GT(image_.size(), 4096u);
    std::memcpy(&nt_, image_.data() + 0x3C, 4);
  }
  template <class T>
  void put(std::size_t at, T v) {
    std::memcpy(image_.data() + at, &v, sizeof v);
  }
  template <class T>
  T get(std::size_t at) const {
    T v;
    std::memcpy(&v, image_.data() + at, sizeof v);
    return v;
  }
  std::string error() const {
    try {
      portable_executable pe(image_, read_mode::file, "test.dll");
      extract_mvid(pe.metadata());
    } catch (const std::exception& e) {
      return e.what();
    }
    return "no error";
  }
  // The data directories: after 96 bytes of a PE32 optional header, 112 of
  // a PE32+ one.
  std::size_t directories() const {
    const std::size_t optional = nt_ + 24;
    return optional + (get<std::uint16_t>(optional) == 0x20B ? 112 : 96);
  }
  // File offset of the CLI header.
  std::size_t cor_header() const {
    const std::size_t optional = nt_ + 24;
    const auto rva = get<std::uint32_t>(directories() + 8 * 14);
    const auto sections = get<std::uint16_t>(nt_ + 6);
    const std::size_t table = optional + get<std::uint16_t>(nt_ + 20);
    for (std::size_t i = 0; i < sections; ++i) {
      const auto va = get<std::uint32_t>(table + 40 * i + 12), size = get<std::uint32_t>(table + 40 * i + 8);
      if (rva >= va && rva < va + size) return rva - va + get<std::uint32_t>(table + 40 * i + 20);
    }
    return 0;
  }
  std::vector<std::uint8_t> image_;
  std::uint32_t nt_ = 0;
};

TEST_F(damaged_image, the_undamaged_image_reads) { EXPECT_EQ(error(), "no error"); }

TEST_F(damaged_image, each_damage_fails_with_its_message) {
  const auto original = image_;
  struct row {
    const char* message;
    std::function<void()> damage;
  };
  const std::size_t optional = nt_ + 24;
  const std::vector<row> rows = {
      {"Invalid DOS header signature", [&] { put<std::uint16_t>(0, 0x1234); }},
      {"Unexpected DOS header signature", [&] { put<std::uint16_t>(0, 0x454E); }},
      {"Invalid NT header signature", [&] { put<std::uint32_t>(nt_, 0x4550FFFF); }},
      {"Invalid option header size", [&] { put<std::uint16_t>(nt_ + 20, 1); }},
      {"Invalid 64-bit option header size", [&] {
         put<std::uint16_t>(optional, 0x20B);
         put<std::uint16_t>(nt_ + 20, 239);
       }},
      {"Invalid 32-bit option header size", [&] {
         put<std::uint16_t>(optional, 0x10B);
         put<std::uint16_t>(nt_ + 20, 223);
       }},
      {"Invalid ROM option header size", [&] {
         put<std::uint16_t>(optional, 0x107);
         put<std::uint16_t>(nt_ + 20, 55);
       }},
      {"Invalid optional header signature", [&] { put<std::uint16_t>(optional, 0x30B); }},
      {"Invalid cor image directory", [&] { put<std::uint32_t>(directories() + 8 * 14 + 4, 0); }},
      {"Can't get cor image directory virtual address", [&] { put<std::uint32_t>(directories() + 8 * 14, 0x7FFFFFF0); }},
      {"Invalid cor header size, version 2.0 expected", [&] { put<std::uint32_t>(cor_header(), 80); }},
      {"Too small metadata size", [&] { put<std::uint32_t>(cor_header() + 12, 19); }},
      {"Invalid metadata image directory ", [&] { put<std::uint32_t>(cor_header() + 8, 0); }},
      {"Invalid metadata signature", [&] {
         // The metadata root's signature, wherever the CLI header says it is.
         portable_executable pe(original, read_mode::file, "x");
         const auto md = std::search(image_.begin(), image_.end(), pe.metadata().begin(), pe.metadata().begin() + 64);
         image_[static_cast<std::size_t>(md - image_.begin())] = 'X';
       }},
      {"The image is truncated", [&] { image_.resize(nt_ + 10); }},
  };
  for (const auto& r : rows) {
    image_ = original;
    r.damage();
    const auto message = error();
    EXPECT_EQ(message.rfind(r.message, 0), 0u) << "expected " << r.message << ", got " << message;
  }
}

TEST(portable_executable, a_file_that_cannot_be_read_is_an_error) {
  EXPECT_THROW(tw_prof::get_image_data("/no/such/module.dll"), std::runtime_error);
  EXPECT_THROW(tw_prof::get_image_data("/etc/os-release"), std::runtime_error);
  // A trace may name anything: a device must not be read forever.
  EXPECT_THROW(tw_prof::get_image_data("/dev/zero"), std::runtime_error);
  EXPECT_THROW(tw_prof::get_image_data("/tmp"), std::runtime_error);
}

}  // namespace
