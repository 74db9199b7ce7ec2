#include "api/path_file_factory.h"
#include "collector/src/collector/multifile_snapshot.h"
#include "collector/src/collector/snapshot.h"
#include "tests/event_pipe_api/nettrace/stream_writer.h"
#include "tests/support/scratch_folder.h"
#include "tools/snapshot_reader.h"

#include "tw/error/file_write_error.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using namespace tw_prof;
// An index of one section record: its signature, its format word (and
// version), the record, the end mark.
std::string index_of(std::uint32_t format, int version, std::uint16_t id, std::uint16_t record_version,
                     std::uint64_t length) {
  test_support::bytes b;
  b.put<std::uint16_t>(0x464D).put<std::uint32_t>(0x4D455444).put(format);
  if (version >= 0) b.put(static_cast<std::uint16_t>(version));
  b.put(id).put(record_version).put(length).put<std::uint16_t>(0).put<std::uint16_t>(0xFFFF);
  return {b.data.begin(), b.data.end()};
}

// The layout of real snapshots' indexes and files is checked by the golden
// snapshots of the committed recordings; these are the cases they never meet.
class snapshot_test : public testing::Test {
 protected:

  std::shared_ptr<multifile_snapshot> make(std::uint16_t version = 0) {
    return multifile_snapshot::create(std::make_unique<path_file_factory>(base().string()), snapshot_format_id,
                                      version);
  }
  fs::path base() const { return dir_ / "s.dtt"; }
  std::vector<fs::path> files() const {
    std::vector<fs::path> out;
    for (const auto& e : fs::directory_iterator(dir_)) out.push_back(e.path().filename());
    std::sort(out.begin(), out.end());
    return out;
  }
  const test_support::scratch_folder scratch_;
  const fs::path dir_ = scratch_.path();
};

TEST_F(snapshot_test, a_versioned_index_sets_bit_31_and_carries_the_version) {
  {
    auto s = make(3);
    sections_gen gen(s);
    *gen(stream_kind{}, 7, 1) << "abc";
  }
  EXPECT_EQ(test_support::file_text(base()), index_of(0x80000001, 3, 7, 1, 3));
}

TEST_F(snapshot_test, a_section_closed_not_reusable_keeps_its_file_for_good) {
  {
    auto s = make();
    auto first = s->create_section_impl<multifile_snapshot::stream_file>(1, 0, true);
    *first->file() << "a";
    first->close(false);
    auto second = s->create_section_impl<multifile_snapshot::stream_file>(2, 0, true);
    EXPECT_EQ(second->file_number(), 1u);
    auto unshared = s->create_section_impl<multifile_snapshot::stream_file>(3, 0, false);
    EXPECT_EQ(unshared->file_number(), 2u);
    second->close(true);
    unshared->close(true);
    auto third = s->create_section_impl<multifile_snapshot::stream_file>(4, 0, true);
    EXPECT_EQ(third->file_number(), 1u);
  }
  EXPECT_NO_THROW(tw::tools::snapshot_reader{base()});
}

// A write that failed earlier (a full disk, say) left the stream bad: its
// section does not close as if it were whole.
TEST_F(snapshot_test, a_section_whose_writes_failed_does_not_close_as_whole) {
  auto s = make();
  auto section = s->create_section_impl<multifile_snapshot::stream_file>(1, 0, true);
  *section->file() << "a";
  EXPECT_THROW(section->file()->setstate(std::ios::badbit), std::ios_base::failure);  // told when it fails
  EXPECT_THROW(section->close(false), tw::file_write_error);
}

TEST_F(snapshot_test, an_unclosed_section_keeps_length_zero) {
  std::unique_ptr<multifile_snapshot::section<multifile_snapshot::stream_file>> leaked;
  {
    auto s = make();
    leaked = s->create_section_impl<multifile_snapshot::stream_file>(5, 0, true);
    *leaked->file() << "data";
    s->close();
  }
  leaked.reset();
  EXPECT_EQ(test_support::file_text(base()), index_of(1, -1, 5, 0, 0));
}

TEST_F(snapshot_test, reset_removes_every_file_and_stops_once) {
  int stops = 0;
  {
    auto files = make();
    sections_gen gen(files);
    *gen(stream_kind{}, 0, 9) << "x";
    *gen(handle_kind{}, 2160, 16);
    mono::snapshot snap([&] { ++stops; }, files);
    files.reset();
    snap.reset();
    snap.reset();
    snap.save();
  }
  EXPECT_EQ(stops, 1);
  EXPECT_TRUE(files().empty());
}

TEST_F(snapshot_test, save_with_progress_reports_the_end_and_writes_the_index) {
  int stops = 0;
  std::vector<std::pair<unsigned, unsigned>> reports;
  {
    auto files = make();
    *sections_gen(files)(stream_kind{}, 0, 9) << "x";
    mono::snapshot snap([&] { ++stops; }, files);
    files.reset();
    progress_handler_impl handler([&](unsigned d, unsigned t) {
      reports.emplace_back(d, t);
      return true;
    });
    snap.save_with_progress(handler);
    EXPECT_TRUE(snap.is_started());
  }
  EXPECT_EQ(stops, 1);
  ASSERT_FALSE(reports.empty());
  EXPECT_EQ(reports.back().first, reports.back().second);
  for (std::size_t i = 0; i + 1 < reports.size(); ++i) EXPECT_EQ(reports[i].second, reports[i].first + 100);
  EXPECT_EQ(tw::tools::snapshot_reader(base()).sections().size(), 1u);
}

TEST_F(snapshot_test, factory_errors_leave_the_constructor) {
  EXPECT_THROW(multifile_snapshot::create(std::make_unique<path_file_factory>((dir_ / "no" / "s").string()),
                                          snapshot_format_id, 0),
               std::runtime_error);
}

TEST_F(snapshot_test, the_reader_refuses_damaged_snapshots) {
  {
    auto s = make();
    *sections_gen(s)(stream_kind{}, 0, 9) << "abc";
  }
  std::ofstream(base().string() + ".0000", std::ios::app) << "extra";
  EXPECT_THROW(tw::tools::snapshot_reader{base()}, std::runtime_error);
  std::ofstream(base(), std::ios::trunc) << "MF";
  EXPECT_THROW(tw::tools::snapshot_reader{base()}, std::runtime_error);
}

}  // namespace
