// Recorded traces converted end to end through the converter's lifecycle,
// then read back from the snapshot files.

#include "api/collectors.h"
#include "tools/snapshot_inspect.h"
#include "tools/snapshot_model.h"
#include "tools/trace_stats.h"
#include "tests/support/command.h"
#include "tests/support/scratch_folder.h"
#include "tests/support/small_filesystem.h"

#include "tests/support/recordings.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>

namespace {

namespace fs = std::filesystem;

// The progress calls of one conversion, and what to answer.
struct progress_script {
  std::vector<std::array<unsigned long, 3>> calls = {};
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

// What each recording converts into is checked by its golden snapshot
// (tests/tools/golden.sh); these are the conversion's ways of ending.
class conversion : public testing::Test {
 protected:

  // Converts; returns the error text, empty on success.
  std::string convert(const fs::path& in, const std::string& out, progress_script& s,
                      tw_prof::conversion_outcome* outcome = nullptr, const tw_prof::conversion_options& options = {}) {
    script = &s;
    try {
      void* holder = tw_prof::create_nettrace_collector(in.string(), out, "", &progress, options);
      tw_prof::release_nettrace_collector(holder, outcome);
    } catch (const std::exception& e) {
      return e.what();
    }
    return {};
  }
  std::size_t files_left() const {
    return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()));
  }
  const test_support::scratch_folder scratch_;
  const fs::path dir_ = scratch_.path();
};

// Every Kestrel, SqlClient and task event the timeline keeps is followed by
// its call stack exactly when the runtime recorded one (counted here by the
// decoder, apart from the processor), and the stacks name managed code: the
// framework's or the program's own. A recording names precompiled framework
// code only where an event announced it, so a few stacks lie wholly in code
// it never names (a live snapshot finds that code in the images themselves).
TEST_F(conversion, kept_events_keep_the_stacks_they_were_recorded_with) {
  const std::map<std::string, std::pair<std::uint16_t, std::set<int>>> kept = {
      {"Microsoft-AspNetCore-Server-Kestrel", {2055, {1, 2, 3, 4}}},
      {"Microsoft.Data.SqlClient.EventSource", {2054, {3, 4, 5, 9, 17}}},
      {"System.Threading.Tasks.TplEventSource", {2120, {7, 10, 14, 15, 17, 18}}},
  };
  const auto recordings = test_support::every_recording();
  ASSERT_GE(recordings.size(), 9u);
  std::uint64_t stacks_seen = 0;
  for (const auto& in : recordings) {
    SCOPED_TRACE(in.filename().string());
    const auto out = (dir_ / "s.dtt").string();
    progress_script s;
    ASSERT_EQ(convert(in, out, s), "");
    std::map<std::uint16_t, std::uint64_t> recorded;
    for (const auto& [id, c] : tw::tools::collect_trace_stats(in.string()).counts) {
      const auto it = kept.find(std::get<0>(id));
      if (it != kept.end() && it->second.second.count(std::get<1>(id))) recorded[it->second.first] += c.with_stack;
    }
    const auto summary = tw::tools::inspect_snapshot(out);
    for (const auto& [provider, where] : kept) {
      const auto section = where.first;
      const auto stacks = summary.records.find({section, 0x2000});
      EXPECT_EQ(stacks == summary.records.end() ? 0 : stacks->second, recorded[section]) << provider;
      stacks_seen += recorded[section];
      if (const auto named = summary.stacks_naming_a_method.find(section); named != summary.stacks_naming_a_method.end()) {
        EXPECT_GE(named->second.second * 100, named->second.first * 97) << provider;
      }
    }
  }
  EXPECT_GT(stacks_seen, 100u);
}

