// The precompiled methods of the framework images installed on this machine.

#include "tw/portable_executable/ready_to_run.h"
#include "tests/support/command.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <tuple>

namespace {

namespace fs = std::filesystem;

// The shared framework's folder of the newest runtime `dotnet` lists.
fs::path framework_folder() {
  std::istringstream lines(test_support::run_command("dotnet --list-runtimes").out);
  fs::path found;
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("Microsoft.NETCore.App ", 0) != 0) continue;
    const auto version = line.substr(22, line.find(' ', 22) - 22);
    const auto open = line.find('['), close = line.find(']');
    found = fs::path(line.substr(open + 1, close - open - 1)) / version;
  }
  return found;
}

std::vector<tw::ready_to_run_method> methods_of(const fs::path& file) {
  const tw::portable_executable pe(tw::read_module_file(file.string()), tw::read_mode::file, file.string());
  return tw::read_ready_to_run_methods(pe);
}

TEST(ready_to_run, the_core_library_lists_its_methods_and_instantiations_by_address_with_their_names) {
  const auto folder = framework_folder();
  ASSERT_FALSE(folder.empty()) << "no .NET runtime listed";
  const auto methods = methods_of(folder / "System.Private.CoreLib.dll");
  ASSERT_GT(methods.size(), 30000u);
  std::set<std::tuple<std::string, std::string, std::string>> names;
  for (std::size_t i = 0; i < methods.size(); ++i) {
    const auto& m = methods[i];
    EXPECT_LT(m.begin_rva, m.end_rva) << m.name;
    if (i > 0) {
      EXPECT_LE(methods[i - 1].end_rva, m.begin_rva) << "overlap at " << m.name;
    }
    EXPECT_EQ(m.token >> 24, 0x06u);
    EXPECT_FALSE(m.name.empty());
    names.emplace(m.type_namespace, m.type_name, m.name);
  }
  EXPECT_TRUE(names.count({"System.Threading", "Thread", "Join"}));
  EXPECT_TRUE(names.count({"System", "Version", "op_LessThan"}));
  // Generic methods compiled for given type arguments are there too.
  EXPECT_TRUE(names.count({"System.Collections.Generic", "EqualityComparer`1", "IndexOf"}));
  // A nested type is named after the type that encloses it.
  EXPECT_TRUE(std::any_of(names.begin(), names.end(), [](const auto& n) {
    return std::get<0>(n) == "System" && std::get<1>(n) == "RuntimeType+RuntimeTypeCache";
  }));
}

TEST(ready_to_run, an_image_without_native_code_has_no_methods_and_a_cut_one_fails_cleanly) {
  const auto folder = framework_folder();
  ASSERT_FALSE(folder.empty());
  // The workload is built as IL only.
  EXPECT_TRUE(methods_of(TW_WORKLOAD_DLL).empty());

  auto bytes = tw::read_module_file((folder / "System.Net.Sockets.dll").string());
  ASSERT_GT(bytes.size(), 4096u);
  bytes.resize(bytes.size() / 3);
  EXPECT_THROW(tw::read_ready_to_run_methods(tw::portable_executable(std::move(bytes), tw::read_mode::file, "cut")),
               std::runtime_error)
      << "a third of an image read";
}

}  // namespace
