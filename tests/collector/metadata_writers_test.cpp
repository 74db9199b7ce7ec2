#include "api/path_file_factory.h"
#include "collector/src/collector/metadata_writers.h"
#include "tools/snapshot_reader.h"
#include "tw/utility/utf.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <sstream>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using namespace tarnwell;
using namespace tarnwell::etw_collector;
using namespace tarnwell::etw_collector::callstacks;
using bytes = std::vector<std::uint8_t>;

std::string corelib_path() {
  // The runtime that runs the tests' .NET helpers is the one on this machine.
  for (const auto& dir : fs::directory_iterator("/usr/share/dotnet/shared/Microsoft.NETCore.App"))
    if (fs::exists(dir.path() / "System.Private.CoreLib.dll")) return (dir.path() / "System.Private.CoreLib.dll").string();
  return {};
}

std::u16string u16(const std::string& s) { return kv521::utf::utf8_to_utf16(s); }

template <class T>
T read_at(const bytes& b, std::size_t at) {
  T v;
  std::memcpy(&v, b.data() + at, sizeof v);
  return v;
}

class metadata_test : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("meta_" + std::to_string(::getpid()) + testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    files_ = tw_prof::multifile_snapshot::create(std::make_unique<tw_prof::path_file_factory>(base()),
                                                 tw_prof::snapshot_format_id, 0);
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string base() const { return (dir_ / "s.dtt").string(); }
  fs::path dir_;
  std::shared_ptr<tw_prof::multifile_snapshot> files_;
};

TEST_F(metadata_test, modules_get_one_index_per_runtime_id_and_one_image_per_mvid) {
  const auto corelib = corelib_path();
  ASSERT_FALSE(corelib.empty());
  {
    tw_prof::sections_gen gen(files_);
    auto header = std::make_shared<section_header>(gen);
    collector::shared_metadata_writer writer(gen, header, [] { return 0u; });
    managed_module m{0x7000, u16(corelib), u"", 10, 0x42, 9, {1, 2, 3}};
    EXPECT_EQ(writer.module_loaded(m), 0x8000000000000000u);
    m.load_time = 20;
    EXPECT_EQ(writer.module_loaded(m), 0x8000000000000000u);  // same runtime id, same index
    managed_module copy{0x8000, u16(corelib), u"", 30, 0x43, 9, {}};
    EXPECT_EQ(writer.module_loaded(copy), 0x8000000000000001u);  // same image, new module
    managed_module missing{0x9000, u"/no/such/module.dll", u"", 40, 0, 0, {}};
    EXPECT_EQ(writer.module_loaded(missing), 0x8000000000000002u);  // recorded without image data
    EXPECT_EQ(writer.core_module_count(), 1u);
  }
  files_.reset();
  const tw::tools::snapshot_reader reader(base());

  // unordered_managed_module: index, runtime id, offset of the module_data record.
  const auto modules = reader.read(2149);
  ASSERT_EQ(modules.size(), 4u * 20);
  EXPECT_EQ(read_at<std::uint32_t>(modules, 0), 0u);
  EXPECT_EQ(read_at<std::uint32_t>(modules, 20), 0u);
  EXPECT_EQ(read_at<std::uint64_t>(modules, 4), 0x7000u);
  EXPECT_EQ(read_at<std::uint64_t>(modules, 12), 0u);
  const auto second_offset = read_at<std::uint64_t>(modules, 32);
  EXPECT_GT(second_offset, 0u);
  EXPECT_EQ(read_at<std::uint32_t>(modules, 40), 1u);

  // module_data: path length with zero, path, second name, u64, u32, byte array.
  const auto data = reader.read(2145);
  const auto path_bytes = read_at<std::uint32_t>(data, 0);
  EXPECT_EQ(path_bytes, (corelib.size() + 1) * 2);
  const std::size_t after_path = 4 + path_bytes;
  EXPECT_EQ(read_at<std::uint32_t>(data, after_path), 2u);  // empty second name: its zero alone
  EXPECT_EQ(read_at<std::uint64_t>(data, after_path + 6), 0x42u);
  EXPECT_EQ(read_at<std::uint32_t>(data, after_path + 14), 9u);
  EXPECT_EQ(read_at<std::uint32_t>(data, after_path + 18), 3u);
  EXPECT_EQ(data[after_path + 22], 1);
  EXPECT_EQ(second_offset, after_path + 25);

  // Section 256: one image record for the one MVID.
  const auto images = reader.read(256);
  EXPECT_EQ(read_at<std::uint32_t>(images, 0), 1u);
  EXPECT_EQ(read_at<std::uint32_t>(images, 4), 1u);  // core module index
  const auto md_length = read_at<std::uint32_t>(images, 8);
  EXPECT_EQ(std::string(images.begin() + 12, images.begin() + 16), "BSJB");
  const auto debug_count = read_at<std::uint32_t>(images, 12 + md_length);
  EXPECT_GE(debug_count, 1u);

  // Section 272: format byte, count, then index, 1, compressed length, UTF-8 path.
  const auto paths = reader.read(272);
  EXPECT_EQ(paths[0], 4);
  EXPECT_EQ(read_at<std::uint32_t>(paths, 1), 1u);
  EXPECT_EQ(read_at<std::uint32_t>(paths, 5), 1u);
  EXPECT_EQ(read_at<std::uint16_t>(paths, 9), 1u);
  ASSERT_LT(corelib.size(), 128u);
  EXPECT_EQ(paths[11], corelib.size());
  EXPECT_EQ(std::string(paths.begin() + 12, paths.end()), corelib);
}