// A snapshot does not depend on how many threads made it: every recording
// with 1, 2 and 4, byte for byte apart from what differs between any two
// runs (identifiers, the times of the conversion and the converting thread's
// id), as scripts/compare_snapshots.py compares them.
TEST_F(conversion, every_recording_converts_to_the_same_bytes_on_any_number_of_threads) {
  const auto modules = (fs::path(TW_SOURCE_DIR) / "tests" / "data" / "modules").string();
  const auto compare = (fs::path(TW_SOURCE_DIR) / "scripts" / "compare_snapshots.py").string();
  for (const auto& in : test_support::every_recording()) {
    SCOPED_TRACE(in.filename().string());
    std::vector<std::string> made;
    for (const unsigned threads : {1u, 2u, 4u}) {
      tw_prof::conversion_options options;
      options.threads = threads;
      options.recorded_module_paths = false;
      options.module_directories = {modules};
      std::string name = "t";
      name += std::to_string(threads);
      made.push_back((dir_ / (name + ".dtt")).string());
      progress_script s;
      ASSERT_EQ(convert(in, made.back(), s, nullptr, options), "");
    }
    for (std::size_t i = 1; i < made.size(); ++i) {
      const auto q = [](const std::string& word) { return test_support::quoted(word); };
      const auto compared = test_support::run_command("python3 " + q(compare) + " " + q(made[0]) + " " + q(made[i]));
      EXPECT_EQ(compared.exit_code, 0) << compared.out;
    }
    for (const auto& f : fs::directory_iterator(dir_)) fs::remove(f.path());
  }
}

// A recording names module files on the machine that made it. A file is
// read, at that path or by its name in the directories given, only when its
// debug directory names the build the runtime loaded.
TEST_F(conversion, module_files_are_read_only_when_they_are_the_recorded_build) {
  const auto modules = fs::path(TW_SOURCE_DIR) / "tests" / "data" / "modules";
  // Another program, under the name of the recording's.
  const auto other = dir_ / "other";
  fs::create_directories(other);
  fs::copy_file(TW_MODULE_INFO_DLL, other / "Workload.dll");
  struct row {
    const char* recording;
    std::vector<std::string> directories;
    std::uint64_t read, other_build;
  };
  for (const auto& r : {row{"net9-target", {modules.string()}, 1, 0}, row{"net9-target", {other.string()}, 0, 1},
                        row{"net9-target", {}, 0, 0}, row{"net10-cpu", {modules.string()}, 0, 1}}) {
    SCOPED_TRACE(std::string(r.recording) + " in " + (r.directories.empty() ? "nothing" : r.directories[0]));
    progress_script s;
    const auto out = (dir_ / "s.dtt").string();
    ASSERT_EQ(convert(test_support::recording(r.recording), out, s, nullptr, {r.directories, false}), "");
    const auto images = tw::tools::snapshot_model(out).module_images();
    EXPECT_EQ(images.read, r.read);
    EXPECT_EQ(images.other_build, r.other_build);
    EXPECT_GT(images.missing, 5u);
  }
}

// Samples are told running managed code, running native code or waiting.
// Where the runtime flags them wrongly (.NET 9; the Windows runtimes of the
// public recordings), the method a thread was in decides.
TEST_F(conversion, samples_are_told_running_or_waiting_also_where_the_runtime_flags_them_wrongly) {
  struct row {
    fs::path recording;
    bool inferred;
    const char* top;
    bool waits;  // the program has threads that wait
  };
  for (const auto& r : {row{test_support::recording("net9-target"), true, "<Work>b__", true},
                        row{test_support::recording("net10-cpu"), false, "HotLoop.SpinPrimes", false},
                        row{test_support::recording("net10-core"), false, "LongSpinWait", true},
                        row{test_support::public_recording("eventpipe-dotnetcore3.0-win-x64-objver4"), true,
                            "GetIndexOfFirstNonAsciiChar", true}}) {
    SCOPED_TRACE(r.recording.filename().string());
    progress_script s;
    const auto out = (dir_ / "s.dtt").string();
    ASSERT_EQ(convert(r.recording, out, s), "");
    const auto summary = tw::tools::inspect_snapshot(out);
    EXPECT_EQ(summary.types_from_stacks, r.inferred);
    // The program's own busy work, or the spinning of the runtime's lock.
    const auto own = std::find_if(summary.methods.begin(), summary.methods.end(), [](const auto& m) {
      return m.name.find("PollGC") == std::string::npos && m.name.find("LowLevelSpinWaiter") == std::string::npos;
    });
    ASSERT_NE(own, summary.methods.end());
    EXPECT_NE(own->name.find(r.top), std::string::npos) << own->name;
    EXPECT_EQ(summary.samples_waiting > summary.samples / 10, r.waits) << summary.samples_waiting;
  }
}

