#include "api/path_file_factory.h"
#include "collector/src/collector/metadata_writers.h"
#include "tests/support/scratch_folder.h"
#include "tw/utility/utf.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

namespace fs = std::filesystem;
using namespace tarnwell;
using namespace tarnwell::etw_collector;
using namespace tarnwell::etw_collector::callstacks;

// A module image kept beside the recordings.
const std::string image_path = (fs::path(TW_SOURCE_DIR) / "tests" / "data" / "modules" / "Workload.dll").string();

std::u16string u16(const std::string& s) { return kv521::utf::utf8_to_utf16(s); }

// The records these writers make are checked byte for byte by the golden
// snapshots of the committed recordings; here, the keys they hand out.
class metadata_test : public testing::Test {
 protected:
  std::string base() const { return (scratch_ / "s.dtt").string(); }
  const test_support::scratch_folder scratch_;
  std::shared_ptr<tw_prof::multifile_snapshot> files_ = tw_prof::multifile_snapshot::create(
      std::make_unique<tw_prof::path_file_factory>(base()), tw_prof::snapshot_format_id, 0);
};

TEST_F(metadata_test, modules_get_one_index_per_runtime_id_and_one_image_per_mvid) {
  {
    tw_prof::sections_gen gen(files_);
    auto header = std::make_shared<section_header>(gen);
    collector::shared_metadata_writer writer(gen, header, [] { return 0u; });
    managed_module m{0x7000, u16(image_path), u"", 10, 0x42, 9, {1, 2, 3}, {}};
    EXPECT_EQ(writer.module_loaded(m), 0x8000000000000000u);
    m.load_time = 20;
    EXPECT_EQ(writer.module_loaded(m), 0x8000000000000000u);  // same runtime id, same index
    managed_module copy{0x8000, u16(image_path), u"", 30, 0x43, 9, {}, {}};
    EXPECT_EQ(writer.module_loaded(copy), 0x8000000000000001u);  // same image, new module
    managed_module missing{0x9000, u"/no/such/module.dll", u"", 40, 0, 0, {}, {}};
    EXPECT_EQ(writer.module_loaded(missing), 0x8000000000000002u);  // recorded without image data
    EXPECT_EQ(writer.core_module_count(), 1u);
  }
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
    EXPECT_EQ(net.resolve(0x10A0, 200), second_key | (0x20ull << 29));  // the first node made after it
    EXPECT_EQ(net.resolve(0x1010, 250), 0x1010u);  // only the old method covered it: nothing current
    EXPECT_EQ(net.resolve(0x5000, 10), 0x5000u);   // no method there
  }
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
}

}  // namespace
