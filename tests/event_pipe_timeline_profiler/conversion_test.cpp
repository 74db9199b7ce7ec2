// Recorded traces converted end to end through the converter's lifecycle,
// then read back from the snapshot files.

#include "api/collectors.h"
#include "collector/src/collector/streams/event_stream_writer.h"
#include "event_pipe_timeline_profiler/src/event_processors/event_processor.h"
#include "tools/snapshot_inspect.h"
#include "tools/snapshot_model.h"
#include "tools/snapshot_reader.h"
#include "tools/snapshot_streams.h"
#include "tools/trace_stats.h"
#include "tests/support/small_filesystem.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <tuple>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using namespace tarnwell::collector;
using section_kind = std::pair<std::uint16_t, std::uint16_t>;

std::vector<fs::path> recordings() {
  std::vector<fs::path> out;
  for (const auto& dir : {fs::path(TW_CORPUS_DIR), fs::path(TW_SOURCE_DIR) / "tests" / "data"})
    for (const auto& e : fs::directory_iterator(dir))
      if (e.path().extension() == ".nettrace") out.push_back(e.path());
  std::sort(out.begin(), out.end());
  return out;
}

// The progress calls of one conversion, and what to answer.
struct progress_script {
  std::vector<std::array<unsigned long, 3>> calls;
  int refuse_after = -1;         // refuse every call from this one on
  bool refuse_save = false;      // refuse the (90, 100, 0) decision
  bool refuse_saving = false;    // refuse the reports of the save, above 90 of 100
};
// The callback runs on the converter's threads: one script per test process.
progress_script* script = nullptr;

int progress(unsigned long current, unsigned long total, unsigned long finished) {
  script->calls.push_back({current, total, finished});
  if (script->refuse_save && current == 90 && total == 100 && finished == 0) return 0;
  if (script->refuse_saving && finished == 0 && current * 10 > total * 9) return 0;
  if (script->refuse_after >= 0 && static_cast<int>(script->calls.size()) > script->refuse_after) return 0;
  return 1;
}

class conversion : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("conv_" + std::to_string(::getpid()) + testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Converts; returns the error text, empty on success.
  std::string convert(const fs::path& in, const std::string& out, progress_script& s,
                      tw_prof::conversion_outcome* outcome = nullptr) {
    script = &s;
    try {
      void* holder = tw_prof::create_nettrace_collector(in.string(), out, "", &progress);
      tw_prof::release_nettrace_collector(holder, outcome);
    } catch (const std::exception& e) {
      return e.what();
    }
    return {};
  }
  std::size_t files_left() const {
    return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()));
  }
  fs::path dir_;
};

// What the timeline keeps of each event, written here from the snapshot's
// record kinds and independent of the library's own table: the stream,
// the record kind, and whether a call-stack record (kind 0x2000) follows.
enum stacks { none, always, when_recorded };
struct kept {
  std::uint16_t section;
  std::uint16_t kind;  // 0: only the call-stack record
  stacks stack;
};
using event_id = std::tuple<std::string, int, int>;  // provider, id, version