TEST_F(conversion, bad_input_gives_an_error_and_leaves_no_file) {
  const auto out = (dir_ / "out" / "s.dtt");
  fs::create_directories(out.parent_path());
  std::ofstream(dir_ / "empty.nettrace");
  std::ofstream(dir_ / "garbage.nettrace") << std::string(5000, 'g');
  {
    // The header and a little more: nothing of it converts.
    std::ifstream in(test_support::recording("net10-core"), std::ios::binary);
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
  const auto bytes = test_support::file_text(test_support::recording("net10-kestrel"));
  const auto cut_at = [&](std::size_t size) {
    const auto path = dir_ / ("cut" + std::to_string(size) + ".nettrace");
    std::ofstream(path, std::ios::binary) << bytes.substr(0, size);
    return path;
  };
  const auto total = tw::tools::collect_trace_stats(cut_at(bytes.size()).string()).events;
  // Inside an object first; then exactly where that conversion says the
  // whole objects end, and a little past it: all three keep the same, on one
  // thread or two.
  std::uint64_t boundary = 0, events = 0;
  for (const unsigned threads : {1u, 2u})
  for (const auto size : {bytes.size() * 6 / 10, std::size_t{0}, std::size_t{7}}) {
    const auto input = cut_at(size == bytes.size() * 6 / 10 ? size : boundary + size);
    SCOPED_TRACE(input.filename().string() + " on " + std::to_string(threads));
    const auto out = (dir_ / (input.stem().string() + ".dtt")).string();
    progress_script s;
    tw_prof::conversion_outcome outcome;
    tw_prof::conversion_options options;
    options.threads = threads;
    ASSERT_EQ(convert(input, out, s, &outcome, options), "");
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
  const auto in = test_support::recording("net10-kestrel");
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
  const auto in = test_support::public_recording("only_managed_samples");
  for (const std::string& out : {dir_.string(), (dir_ / "no" / "such" / "dir" / "s.dtt").string(),
                                std::string("/proc/self/cannot/s.dtt")}) {
    progress_script s;
    const auto error = convert(in, out, s);
    EXPECT_NE(error.find("Fail to create file"), std::string::npos) << out << ": " << error;
  }
  EXPECT_EQ(files_left(), 0u);
}

// A refusal during the conversion or at the save decision drops the
// snapshot quietly; one while saving says so; either way no file stays.
TEST_F(conversion, cancelling_at_any_point_leaves_no_file) {
  const auto in = test_support::recording("net10-kestrel");
  struct row {
    const char* when;
    progress_script refusing;
    unsigned threads;
    const char* error;
  };
  const row rows[] = {
      {"during, one thread", {.refuse_after = 3}, 1, ""},
      {"during, two threads", {.refuse_after = 3}, 2, ""},
      {"at the save decision", {.refuse_save = true}, 1, ""},
      {"while saving", {.refuse_saving = true}, 1, "Processing is cancelled"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.when);
    auto script = r.refusing;
    tw_prof::conversion_options options;
    options.threads = r.threads;
    EXPECT_EQ(convert(in, (dir_ / "a.dtt").string(), script, nullptr, options), r.error);
    if (*r.error) {
      EXPECT_TRUE(std::any_of(script.calls.begin(), script.calls.end(),
                              [](const auto& c) { return c[2] == 0 && c[0] * 10 > c[1] * 9; }))
          << "the save reported no progress to refuse";
    } else {
      EXPECT_EQ(script.calls.back(), (std::array<unsigned long, 3>{100, 100, 1}));
    }
    EXPECT_EQ(files_left(), 0u);
  }
  // The same conversion, not refused, leaves the index and its section files.
  progress_script kept;
  EXPECT_EQ(convert(in, (dir_ / "d.dtt").string(), kept), "");
  EXPECT_EQ(files_left(), 21u);
}

TEST(inspect, a_process_without_a_name_is_named_by_the_program_its_command_line_runs) {
  using tw::tools::process_name_from_command_line;
  EXPECT_EQ(process_name_from_command_line("/usr/share/dotnet/dotnet /srv/app/Shop.Api.dll --urls x"), "Shop.Api");
  EXPECT_EQ(process_name_from_command_line("dotnet exec /srv/app/Worker.dll"), "Worker");
  EXPECT_EQ(process_name_from_command_line("dotnet /srv/my apps/Shop.Api.dll x.dll"), "Shop.Api");  // spaces
  EXPECT_EQ(process_name_from_command_line("/usr/share/dotnet/dotnet"), "dotnet");  // the host alone, at start
  EXPECT_EQ(process_name_from_command_line("dotnet run --project x"), "dotnet");
  EXPECT_EQ(process_name_from_command_line("/opt/shop/Shop  --port 5"), "Shop");  // an apphost
  EXPECT_EQ(process_name_from_command_line(""), "");
}

}  // namespace