TEST_F(metadata_test, methods_resolve_by_range_and_by_the_watermark_of_reused_code) {
  std::uint32_t tree_end = 100;
  {
    tw_prof::sections_gen gen(files_);
    auto header = std::make_shared<section_header>(gen);
    loader_net net(gen, header, [&] { return tree_end; });
    managed_method first{1, 0x7000, 0x1000, 0x100, 0x06000001, 0, u"N", u"First", u"void ()"};
    const auto first_key = net.function_loaded(first);
    EXPECT_EQ(first_key, 0x4000000000000000u);
    EXPECT_EQ(net.function_loaded(first), 0u);  // the same method at the same address again
    // A node created before the code is reused resolves to the first method...
    EXPECT_EQ(net.resolve(0x1010, 50), first_key | (0x10ull << 29));
    tree_end = 200;
    managed_method second{2, 0x7000, 0x1080, 0x100, 0x06000002, 0, u"N", u"Second", u"void ()"};
    const auto second_key = net.function_loaded(second);
    EXPECT_EQ(second_key, 0x4000000000000001u);
    EXPECT_EQ(net.resolve(0x10A0, 150), first_key | (0xA0ull << 29));
    // ...and a node created after it, to the method that replaced it.
    EXPECT_EQ(net.resolve(0x10A0, 250), second_key | (0x20ull << 29));
    EXPECT_EQ(net.resolve(0x1010, 250), 0x1010u);  // only the old method covered it: nothing current
    EXPECT_EQ(net.resolve(0x5000, 10), 0x5000u);   // no method there
  }
  files_.reset();
  const tw::tools::snapshot_reader reader(base());
  const auto functions = reader.read(2132);
  ASSERT_EQ(functions.size(), 2u * 20);
  EXPECT_EQ(read_at<std::uint32_t>(functions, 0), 0x06000001u);
  EXPECT_EQ(read_at<std::uint64_t>(functions, 12), 0u);
  const auto names = reader.read(2137);
  EXPECT_EQ(read_at<std::uint32_t>(names, 0), (2 + 6 + 8) * 2u);  // "N", "First", "void ()" with zeros
  EXPECT_EQ(read_at<std::uint64_t>(functions, 32), 4u + 32);
}

TEST_F(metadata_test, frame_addresses_get_one_key_each) {
  {
    tw_prof::sections_gen gen(files_);
    auto header = std::make_shared<section_header>(gen);
    loader_frame_address frames(gen, header);
    EXPECT_EQ(frames.frame_address_loaded(0x7fff0000), 0xA000000000000000u);
    EXPECT_EQ(frames.frame_address_loaded(0x7fff0010), 0xA000000000000001u);
    EXPECT_EQ(frames.frame_address_loaded(0x7fff0000), 0xA000000000000000u);
  }
  files_.reset();
  const auto section = tw::tools::snapshot_reader(base()).read(2136);
  ASSERT_EQ(section.size(), 16u);
  EXPECT_EQ(read_at<std::uint64_t>(section, 8), 0x7fff0010u);
}

}  // namespace