const std::map<event_id, kept>& expected_kinds() {
  const std::string rt(Microsoft_Windows_DotNETRuntime::name);
  const std::string tpl(System_Threading_Tasks_TplEventSource::name);
  const std::string sql(Microsoft_Data_SqlClient_EventSource::name);
  const std::string kestrel(Microsoft_AspNetCore_Server_Kestrel::name);
  const std::string sampler(Microsoft_DotNETCore_SampleProfiler::name);
  static const std::map<event_id, kept> table = {
      {{rt, 1, 1}, {2121, 1, always}},    {{rt, 1, 2}, {2121, 1, always}},      // GC start
      {{rt, 2, 0}, {2121, 2, when_recorded}},   {{rt, 2, 1}, {2121, 2, when_recorded}},     // GC end
      {{rt, 3, 1}, {2121, 3, when_recorded}},                                       // restart EE end
      {{rt, 4, 0}, {2121, 18, when_recorded}},  {{rt, 4, 1}, {2121, 19, when_recorded}},    // heap stats
      {{rt, 4, 2}, {2121, 20, when_recorded}},
      {{rt, 9, 0}, {2121, 4, when_recorded}},   {{rt, 9, 1}, {2121, 5, when_recorded}},     // suspend EE
      {{rt, 10, 0}, {2121, 6, always}},   {{rt, 10, 1}, {2121, 21, always}},    // allocation tick
      {{rt, 10, 2}, {2121, 22, always}},  {{rt, 10, 3}, {2121, 22, always}},    {{rt, 10, 4}, {2121, 22, always}},
      {{rt, 14, 1}, {2121, 8, when_recorded}},                                      // finalizers
      {{rt, 80, 1}, {2121, 9, always}},                                       // exception
      {{rt, 81, 1}, {2121, 10, always}},  {{rt, 81, 2}, {2121, 17, always}},    // contention start
      {{rt, 91, 0}, {2121, 12, when_recorded}}, {{rt, 91, 1}, {2121, 12, when_recorded}},   // contention stop
      {{rt, 143, 0}, {2121, 0, always}},  {{rt, 143, 1}, {2121, 0, always}},    // method load: stack only
      {{rt, 143, 2}, {2121, 0, always}},
      {{rt, 145, 0}, {2121, 14, always}}, {{rt, 145, 1}, {2121, 14, always}},   // JIT started
      {{rt, 190, 0}, {2121, 15, when_recorded}}, {{rt, 190, 1}, {2121, 16, when_recorded}}, // IL to native map
      {{rt, 240, 0}, {2121, 23, when_recorded}}, {{rt, 241, 0}, {2121, 24, when_recorded}}, // debugger IPC
      {{sampler, 0, 0}, {2177, 4, always}},
      {{tpl, 7, 1}, {2120, 7, when_recorded}},  {{tpl, 10, 3}, {2120, 2, when_recorded}},   {{tpl, 14, 1}, {2120, 3, when_recorded}},
      {{tpl, 15, 1}, {2120, 4, when_recorded}}, {{tpl, 17, 1}, {2120, 5, when_recorded}},   {{tpl, 18, 1}, {2120, 6, when_recorded}},
      {{sql, 3, 0}, {2054, 1, when_recorded}},  {{sql, 4, 0}, {2054, 2, when_recorded}},    {{sql, 5, 0}, {2054, 3, when_recorded}},
      {{sql, 9, 0}, {2054, 4, when_recorded}},  {{sql, 17, 0}, {2054, 5, when_recorded}},
      {{kestrel, 1, 0}, {2055, 1, when_recorded}}, {{kestrel, 2, 0}, {2055, 2, when_recorded}},
      {{kestrel, 3, 0}, {2055, 3, when_recorded}}, {{kestrel, 4, 0}, {2055, 4, when_recorded}},
  };
  return table;
}

// Records per (section, kind) that a recording's decoded events must give.
std::map<section_kind, std::uint64_t> expected_records(const tw::tools::trace_stats& stats,
                                                       std::uint64_t& module_loads) {
  std::map<section_kind, std::uint64_t> out;
  module_loads = 0;
  for (const auto& [id, c] : stats.counts) {
    if (!c.dispatched) continue;
    const auto& [provider, event_id, version] = id;
    if ((provider == Microsoft_Windows_DotNETRuntime::name && event_id == 152) ||
        (provider == Microsoft_Windows_DotNETRuntimeRundown::name && event_id == 154))
      module_loads += c.count;
    const auto it = expected_kinds().find({provider, event_id, version});
    if (it == expected_kinds().end()) continue;
    const kept k = it->second;
    if (k.kind) out[{k.section, k.kind}] += c.count;
    if (k.stack == always) out[{k.section, 0x2000}] += c.count;
    if (k.stack == when_recorded && c.with_stack) out[{k.section, 0x2000}] += c.with_stack;
  }
  return out;
}

