// The command-line tool as a user runs it.

#include "tests/support/container_program.h"
#include "tests/support/recordings.h"
#include "tests/support/scratch_folder.h"
#include "tests/support/workload.h"
#include "tools/json_out.h"
#include "tools/snapshot_inspect.h"
#include "tools/snapshot_reader.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <future>
#include <optional>
#include <poll.h>
#include <pty.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

namespace {

using test_support::command_result;
using test_support::file_text;
using test_support::run_command;
using test_support::scratch_folder;
using test_support::workload_program;

// A path as one word of a command line.
std::string q(const std::filesystem::path& p) { return test_support::quoted(p.string()); }
command_result run(const std::string& args) { return run_command(q(TW_EPTL_PATH) + " " + args); }

const std::string samples = test_support::public_recording("only_managed_samples").string();
const std::string cpu_recording = test_support::recording("net10-cpu").string();

bool hot_method_on_top(const std::string& index) {
  const auto r = run("inspect " + q(index));
  // The title, the columns' header, then the first row.
  const auto header = r.out.find("top methods by exclusive samples:\n  exclusive  inclusive  method\n");
  const auto first_row = r.out.find('\n', r.out.find('\n', header) + 1) + 1;
  return r.exit_code == 0 && header != std::string::npos &&
         r.out.find("HotLoop.SpinPrimes", first_row) < r.out.find('\n', first_row);
}

// The workload burning CPU in HotLoop.SpinPrimes, once its runtime listens.
struct busy_program : workload_program {
  explicit busy_program(const char* seconds) : workload_program({"live", seconds}), listening(wait_listening()) {}
  const bool listening;
};

// Each command's output for a person: the line it prints, its exit code.
TEST(eptl, commands_say_what_they_did_or_why_not_in_one_line) {
  const scratch_folder dir;
  const auto garbage = (dir / "garbage.nettrace").string();
  std::ofstream(garbage) << "this is not a trace at all, not even close";
  const auto nowhere = (dir / "no" / "such" / "s.dtt").string();
  const auto missing = (dir / "nothere.dtt").string();
  // A snapshot's index begins with its signature.
  const auto fake_snapshot = (dir / "fake.dtt").string();
  std::ofstream(fake_snapshot) << "MF and then nothing a snapshot holds";
  struct row {
    std::string command;
    int exit_code;
    std::string says;
  };
  const row rows[] = {
      {"stats " + q(samples), 0, "id     0 v0        7423  ThreadSample_0_v0"},
      {"stats --json " + q(samples), 0,
       "{\"provider\":\"Microsoft-DotNETCore-SampleProfiler\",\"id\":0,\"version\":0,\"count\":7423,"
       "\"name\":\"ThreadSample_0_v0\",\"dispatched\":true}"},
      {"convert " + q(garbage) + " -o " + q(dir / "out.dtt"), 1,
       "eptl: " + garbage + " is not a recording: a .nettrace file, as dotnet-trace or the runtime write it\n"},
      {"inspect " + q(garbage), 1,
       "eptl: " + garbage + " is not a snapshot: the index file that eptl convert or eptl record writes\n"},
      {"inspect " + q(samples), 1, "eptl: " + samples + " is a recording; eptl convert makes a snapshot of it\n"},
      {"convert " + q(fake_snapshot), 1,
       "eptl: " + fake_snapshot + " is a snapshot; eptl inspect or eptl export read it\n"},
      {"inspect " + q(missing), 1, "eptl: Cannot open " + missing + ": No such file or directory\n"},
      {"report " + q(samples) + " -o " + q(dir / "r.html"), 1,
       "eptl: " + samples + " is a recording; eptl convert makes a snapshot of it\n"},
      {"report " + q(fake_snapshot) + " -o " + q(dir / "r.html"), 1,
       "eptl: " + fake_snapshot + ": 1701344288 sections do not fit the index\n"},
      {"convert " + q(samples) + " -o " + q(nowhere), 1,
       "eptl: " + samples + ": Fail to create file: " + nowhere + " (No such file or directory)\n"},
      // A flag anywhere after the command asks for its help, never a file.
      {"convert x.nettrace -h", 0, "usage: eptl convert"},
      {"help record", 0, "usage: eptl record"},
      {"--version", 0, "eptl " TW_VERSION "\n"},
      // Mistakes: one line that names them, and where the options are listed.
      {"", 2, "'eptl --help'"},
      {"bogus", 2, "eptl: 'bogus' is not a command: record, convert, inspect, export, report, stats, sections, ps"},
      {"sections", 2, "eptl: which snapshot? none was named\n'eptl sections --help' lists its options."},
      {"convert x.nettrace --bogus", 2, "eptl: unrecognised option '--bogus'"},
      {"convert x.nettrace --threads=0", 2, "eptl: --threads: '0' is not a count of threads (1 to 1024)"},
      {"export x.dtt --format flamegraph", 2,
       "eptl: --format: 'flamegraph' is not one of speedscope, chrome, pprof, collapsed"},
      {"export x.dtt --format=flamegraph", 2,
       "eptl: --format: 'flamegraph' is not one of speedscope, chrome, pprof, collapsed"},
      {"export x.dtt", 2, "eptl: the option '--format' is required but missing"},
      {"inspect x.dtt --from 2 --to 1", 2, "eptl: --to: '1' is not after --from"},
      {"record --pid abc", 2, "eptl: --pid: 'abc' is not a process id"},
      {"record -p 0", 2, "eptl: --pid: '0' is not a process id"},
      {"record --name no-such-program-anywhere", 2,
       "eptl: --name: no .NET process of this user is named 'no-such-program-anywhere' (eptl ps lists them)"},
      {"record --pid 5 --duration 2x", 2, "eptl: --duration: '2x' is not a duration (10, 10s or 2m)"},
      {"record --pid 5 -- dotnet x.dll", 2, "eptl: one process at a time"},
      {"record", 2, "eptl: which process? --pid PID, --name NAME or -- COMMAND names one"},
      {"record --", 2, "eptl: --: the program to start is missing"},
      {"record --pid 5 --last 10 --on gpu=5", 2,
       "eptl: --on: the trigger 'gpu=5' is not understood: the forms are exception=TYPE, gc-pause=MS, request=MS, "
       "contention=MS or cpu=PERCENT"},
      {"record --pid 5 --on exception=X", 2, "eptl: --on: a trigger saves a window: --last SECONDS gives it"},
      {"record --pid 5 --last 10 --max-size 0", 2, "eptl: --max-size: '0' is not a size in megabytes"},
  };
  for (const auto& r : rows) {
    const auto result = run(r.command);
    EXPECT_EQ(result.exit_code, r.exit_code) << r.command << "\n" << result.out;
    if (r.exit_code == 1)
      EXPECT_EQ(result.out, r.says) << r.command;
    else
      EXPECT_NE(result.out.find(r.says), std::string::npos) << r.command << "\n" << result.out;
  }
  EXPECT_FALSE(std::filesystem::exists(dir / "out.dtt")) << "a failed conversion leaves no snapshot";
  EXPECT_FALSE(std::filesystem::exists(dir / "r.html")) << "a failed report leaves no page";
}

TEST(eptl, converts_prints_sections_and_converts_a_recording_cut_short) {
  const scratch_folder dir;
  const auto out = (dir / "cpu.dtt").string();
  const auto converted = run("convert " + q(cpu_recording) + " -o " + q(out));
  EXPECT_EQ(converted.exit_code, 0) << converted.out;
  EXPECT_NE(converted.out.find("progress 100% done"), std::string::npos) << converted.out;  // not a terminal: lines
  EXPECT_TRUE(hot_method_on_top(out));

  const auto table = run("sections " + q(out));
  EXPECT_EQ(table.exit_code, 0) << table.out;
  EXPECT_NE(table.out.find(" 2160       16 "), std::string::npos) << table.out;
  std::filesystem::resize_file(out + ".0000", std::filesystem::file_size(out + ".0000") - 1);
  const auto short_file = run("sections " + q(out));
  EXPECT_EQ(short_file.exit_code, 1);
  EXPECT_NE(short_file.out.find(" bytes, the index says "), std::string::npos) << short_file.out;

  // Cut short, as its program's death leaves it: converted up to the cut,
  // with one line that says so.
  const auto bytes = file_text(cpu_recording);
  const auto cut = (dir / "cut.nettrace").string();
  std::ofstream(cut, std::ios::binary) << bytes.substr(0, bytes.size() * 6 / 10);
  const auto partial = run("convert " + q(cut) + " -o " + q(dir / "cut.dtt"));
  EXPECT_EQ(partial.exit_code, 0) << partial.out;
  EXPECT_NE(partial.out.find("eptl: warning: " + cut + " ends early at byte "), std::string::npos) << partial.out;
  EXPECT_NE(partial.out.find(" events before it were converted\n"), std::string::npos) << partial.out;
  EXPECT_TRUE(hot_method_on_top((dir / "cut.dtt").string())) << run("inspect " + q(dir / "cut.dtt")).out;
}

// Ctrl-C during a conversion: the trace arrives through a pipe that keeps
// delivering objects until the tool has been interrupted.
TEST(eptl_convert, an_interrupt_cancels_and_leaves_no_file) {
  const scratch_folder scratch;
  const auto& dir = scratch.path();
  const auto fifo = dir / "live.nettrace";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const auto out = dir / "out.dtt";
  const pid_t child = test_support::spawn({TW_EPTL_PATH, "convert", fifo.string(), "-o", out.string()});
  std::atomic<bool> stop{false}, opened{false};
  std::signal(SIGPIPE, SIG_IGN);  // the tool closes its end when interrupted
  std::thread writer([&] {
    // Opening the pipe for writing waits for its reader: the tool, once it
    // has started (slowly, under a sanitizer on a busy machine).
    int fd = -1;
    while (fd < 0 && !stop.load()) {
      fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
      if (fd < 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (fd < 0) return;
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    std::FILE* f = ::fdopen(fd, "wb");
    opened = true;
    const std::string header = std::string("Nettrace") + std::string("\x14\0\0\0", 4) + "!FastSerialization.1";
    std::size_t position = std::fwrite(header.data(), 1, header.size(), f);
    // Empty objects of a type the parser skips, one every few milliseconds.
    const unsigned char object[] = {5, 5, 1, 4, 0, 0, 0, 4, 0, 0, 0, 4, 0, 0, 0, 'N', 'o', 'n', 'e', 6, 0, 0, 0, 0};
    const unsigned char zeros[4] = {};
    const unsigned char end_tag = 6;
    while (!stop.load()) {
      position += std::fwrite(object, 1, sizeof object, f);
      position += std::fwrite(zeros, 1, (4 - position % 4) % 4, f);  // padding before the (empty) body
      position += std::fwrite(&end_tag, 1, 1, f);
      std::fflush(f);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::fclose(f);
  });
  // Let the conversion run, then interrupt it as a terminal's Ctrl-C would.
  for (int i = 0; i < 6000 && !opened.load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (!opened.load()) {
    stop = true;
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    writer.join();
    FAIL() << "the tool never opened the pipe";
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  ::kill(child, SIGINT);
  int status = 0;
  ::waitpid(child, &status, 0);
  stop = true;
  writer.join();
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 130);
  std::size_t left = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir))
    if (e.path().filename().string().rfind("out.dtt", 0) == 0) ++left;
  EXPECT_EQ(left, 0u);
}

// Bad input: a clear message, exit code 1, and nothing written; a file at
// the output path stays as it was.
TEST(eptl_export, a_broken_snapshot_or_output_fails_with_a_message_and_leaves_files_alone) {
  const scratch_folder scratch;
  const auto& dir = scratch.path();
  const auto snapshot = (dir / "core.dtt").string();
  ASSERT_EQ(run("convert " + q(test_support::recording("net10-core")) + " -o " + q(snapshot)).exit_code, 0);

  EXPECT_EQ(run("export " + q(snapshot)).exit_code, 2);
  EXPECT_EQ(run("export " + q(snapshot) + " --format svg").exit_code, 2);
  EXPECT_EQ(run("export " + q(snapshot) + " --format pprof --wall").exit_code, 2);  // --wall is for folded stacks
  const auto missing = run("export " + q(dir / "none.dtt") + " --format chrome");
  EXPECT_EQ(missing.exit_code, 1);
  EXPECT_EQ(missing.out.rfind("eptl: ", 0), 0u) << missing.out;
  const auto unwritable = run("export " + q(snapshot) + " --format chrome -o " + q(dir / "no" / "x.json"));
  EXPECT_EQ(unwritable.exit_code, 1);
  EXPECT_NE(unwritable.out.find("Cannot create"), std::string::npos) << unwritable.out;

  // The synthetic top node's first child made the root: a cycle.
  {
    const tw::tools::snapshot_reader reader(snapshot);
    const auto tree = std::find_if(reader.sections().begin(), reader.sections().end(),
                                   [](const auto& e) { return e.id == 2160; });
    ASSERT_NE(tree, reader.sections().end());
    std::fstream f(reader.file_path(tree->file), std::ios::in | std::ios::out | std::ios::binary);
    std::uint32_t header = 0;
    f.seekg(static_cast<std::streamoff>(tree->offset));
    f.read(reinterpret_cast<char*>(&header), 4);
    const std::uint32_t root = 32;
    f.seekp(static_cast<std::streamoff>(tree->offset + header + 16 + 12));
    f.write(reinterpret_cast<const char*>(&root), 4);
  }
  const auto out = dir / "kept.json";
  std::ofstream(out) << "before";
  for (const char* format : {"speedscope", "chrome", "pprof", "collapsed"}) {
    const auto broken = run("export " + q(snapshot) + " --format " + format + " -o " + q(out));
    EXPECT_EQ(broken.exit_code, 1) << format;
    EXPECT_EQ(broken.out, "eptl: " + snapshot + ": The call tree is broken: the node at 48 links to offset 32\n");
    EXPECT_EQ(file_text(out), "before");
    EXPECT_FALSE(std::filesystem::exists(out.string() + ".partial"));
  }
  EXPECT_EQ(run("inspect " + q(snapshot)).exit_code, 1);
}

// Google's own pprof reads the pprof export of every committed recording as
// inspect reads the snapshot: the same sample totals for both sample types,
// the same hottest method, and each sample's thread; the folded stacks add
// up the same.
TEST(eptl_export, pprof_and_folded_stacks_agree_with_inspect_on_every_recording) {
  const scratch_folder scratch;
  const auto recordings = test_support::every_recording();
  ASSERT_GE(recordings.size(), 8u);
  const std::string pprof = TW_PPROF_PATH;
  // pprof shortens names as it would C++ templates: compare without "<...>".
  const auto plain = [](std::string name) {
    for (auto open = name.find('<'); open != std::string::npos; open = name.find('<')) {
      const auto close = name.find('>', open);
      if (close == std::string::npos) break;
      name.erase(open, close - open + 1);
    }
    return name;
  };
  for (const auto& recording : recordings) {
    SCOPED_TRACE(recording.filename().string());
    const auto snapshot = (scratch / "s.dtt").string(), profile = (scratch / "s.pb.gz").string();
    ASSERT_EQ(run("convert " + q(recording) + " -o " + q(snapshot)).exit_code, 0);
    ASSERT_EQ(run("export " + q(snapshot) + " --format pprof -o " + q(profile)).exit_code, 0);
    const auto summary = tw::tools::inspect_snapshot(snapshot);
    const auto on_cpu = summary.samples_managed + summary.samples_native + summary.samples_other_type;

    // The profile's time is the recording's, as its trace object gives it
    // ("trace: DD.MM.YYYY HH:MM:SS:mmm."), not the conversion's.
    const auto stats = run("stats " + q(recording)).out;
    const auto t = stats.substr(stats.find("trace: ") + 7, 23);
    std::string recorded = t.substr(6, 4);
    recorded += '-';
    recorded += t.substr(3, 2);
    recorded += '-';
    recorded += t.substr(0, 2);
    recorded += ' ';
    recorded += t.substr(11, 8);
    recorded += '.';
    recorded += t.substr(20, 3);

    std::istringstream raw(run_command(q(pprof) + " -raw " + q(profile)).out);
    std::uint64_t period = 0, cpu = 0, wall = 0;
    bool in_samples = false;
    for (std::string line; std::getline(raw, line);) {
      if (line.rfind("Period: ", 0) == 0) period = std::stoull(line.substr(8));
      if (line.rfind("Time: ", 0) == 0) {
        EXPECT_EQ(line.substr(6, 23), recorded);
      }
      if (line.rfind("Samples:", 0) == 0) in_samples = true;
      std::uint64_t c = 0, w = 0;
      char colon = 0;
      if (in_samples && std::istringstream(line) >> c >> w >> colon && colon == ':') {
        cpu += c;
        wall += w;
      }
      if (line.rfind("Locations", 0) == 0) in_samples = false;
    }
    ASSERT_GT(period, 0u);
    EXPECT_EQ(cpu, on_cpu * period);
    EXPECT_EQ(wall, summary.samples * period);

    // The hottest method: the first row of pprof -top that names a method.
    if (!summary.methods.empty()) {
      std::istringstream top(run_command(q(pprof) + " -top -unit=ms -nodecount=1000 " + q(profile)).out);
      std::string line, name;
      double flat_ms = -1;
      bool rows = false;
      while (std::getline(top, line)) {
        if (line.find("flat  flat%") != std::string::npos) {
          rows = true;
          continue;
        }
        if (!rows) continue;
        std::istringstream cells(line);
        std::string flat, flat_share, sum_share, cum, cum_share;
        cells >> flat >> flat_share >> sum_share >> cum >> cum_share >> std::ws;
        std::getline(cells, name);
        if (name.empty() || name[0] == '[') continue;
        flat_ms = flat == "0" ? 0 : std::stod(flat) * (flat.ends_with("ms") ? 1 : flat.ends_with("us") ? 1e-3 : 1e3);
        break;
      }
      const auto& hottest = summary.methods[0];
      EXPECT_NEAR(flat_ms, static_cast<double>(hottest.exclusive * period) / 1e6, 0.01 + flat_ms * 0.001) << name;
      if (summary.methods.size() == 1 || summary.methods[1].exclusive < hottest.exclusive) {
        EXPECT_EQ(plain(name), plain(hottest.name));
      }
    }

    // Each sample's thread, by id and by name, and its state.
    const auto traces = run_command(q(pprof) + " -traces " + q(profile)).out;
    if (summary.samples > 0) {
      for (const char* label : {"thread id:", "thread name:", "state:"})
        EXPECT_NE(traces.find(label), std::string::npos) << label;
    }

    // The folded stacks add up to the same samples, and native code between
    // two managed frames is one frame in them.
    for (const bool wall_too : {false, true}) {
      const auto folded = run("export " + q(snapshot) + " --format collapsed -o -" + (wall_too ? " --wall" : ""));
      std::uint64_t total = 0, native_twice = 0;
      std::istringstream lines(folded.out);
      for (std::string line; std::getline(lines, line);) {
        total += std::stoull(line.substr(line.rfind(' ') + 1));
        native_twice += line.find("[native code];[native code]") != std::string::npos;
      }
      EXPECT_EQ(total, wall_too ? summary.samples : on_cpu);
      EXPECT_EQ(native_twice, 0u);
    }
  }
}

TEST(eptl_ps, lists_a_running_program_with_its_name_runtime_and_command_line) {
  const busy_program program("30");
  ASSERT_TRUE(program.listening);
  const std::string pid = std::to_string(program.pid());
  std::string cell(8 - pid.size(), ' ');  // the pid as its column shows it
  cell.append(pid).append("  ");
  command_result r;
  // A runtime that has just started tells its host's path alone as its
  // command line, until the program's own is set.
  for (int attempt = 0; attempt < 100 && r.out.find("Workload.dll live 30") == std::string::npos; ++attempt) {
    if (attempt) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    r = run("ps");
  }
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out.rfind("     PID  NAME", 0), 0u) << r.out;
  const auto at = r.out.find("\n" + cell);
  ASSERT_NE(at, std::string::npos) << r.out;
  const auto row = r.out.substr(at + 1, r.out.find('\n', at + 1) - at - 1);
  EXPECT_NE(row.find("  Workload  "), std::string::npos) << row;
  EXPECT_NE(row.find("  10."), std::string::npos) << row;
  EXPECT_NE(row.find("Workload.dll live 30"), std::string::npos) << row;
}

TEST(eptl_record, a_running_program_is_recorded_for_the_time_asked_and_its_hot_method_tops_the_snapshot) {
  const scratch_folder dir;
  const busy_program program("30");
  ASSERT_TRUE(program.listening);
  const auto out = (dir / "busy.dtt").string();
  const auto pid = std::to_string(program.pid());
  const auto started = std::chrono::steady_clock::now();
  const auto r = run("record --pid " + pid + " --duration 1.5 -o " + q(out));
  const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  EXPECT_EQ(r.exit_code, 0) << r.out;
  EXPECT_NE(r.out.find(out + "\n"), std::string::npos) << r.out;
  EXPECT_GE(took, 1.5);
  EXPECT_LT(took, 20.0);
  EXPECT_TRUE(hot_method_on_top(out)) << run("inspect " + q(out)).out;
  EXPECT_EQ(run("inspect " + q(out)).out.rfind("process: Workload (pid " + pid + ")", 0), 0u);
  // A method's frame names the module it comes from, found through the
  // module's metadata kept in the snapshot: the program's own and the
  // framework's.
  const auto profiles = run("export " + q(out) + " --format speedscope -o -");
  EXPECT_NE(profiles.out.find("{\"name\":\"HotLoop.SpinPrimes\",\"file\":\"Workload.dll\"}"), std::string::npos)
      << profiles.out.substr(0, 2000);
  EXPECT_NE(profiles.out.find("\"file\":\"System.Private.CoreLib.dll\""), std::string::npos);

  // What cannot be done, each said at once.
  const auto nowhere = run("record --pid " + pid + " -o " + q(dir / "no" / "s.dtt"));
  EXPECT_EQ(nowhere.exit_code, 1);
  EXPECT_NE(nowhere.out.find("No folder"), std::string::npos) << nowhere.out;
  const auto asked = std::chrono::steady_clock::now();
  const auto not_dotnet = run("record --pid " + std::to_string(::getpid()) + " -o " + q(dir / "n.dtt"));
  EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(5));
  EXPECT_EQ(not_dotnet.exit_code, 1);
  EXPECT_NE(not_dotnet.out.find("has no diagnostic socket"), std::string::npos) << not_dotnet.out;
  EXPECT_NE(not_dotnet.out.find("not a .NET process"), std::string::npos) << not_dotnet.out;

  // A process stopped (SIGSTOP) would take the request and never answer.
  ::kill(program.pid(), SIGSTOP);
  const auto stopped = run("record --pid " + pid + " -o " + q(dir / "s.dtt"));
  ::kill(program.pid(), SIGCONT);
  EXPECT_EQ(stopped.exit_code, 1);
  EXPECT_EQ(stopped.out, "eptl: pid " + pid + ": Process " + pid +
                             " does not answer: it is stopped (by SIGSTOP, or held by a debugger)\n");

  // Installed under a prefix of its own, eptl finds the library installed
  // beside it.
  const auto prefix = dir / "installed";
  const auto installed = run_command("cmake --install " + q(TW_BUILD_DIR) + " --prefix " + q(prefix));
  ASSERT_EQ(installed.exit_code, 0) << installed.out;
  const auto from_prefix =
      run_command(q(prefix / "bin" / "eptl") + " record -p " + pid + " --duration 1 -o " + q(dir / "installed.dtt"));
  EXPECT_EQ(from_prefix.exit_code, 0) << from_prefix.out;
  EXPECT_NE(from_prefix.out.find("installed.dtt\n"), std::string::npos) << from_prefix.out;
}

// Ctrl-C at a terminal: the status line shows, the interrupt saves, also of a
// program started here, which the terminal interrupts too.
TEST(eptl_record, ctrl_c_at_a_terminal_saves_the_snapshot) {
  const scratch_folder scratch;
  const busy_program program("30");
  ASSERT_TRUE(program.listening);
  const std::string pid = std::to_string(program.pid());
  const std::vector<std::vector<std::string>> targets = {{"--pid", pid},
                                                         {"--", "dotnet", TW_Workload_DLL, "live", "30"}};
  for (const auto& target : targets) {
    SCOPED_TRACE(target[0]);
    const auto out = (scratch / "tty.dtt").string();
    std::vector<std::string> args{TW_EPTL_PATH, "record", "-o", out};
    args.insert(args.end(), target.begin(), target.end());
    int master = -1;
    const pid_t child = ::forkpty(&master, nullptr, nullptr, nullptr);
    if (child == 0) {
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execv(TW_EPTL_PATH, argv.data());
      _exit(127);
    }
    std::string screen;
    bool interrupted = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline) {
      pollfd p{master, POLLIN, 0};
      if (::poll(&p, 1, 100) > 0) {
        char buffer[512];
        const auto n = ::read(master, buffer, sizeof buffer);
        if (n <= 0) break;  // the tool has ended
        screen.append(buffer, static_cast<std::size_t>(n));
      }
      // Once it has recorded a while, and a program started here has spent
      // a second in its hot method (it says so on the terminal): the
      // terminal's own Ctrl-C.
      const bool hot = target[0] == "--pid" || screen.find("spinning") != std::string::npos;
      if (!interrupted && hot && screen.find(" s, snapshot ") != std::string::npos &&
          screen.find(": 1.") != std::string::npos) {
        ASSERT_EQ(::write(master, "\x03", 1), 1);
        interrupted = true;
      }
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ::close(master);
    EXPECT_TRUE(interrupted) << screen;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << screen;
    EXPECT_NE(screen.find("saving [" + std::string(40, '#') + "] 100%"), std::string::npos) << screen;
    EXPECT_TRUE(hot_method_on_top(out)) << run("inspect " + q(out)).out;
  }
}

TEST(eptl_record, a_program_started_by_the_recording_is_profiled_from_its_start_and_its_exit_code_reported) {
  const scratch_folder scratch;
  const auto& dir = scratch.path();
  const auto out = (dir / "start.dtt").string();
  // "startup" spends its first 300 ms in Startup.FirstWork, then exits with 42.
  const auto r = run("record -o " + q(out) + " -- dotnet " + q(TW_Workload_DLL) + " startup 300");
  EXPECT_EQ(r.exit_code, 0) << r.out;
  EXPECT_NE(r.out.find("eptl: the process ended; saving its snapshot\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("the program exited with code 42"), std::string::npos) << r.out;
  EXPECT_EQ(run("inspect " + q(out)).out.rfind("process: Workload (pid", 0), 0u);
  // Startup.FirstWork ran only in the program's first moments. It is looked
  // for on the stacks: on a busy machine the runtime's own start may
  // outweigh it among the top methods.
  const auto stacks = run("export " + q(out) + " --format collapsed --wall -o -").out;
  EXPECT_NE(stacks.find(";Startup.FirstWork;"), std::string::npos) << stacks.substr(0, 2000);

  // Recorded for a time, it runs on, and nothing waits for it: the old ways
  // (2 s for an exit, 5 more on the way out) took 8 s and more for this.
  // (Its output goes to a file: the program would hold a pipe open.)
  const auto said = (dir / "timed.txt").string();
  const auto started = std::chrono::steady_clock::now();
  const auto timed = run("record --duration 1 -o " + q(dir / "timed.dtt") + " -- dotnet " + q(TW_Workload_DLL) +
                         " live 30 >" + q(said) + " 2>&1");
  const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  const auto told = file_text(said);
  const auto going_on = told.find("the program goes on running as pid ");
  ASSERT_NE(going_on, std::string::npos) << told;
  ::kill(std::stoi(told.substr(going_on + 35)), SIGKILL);
  EXPECT_EQ(timed.exit_code, 0) << told;
  EXPECT_LT(took, 7.0) << told;

  // Something that is no .NET program never connects.
  const auto not_dotnet = run("record -o " + q(dir / "x.dtt") + " -- /bin/true");
  EXPECT_EQ(not_dotnet.exit_code, 1);
  EXPECT_NE(not_dotnet.out.find("ended before its runtime connected"), std::string::npos) << not_dotnet.out;
}

// A program in a container of its own (pid and mount namespaces, a private
// /tmp that alone holds its files), seen from the host: listed and recorded
// by the pid the host gives it, its own methods named from its own files.
TEST(eptl_record, a_program_in_a_container_is_listed_and_recorded_by_its_host_pid) {
  if (::geteuid() != 0) GTEST_SKIP() << "making namespaces needs root";
  const scratch_folder scratch;
  test_support::container_program program({"contained", "30"});
  ASSERT_TRUE(program.listening());
  const std::string pid = std::to_string(program.pid());

  const auto listed = run("ps");
  std::string cell(8 - pid.size(), ' ');
  cell.append(pid).append("  Workload  ");
  const auto row = listed.out.find(cell);
  ASSERT_NE(row, std::string::npos) << listed.out;
  EXPECT_NE(listed.out.find("[container, pid 1 in it] ", row), std::string::npos) << listed.out;

  const auto out = (scratch / "container.dtt").string();
  const auto recorded = run("record --pid " + pid + " --duration 2 -o " + q(out));
  ASSERT_EQ(recorded.exit_code, 0) << recorded.out;
  const auto summary = run("inspect " + q(out));
  EXPECT_EQ(summary.out.rfind("process: Workload (pid " + pid + ")", 0), 0u) << summary.out;
  EXPECT_NE(summary.out.find("System.InvalidOperationException"), std::string::npos) << summary.out;
  // Workload.dll exists only in the container: its methods are named, and
  // their module known, from the file under the container's root.
  const auto profiles = run("export " + q(out) + " --format speedscope -o -");
  EXPECT_NE(profiles.out.find("{\"name\":\"Contained.Work\",\"file\":\"Workload.dll\"}"), std::string::npos)
      << summary.out;
  // Its threads are named, though its events give them the ids they have in
  // its own namespace.
  EXPECT_NE(profiles.out.find("\"name\":\"contained-0"), std::string::npos);

  // A user who may not look into the container is told so at once.
  const auto shared = scratch / "shared";
  std::filesystem::create_directories(shared);
  std::filesystem::permissions(shared, std::filesystem::perms::all | std::filesystem::perms::sticky_bit);
  const auto asked = std::chrono::steady_clock::now();
  const auto refused = run_command("TMPDIR=" + q(shared) + " setpriv --reuid=54321 --regid=54321 --clear-groups " +
                                   q(TW_EPTL_PATH) + " record --pid " + pid + " -o " + q(shared / "x.dtt"));
  EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(1));
  EXPECT_EQ(refused.exit_code, 1);
  EXPECT_NE(refused.out.find("cannot be read (Permission denied)"), std::string::npos) << refused.out;
}

// Flight recordings ----------------------------------------------------------

// The workload started by a flight recording with `flags`: what eptl said,
// and the summary of what it saved as NAME.dtt, if anything.
struct flight {
  command_result result;
  std::optional<tw::tools::snapshot_summary> summary;
};
flight fly(const scratch_folder& dir, const std::string& name, const std::string& flags, const std::string& program,
           const std::string& environment = "") {
  const auto out = (dir / (name + ".dtt")).string();
  flight f{run_command(environment + " " + q(TW_EPTL_PATH) + " record " + flags + " -o " + q(out) + " -- dotnet " +
                       q(TW_Workload_DLL) + " " + program),
           std::nullopt};
  if (std::filesystem::exists(out)) f.summary = tw::tools::inspect_snapshot(out);
  return f;
}

double seconds(const tw::tools::snapshot_summary& s, std::int64_t ticks) {
  return static_cast<double>(ticks) / static_cast<double>(s.timer_resolution);
}

TEST(eptl_flight, a_capture_holds_the_window_before_its_trigger_and_the_time_after_it) {
  const scratch_folder dir;
  // Ten exceptions a second for 25 s, then the trigger, then 3 s more.
  const auto f = fly(dir, "rate", "--last 20 --after 2 --on exception=System.TimeoutException", "throw-rate 10 25");
  EXPECT_EQ(f.result.exit_code, 0) << f.result.out;
  ASSERT_TRUE(f.summary && f.summary->capture) << f.result.out;
  const auto& s = *f.summary;
  EXPECT_EQ(s.capture->what, "exception System.TimeoutException");
  EXPECT_NEAR(seconds(s, s.last_tick - s.first_tick), 22.0, 0.5);
  EXPECT_NEAR(seconds(s, s.capture->tick - s.first_tick), 20.0, 0.2);
  EXPECT_NEAR(static_cast<double>(s.exceptions.at("System.InvalidOperationException")), 220.0, 3.0);
  EXPECT_EQ(s.exceptions.at("System.TimeoutException"), 1u);
  // Methods compiled long before the window still name its samples.
  EXPECT_GT(s.samples_resolved_managed, s.samples * 9 / 10);
}

// Each trigger beside the incident that makes it fire and one that must not.
// The host hears of it within a second: with nothing recorded after it, the
// capture ends within a second of the trigger.
TEST(eptl_flight, each_trigger_fires_on_its_incident_within_a_second_and_never_otherwise) {
  struct row {
    const char* trigger;
    const char* causes;
    const char* does_not;
    const char* said;
  };
  const row rows[] = {
      {"exception=System.TimeoutException", "timeout", "other-exception", "exception System.TimeoutException"},
      {"gc-pause=100", "gc-pause", "idle", "gc pause of "},
      {"request=600", "slow-request", "fast-request", "request GET /incident "},
      {"contention=200", "contention", "idle", "lock wait of "},
      {"cpu=80", "cpu", "idle", "cpu at "},
  };
  const scratch_folder dir;
  for (const auto& r : rows) {
    SCOPED_TRACE(r.trigger);
    const std::string flags = std::string("--last 10 --after 0 --on ") + r.trigger;
    auto quiet_run = std::async(std::launch::async,
                                [&] { return fly(dir, "quiet", flags, std::string("incident ") + r.does_not + " 4"); });
    const auto fired = fly(dir, "fired", flags, std::string("incident ") + r.causes + " 4");
    const auto quiet = quiet_run.get();
    ASSERT_TRUE(fired.summary && fired.summary->capture) << fired.result.out;
    const auto& s = *fired.summary;
    EXPECT_EQ(s.capture->what.rfind(r.said, 0), 0u) << s.capture->what;
    EXPECT_LE(seconds(s, s.last_tick - s.capture->tick), 1.0);
    ASSERT_TRUE(quiet.summary) << quiet.result.out;
    EXPECT_FALSE(quiet.summary->capture) << quiet.summary->capture->what;
    EXPECT_EQ(quiet.result.out.find("captured on"), std::string::npos) << quiet.result.out;
  }
}

// However the program dies, its last window is saved; when it dies of an
// exception, the exception is in it with the stack of the thread it killed,
// even where the runtime had no time to send its own event.
TEST(eptl_flight, the_last_window_of_a_program_that_dies_is_saved_with_what_killed_it) {
  struct row {
    const char* how;
    const char* exception;
    const char* frame;  // of the program's, on the crashed thread's stack
  };
  const row rows[] = {
      {"format", "System.FormatException", "\"Crash.Die\""},
      {"thread", "System.InvalidOperationException", "\"Crash+<>c.<Die>b__0_0\""},
      {"failfast", "System.ExecutionEngineException", "\"Crash.Die\""},
  };
  const scratch_folder dir;
  for (const auto& r : rows) {
    SCOPED_TRACE(r.how);
    const auto f = fly(dir, r.how, "--last 30", std::string("crash ") + r.how);
    EXPECT_EQ(f.result.exit_code, 0) << f.result.out;
    EXPECT_NE(f.result.out.find("eptl: the process ended unexpectedly"), std::string::npos) << f.result.out;
    ASSERT_TRUE(f.summary && f.summary->crash) << f.result.out;
    EXPECT_EQ(f.summary->crash->exception_type, r.exception);
    EXPECT_EQ(f.summary->exceptions.at(r.exception), 1u);
    const auto events = run("export " + q(dir / (std::string(r.how) + ".dtt")) + " --format chrome -o -").out;
    const auto thrown = events.find("\"name\":\"" + std::string(r.exception) + "\",\"cat\":\"exception\"");
    ASSERT_NE(thrown, std::string::npos);
    const auto tid = "\"tid\":" + std::to_string(f.summary->crash->thread) + ",";
    const auto end = events.find('\n', thrown);
    EXPECT_LT(events.find(tid, thrown), end) << events.substr(thrown, end - thrown);
    EXPECT_LT(events.find(r.frame, thrown), end) << events.substr(thrown, end - thrown);
  }

  // Killed: no report, but the window up to the kill.
  const busy_program program("30");
  ASSERT_TRUE(program.listening);
  std::thread killer([pid = program.pid()] {
    std::this_thread::sleep_for(std::chrono::seconds(3));
    ::kill(pid, SIGKILL);
  });
  const auto out = (dir / "killed.dtt").string();
  const auto r = run("record --last 30 --pid " + std::to_string(program.pid()) + " -o " + q(out));
  killer.join();
  EXPECT_NE(r.out.find("eptl: the process ended unexpectedly"), std::string::npos) << r.out;
  EXPECT_TRUE(hot_method_on_top(out)) << run("inspect " + q(out)).out;
}

// --captures saves the next captures under names of their own, triggers close
// together make one capture, and the ring never outgrows --max-size: a window
// cut short by it is said to be.
TEST(eptl_flight, captures_are_counted_and_the_ring_keeps_to_its_bound) {
  const scratch_folder dir;
  // Two exceptions a second: those within 1.5 s of the first are its capture.
  const auto f = fly(dir, "many",
                     "--last 10 --after 1.5 --captures 2 --on exception=System.InvalidOperationException",
                     "throw-rate 2 6");
  EXPECT_EQ(f.result.exit_code, 0) << f.result.out;
  const auto second = (dir / "many-2.dtt").string();
  EXPECT_NE(f.result.out.find(second + "\n"), std::string::npos) << f.result.out;
  EXPECT_FALSE(std::filesystem::exists(dir / "many-3.dtt"));
  ASSERT_TRUE(f.summary && f.summary->capture) << f.result.out;
  EXPECT_GE(f.summary->exceptions.at("System.InvalidOperationException"), 3u);
  EXPECT_TRUE(tw::tools::inspect_snapshot(second).capture);
  // The report marks the capture on its timeline.
  ASSERT_EQ(run("report " + q(second) + " -o " + q(dir / "many-2.html")).exit_code, 0);
  EXPECT_NE(file_text(dir / "many-2.html").find("\"capture\":{\"ms\":"), std::string::npos);

  // A temporary directory of its own, short enough for the program's socket.
  const scratch_folder tmp("r");
  const auto& ring = tmp.path();
  std::atomic<bool> done{false};
  std::uintmax_t most = 0;
  std::thread watch([&] {
    while (!done.load()) {
      std::uintmax_t bytes = 0;
      std::error_code ec;
      for (auto it = std::filesystem::recursive_directory_iterator(ring / "TarnFlight", ec);
           !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
        if (it->is_regular_file(ec)) bytes += it->file_size(ec);
      most = std::max(most, bytes);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  const auto bounded = fly(dir, "bounded", "--last 60 --max-size 1", "throw-rate 3000 4", "TMPDIR=" + q(ring));
  done.store(true);
  watch.join();
  EXPECT_GT(most, 0u);
  EXPECT_LE(most, 1u << 20);
  std::error_code ec;
  EXPECT_EQ(std::distance(std::filesystem::recursive_directory_iterator(ring / "TarnFlight", ec),
                          std::filesystem::recursive_directory_iterator()),
            0)
      << "the ring is removed with the recording";
  EXPECT_NE(bounded.result.out.find("the recording's stream outgrew its bound of 1 MiB on disk"), std::string::npos)
      << bounded.result.out;
  ASSERT_TRUE(bounded.summary);
  EXPECT_GT(bounded.summary->exceptions.at("System.InvalidOperationException"), 100u);
}

}  // namespace

// Every control character, the unit separator as much as a newline, is
// escaped in eptl's JSON, whatever name carries it.
TEST(json_out, escapes_quotes_backslashes_and_every_control_character) {
  for (int c = 0; c < 0x20; ++c) {
    char expected[16];
    std::snprintf(expected, sizeof expected, "\"\\u%04x\"", c);
    EXPECT_EQ(tw::tools::json_string(std::string(1, static_cast<char>(c))), expected) << c;
  }
  EXPECT_EQ(tw::tools::json_string("a\"b\\ \x7f"), "\"a\\\"b\\\\ \x7f\"");
}

// The README's eptl commands that need no live program, run on the
// snapshot it calls core.dtt (net10-core converted): each prints the first
// line the README shows under it.
TEST(eptl, the_readme_shows_what_its_commands_print) {
  const scratch_folder dir;
  ASSERT_EQ(run("convert " + q(test_support::recording("net10-core")) + " --modules-only --modules " +
                q(std::filesystem::path(TW_SOURCE_DIR) / "tests" / "data" / "modules") + " -o " + q(dir / "core.dtt"))
                .exit_code,
            0);
  std::istringstream readme(file_text(std::filesystem::path(TW_SOURCE_DIR) / "README.md"));
  std::vector<std::string> lines;
  for (std::string line; std::getline(readme, line);) lines.push_back(line);
  int checked = 0;
  for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
    const std::string prompt = "    $ eptl ";
    if (lines[i].rfind(prompt, 0) != 0) continue;
    const auto args = lines[i].substr(prompt.size());
    // Only what the snapshot here answers: no live program, no other file.
    const bool live = args.rfind("record", 0) == 0 || args.rfind("ps", 0) == 0;
    bool other_file = args.find('|') != std::string::npos;
    std::istringstream words(args);
    for (std::string w; words >> w;)
      if ((w.ends_with(".dtt") || w.ends_with(".nettrace")) && w != "core.dtt") other_file = true;
    if (live || other_file) continue;
    SCOPED_TRACE(lines[i]);
    const auto said = run_command("cd " + q(dir.path()) + " && " + q(TW_EPTL_PATH) + " " + args).out;
    EXPECT_EQ(said.substr(0, said.find('\n')), lines[i + 1].substr(4));
    ++checked;
  }
  EXPECT_GE(checked, 8) << "the README's examples of eptl on core.dtt";
}