TEST_F(conversion, every_recording_converts_into_the_records_its_events_map_to) {
  for (const auto& in : recordings()) {
    SCOPED_TRACE(in.filename().string());
    const auto out = (dir_ / (in.stem().string() + ".dtt")).string();
    progress_script s;
    ASSERT_EQ(convert(in, out, s), "");
    // Conversion 0..90, the save decision, saving 90..100, then the end.
    ASSERT_GE(s.calls.size(), 3u);
    EXPECT_EQ(s.calls.back(), (std::array<unsigned long, 3>{100, 100, 1}));
    EXPECT_NE(std::find(s.calls.begin(), s.calls.end(), std::array<unsigned long, 3>{90, 100, 0}), s.calls.end());

    const tw::tools::snapshot_reader reader(out);  // checks every file's length
    const auto stats = tw::tools::collect_trace_stats(in.string());
    std::uint64_t module_loads = 0;
    const auto expected = expected_records(stats, module_loads);

    std::map<section_kind, std::uint64_t> written;
    bool expect_stack = false;
    std::uint64_t orphan_samples = 0;
    for (std::uint16_t id : {2121, 2120, 2054, 2055, 2177}) {
      tw::tools::for_each_record(id, reader.read(id), 8, [&](const tw::tools::stream_record& r) {
        if (id == 2177 && r.kind == 1) return;  // thread starts: checked below
        ++written[{id, r.kind}];
        if (id == 2177) {
          if (expect_stack && r.kind != 0x2000) ++orphan_samples;
          expect_stack = r.kind == 4;
        }
      });
    }
    if (expect_stack) ++orphan_samples;
    EXPECT_EQ(written, expected);
    EXPECT_EQ(orphan_samples, 0u) << "a sample without its call-stack record";

    // The stacks of Kestrel, SqlClient and task records name managed code:
    // the framework's or the program's own. A recording names precompiled
    // framework code only where an event announced it: a few stacks lie
    // wholly in code it never names (a live snapshot finds that code in the
    // images themselves, and names every stack).
    for (const auto& [id, counts] : tw::tools::inspect_snapshot(out).stacks_naming_a_method) {
      const auto [stacks, named] = counts;
      if (id == 2121) continue;
      EXPECT_GE(named * 100, stacks * 97) << named << " of the " << stacks << " stacks of section " << id
                                          << " name a method";
    }

    // module_data holds one record per module load, runtime and rundown alike.
    const auto toc = reader.read(2147);
    std::uint32_t items;
    std::memcpy(&items, toc.data(), 4);
    std::uint32_t module_records = 0;
    for (std::uint32_t i = 0; i < items; ++i) {
      std::uint16_t section;
      std::memcpy(&section, toc.data() + 4 + 14 * i, 2);
      if (section == 2145) std::memcpy(&module_records, toc.data() + 4 + 14 * i + 2, 4);
    }
    EXPECT_EQ(module_records, module_loads);
  }
}

TEST_F(conversion, the_hot_method_of_a_cpu_bound_recording_tops_the_profile) {
  const auto out = (dir_ / "cpu.dtt").string();
  progress_script s;
  ASSERT_EQ(convert(fs::path(TW_SOURCE_DIR) / "tests" / "data" / "net10-cpu.nettrace", out, s), "");
  const auto summary = tw::tools::inspect_snapshot(out);
  ASSERT_FALSE(summary.methods.empty());
  EXPECT_EQ(summary.methods.front().name, "HotLoop.SpinPrimes");
  ASSERT_GT(summary.samples_with_stack, 500u);
  EXPECT_GE(static_cast<double>(summary.samples_resolved_managed) / static_cast<double>(summary.samples_with_stack),
            0.95);
  EXPECT_NE(summary.command_line.find("Workload.dll cpu"), std::string::npos);
  EXPECT_GT(summary.threads, 0u);
  // No collection ran: every suspension was the sampler's.
  EXPECT_EQ(summary.gc_suspensions, 0u);
  EXPECT_GT(summary.other_suspensions, 1000u);
  EXPECT_DOUBLE_EQ(summary.other_suspension_ms, summary.suspension_ms);
}

TEST_F(conversion, the_snapshot_describes_gcs_exceptions_and_requests) {
  const auto core = (dir_ / "core.dtt").string();
  progress_script s;
  ASSERT_EQ(convert(fs::path(TW_SOURCE_DIR) / "tests" / "data" / "net10-core.nettrace", core, s), "");
  const auto summary = tw::tools::inspect_snapshot(core);
  EXPECT_GE(summary.gc_count, 3u);
  // One suspension per collection and one to prepare one; the sampler's apart.
  EXPECT_EQ(summary.gc_suspensions, summary.gc_count + 1);
  EXPECT_GT(summary.other_suspensions, 100u);
  EXPECT_NEAR(summary.gc_suspension_ms + summary.other_suspension_ms, summary.suspension_ms, 1e-6);
  EXPECT_EQ(summary.exceptions, (std::map<std::string, std::uint64_t>{{"System.ArgumentException", 1},
                                                                      {"System.InvalidOperationException", 1},
                                                                      {"System.TimeoutException", 1}}));
  EXPECT_GT(summary.contentions, 0u);
  const auto kestrel = (dir_ / "kestrel.dtt").string();
  ASSERT_EQ(convert(fs::path(TW_SOURCE_DIR) / "tests" / "data" / "net10-kestrel.nettrace", kestrel, s), "");
  const auto requests = tw::tools::inspect_snapshot(kestrel);
  EXPECT_EQ(requests.kestrel_requests.size(), 3u);
  std::uint64_t met = 0;
  for (const auto& row : requests.kestrel_requests_by_caller) met += row.count;
  EXPECT_EQ(met, 3u);
  // The program's own method made its SqlClient calls, as their stacks say.
  const auto sql = (dir_ / "sql.dtt").string();
  ASSERT_EQ(convert(fs::path(TW_SOURCE_DIR) / "tests" / "data" / "net10-sql.nettrace", sql, s), "");
  const auto calls = tw::tools::inspect_snapshot(sql).sql_calls;
  EXPECT_TRUE(std::any_of(calls.begin(), calls.end(), [](const auto& c) {
    return c.what == "SqlConnection.InternalOpenAsync" && c.caller == "Program+<Sql>d__10.MoveNext";
  }));
}

TEST_F(conversion, bad_input_gives_an_error_and_leaves_no_file) {
  const auto out = (dir_ / "out" / "s.dtt");
  fs::create_directories(out.parent_path());
  std::ofstream(dir_ / "empty.nettrace");
  std::ofstream(dir_ / "garbage.nettrace") << std::string(5000, 'g');
  {
    // The header and a little more: nothing of it converts.
    std::ifstream in(fs::path(TW_SOURCE_DIR) / "tests" / "data" / "net10-core.nettrace", std::ios::binary);
    std::string bytes(200, '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    std::ofstream(dir_ / "headed.nettrace", std::ios::binary) << bytes;
  }
  struct row {
    const char* input;
    const char* message;
  };
  for (const auto& r : {row{"missing.nettrace", "Unable to open the nettrace file"},
                        row{"empty.nettrace", "Unexpected EOF"}, row{"garbage.nettrace", "Invalid stream header received"},
                        row{"headed.nettrace", "Unexpected EOF"}}) {
    progress_script s;
    const auto error = convert(dir_ / r.input, out.string(), s);
    EXPECT_NE(error.find(r.message), std::string::npos) << r.input << ": " << error;
    EXPECT_TRUE(fs::is_empty(out.parent_path())) << r.input << " left files behind";
  }
}

// A recording whose program or recorder died ends anywhere: what lies before
// the last whole object converts, and the conversion says where it ended.
TEST_F(conversion, a_recording_cut_short_converts_up_to_its_last_whole_object) {
  std::ifstream in(fs::path(TW_SOURCE_DIR) / "tests" / "data" / "net10-kestrel.nettrace", std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const auto cut_at = [&](std::size_t size) {
    const auto path = dir_ / ("cut" + std::to_string(size) + ".nettrace");
    std::ofstream(path, std::ios::binary) << bytes.substr(0, size);
    return path;
  };
  const auto total = tw::tools::collect_trace_stats(cut_at(bytes.size()).string()).events;
  // Inside an object first; then exactly where that conversion says the
  // whole objects end, and a little past it: all three keep the same.
  std::uint64_t boundary = 0, events = 0;
  for (const auto size : {bytes.size() * 6 / 10, std::size_t{0}, std::size_t{7}}) {
    const auto input = cut_at(size == bytes.size() * 6 / 10 ? size : boundary + size);
    SCOPED_TRACE(input.filename().string());
    const auto out = (dir_ / (input.stem().string() + ".dtt")).string();
    progress_script s;
    tw_prof::conversion_outcome outcome;
    ASSERT_EQ(convert(input, out, s, &outcome), "");
    EXPECT_EQ(s.calls.back(), (std::array<unsigned long, 3>{100, 100, 1}));
    EXPECT_TRUE(outcome.ended_early);
    EXPECT_NE(outcome.reason.find("Unexpected EOF"), std::string::npos) << outcome.reason;
    if (boundary == 0) {
      boundary = outcome.position;
      events = outcome.events;
      EXPECT_LT(boundary, bytes.size() * 6 / 10);
      EXPECT_GT(events, 0u);
      EXPECT_LT(events, total);
    }
    EXPECT_EQ(outcome.position, boundary);
    EXPECT_EQ(outcome.events, events);
    const auto summary = tw::tools::inspect_snapshot(out);
    EXPECT_GT(summary.samples, 0u);
  }
  // The whole recording says nothing of an early end.
  progress_script s;
  tw_prof::conversion_outcome outcome;
  ASSERT_EQ(convert(cut_at(bytes.size()), (dir_ / "whole.dtt").string(), s, &outcome), "");
  EXPECT_FALSE(outcome.ended_early);
}

// A full disk fails the conversion wherever it is met (at the start, while
// converting, while saving) with the snapshot's path and the system's reason,
// and leaves no file of the snapshot behind.
TEST_F(conversion, a_full_disk_fails_with_the_snapshots_path_and_leaves_nothing) {
  const auto in = fs::path(TW_SOURCE_DIR) / "tests" / "data" / "net10-kestrel.nettrace";
  progress_script whole;
  ASSERT_EQ(convert(in, (dir_ / "whole.dtt").string(), whole), "");
  std::uintmax_t needed = 0;
  for (const auto& e : fs::directory_iterator(dir_)) needed += e.file_size();
  enum class phase { start, converting, saving };
  // Where a conversion into `kib` KiB failed, or nothing when it did not.
  const auto fails_in = [&](std::size_t kib, std::string& error) -> std::optional<phase> {
    test_support::small_filesystem small(dir_ / "small", kib);
    if (!small.mounted()) return std::nullopt;
    progress_script s;
    const auto out = small.path() / "s.dtt";
    error = convert(in, out.string(), s);
    if (error.empty()) return std::nullopt;
    EXPECT_TRUE(small.empty()) << kib << " KiB: files were left";
    EXPECT_EQ(error, "Cannot write the snapshot " + out.string() + ": No space left on device") << kib << " KiB";
    if (s.calls.empty()) return phase::start;
    const bool decided = std::any_of(s.calls.begin(), s.calls.end(), [](const auto& c) {
      return c == std::array<unsigned long, 3>{90, 100, 0};
    });
    return decided ? phase::saving : phase::converting;
  };
  std::string error;
  if (!test_support::small_filesystem(dir_ / "probe", 64).mounted()) GTEST_SKIP() << "mounting a tmpfs needs root";
  // Less than the call tree's first view.
  EXPECT_EQ(fails_in(256, error), phase::start) << error;
  EXPECT_EQ(fails_in(static_cast<std::size_t>(needed / 2048), error), phase::converting) << error;
  // The save writes what the conversion only gathered: somewhat less room
  // than the whole snapshot and its call tree's reservation fails there.
  std::optional<phase> at_save;
  for (auto kib = static_cast<std::size_t>(needed / 1024) + 2048; kib > 0 && at_save != phase::saving; kib -= 128)
    at_save = fails_in(kib, error);
  EXPECT_EQ(at_save, phase::saving) << error;
}

TEST_F(conversion, an_output_path_that_cannot_be_written_is_refused) {
  const auto in = fs::path(TW_CORPUS_DIR) / "only_managed_samples.nettrace";
  for (const std::string& out : {dir_.string(), (dir_ / "no" / "such" / "dir" / "s.dtt").string(),
                                std::string("/proc/self/cannot/s.dtt")}) {
    progress_script s;
    const auto error = convert(in, out, s);
    EXPECT_NE(error.find("Fail to create file"), std::string::npos) << out << ": " << error;
  }
  EXPECT_EQ(files_left(), 0u);
}

TEST_F(conversion, cancelling_during_conversion_or_at_the_save_decision_drops_the_snapshot) {
  const auto in = fs::path(TW_SOURCE_DIR) / "tests" / "data" / "net10-kestrel.nettrace";
  progress_script during;
  during.refuse_after = 3;
  EXPECT_EQ(convert(in, (dir_ / "a.dtt").string(), during), "");
  EXPECT_EQ(during.calls.back(), (std::array<unsigned long, 3>{100, 100, 1}));
  EXPECT_EQ(files_left(), 0u);

  progress_script at_save;
  at_save.refuse_save = true;
  EXPECT_EQ(convert(in, (dir_ / "b.dtt").string(), at_save), "");
  EXPECT_EQ(at_save.calls.back(), (std::array<unsigned long, 3>{100, 100, 1}));
  EXPECT_EQ(files_left(), 0u);
}

TEST_F(conversion, cancelling_while_saving_removes_every_file_already_written) {
  const auto in = fs::path(TW_SOURCE_DIR) / "tests" / "data" / "net10-kestrel.nettrace";
  progress_script saving;
  saving.refuse_saving = true;
  EXPECT_EQ(convert(in, (dir_ / "c.dtt").string(), saving), "Processing is cancelled");
  const auto refused = std::find_if(saving.calls.begin(), saving.calls.end(),
                                    [](const auto& c) { return c[2] == 0 && c[0] * 10 > c[1] * 9; });
  ASSERT_NE(refused, saving.calls.end()) << "the save reported no progress to refuse";
  EXPECT_EQ(files_left(), 0u);

  // The same conversion, not refused, leaves the index and its section files.
  progress_script kept;
  EXPECT_EQ(convert(in, (dir_ / "d.dtt").string(), kept), "");
  EXPECT_EQ(files_left(), 21u);
}

TEST(inspect, a_process_without_a_name_is_named_by_the_program_its_command_line_runs) {
  using tw::tools::process_name_from_command_line;
  EXPECT_EQ(process_name_from_command_line("/usr/share/dotnet/dotnet /srv/app/Shop.Api.dll --urls x"), "Shop.Api");
  EXPECT_EQ(process_name_from_command_line("dotnet exec /srv/app/Worker.dll"), "Worker");
  EXPECT_EQ(process_name_from_command_line("/usr/share/dotnet/dotnet"), "dotnet");  // the host alone, at start
  EXPECT_EQ(process_name_from_command_line("dotnet run --project x"), "dotnet");
  EXPECT_EQ(process_name_from_command_line("/opt/shop/Shop  --port 5"), "Shop");  // an apphost
  EXPECT_EQ(process_name_from_command_line(""), "");
}

}  // namespace
