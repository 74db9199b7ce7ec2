// eptl: command-line companion of the profiler library. Its commands and
// their help texts are in `commands` below.

#include "api/collectors.h"
#include "tw/log/log.h"
#include "event_pipe_api/src/event_pipe_consumer_api.h"
#include "event_pipe_api/src/nettrace/metadata.h"
#include "event_pipe_api/src/session.h"
#include "tools/process_list.h"
#include "tools/progress_bar.h"
#include "tools/record.h"
#include "tools/snapshot_export.h"
#include "tools/snapshot_inspect.h"
#include "tools/snapshot_reader.h"
#include "tools/snapshot_report.h"
#include "tools/trace_stats.h"
#include "tw/error/exception_text.h"

#include <boost/program_options.hpp>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <filesystem>
#include <iomanip>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// What a failure is about: the file the command works on.
std::string subject;

// Inside a catch handler: one line for the person at the terminal, every
// detail (source location, function) for the log, when one is open.
int report_failure(const std::string& about) {
  TW_LOG(error) << tw::current_exception_to_string();
  const auto summary = tw::current_exception_summary();
  std::cerr << "eptl: ";
  if (!about.empty() && summary.find(about) == std::string::npos) std::cerr << about << ": ";
  std::cerr << summary << "\n";
  return 1;
}

namespace po = boost::program_options;

// A mistake on the command line, told in a line that names it: exit 2.
struct usage_error : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A command's options, --opt value and --opt=value alike (and the short forms
// each declares), and its positional arguments. Nothing is guessed from a
// prefix: --dur is not --duration.
po::variables_map parse_options(const std::vector<std::string>& args, const po::options_description& options,
                                const po::positional_options_description& positional = {}) {
  po::variables_map values;
  try {
    const auto style = po::command_line_style::unix_style & ~po::command_line_style::allow_guessing;
    po::store(po::command_line_parser(args).options(options).positional(positional).style(style).run(), values);
    po::notify(values);
  } catch (const po::error& e) {
    throw usage_error(e.what());
  }
  return values;
}

// A mistake in a value: "OPTION: 'TEXT' is not WHAT".
[[noreturn]] void wrong_value(const std::string& option, const std::string& text, const std::string& what) {
  throw usage_error(option + ": '" + text + "' is not " + what);
}

// A whole number from `least` to `most`.
std::uint64_t number_value(const std::string& option, const std::string& text, std::uint64_t least,
                           std::uint64_t most, const std::string& what) {
  std::uint64_t n = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), n);
  if (error != std::errc() || end != text.data() + text.size() || n < least || n > most)
    wrong_value(option, text, what);
  return n;
}

// Seconds, as "10", "2.5", "10s" or "2m"; above zero unless `zero` may be.
double seconds_value(const std::string& option, const std::string& text, bool zero = false) {
  std::size_t used = 0;
  double seconds = -1;
  try {
    seconds = std::stod(text, &used);
  } catch (const std::logic_error&) {
  }
  const std::string unit = used < text.size() ? text.substr(used) : "";
  if (unit == "m")
    seconds *= 60;
  else if (!unit.empty() && unit != "s")
    seconds = -1;
  if (!(seconds > 0 || (zero && seconds == 0)) || seconds > 1e7) wrong_value(option, text, "a duration (10, 10s or 2m)");
  return seconds;
}

// What a file is, from its first bytes, for the commands that read one kind.
enum class file_kind { recording, snapshot, other, unread };

file_kind kind_of(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) throw std::runtime_error("Cannot open " + path + ": " + std::strerror(errno));
  // A pipe's bytes are the conversion's: nothing is taken from it here.
  if (!S_ISREG(st.st_mode)) return file_kind::unread;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error("Cannot open " + path + ": " + std::strerror(errno));
  char head[8] = {};
  const auto got = ::read(fd, head, sizeof head);
  ::close(fd);
  if (got == 8 && std::memcmp(head, "Nettrace", 8) == 0) return file_kind::recording;
  if (got >= 2 && head[0] == 'M' && head[1] == 'F') return file_kind::snapshot;
  return file_kind::other;
}

// Refuses a file of another kind than the command reads, saying which
// command reads it.
void expect_recording(const std::string& path) {
  switch (kind_of(path)) {
    case file_kind::snapshot: throw std::runtime_error(path + " is a snapshot; eptl inspect or eptl export read it");
    case file_kind::other:
      throw std::runtime_error(path + " is not a recording: a .nettrace file, as dotnet-trace or the runtime write it");
    default: break;
  }
}

void expect_snapshot(const std::string& path) {
  switch (kind_of(path)) {
    case file_kind::recording: throw std::runtime_error(path + " is a recording; eptl convert makes a snapshot of it");
    case file_kind::other:
    case file_kind::unread:
      throw std::runtime_error(path + " is not a snapshot: the index file that eptl convert or eptl record writes");
    default: break;
  }
}

// The one positional argument a command needs.
std::string required_file(const po::variables_map& values, const char* what) {
  if (!values.count("file")) throw usage_error(std::string("which ") + what + "? none was named");
  return values["file"].as<std::string>();
}

struct command_help {
  const char* name;
  const char* synopsis;
  const char* summary;
  const char* text;
};

constexpr command_help commands[] = {
    {"record",
     "eptl record --pid PID|--name NAME [--duration SECONDS] [-o OUT] [WINDOW]\n"
     "       eptl record [--duration SECONDS] [-o OUT] [WINDOW] -- COMMAND [ARG...]",
     "a .NET process, running or started here, into a snapshot",
     "Profiles a .NET process live, through the profiler library as a front end\n"
     "drives it (the library is loaded from beside eptl, else from the system's\n"
     "library path): garbage collections, JIT and module loads, exceptions,\n"
     "contention, CPU samples with their call stacks, Kestrel, SqlClient and tasks.\n"
     "\n"
     "-p, --pid PID  the running process PID.\n"
     "-n, --name N   the running .NET process named N (its entry assembly's name,\n"
     "               as eptl ps shows it); when several are, they are listed.\n"
     "-- COMMAND     starts COMMAND (for example: dotnet app.dll ARGS) with a\n"
     "               diagnostic port of the recording's own, suspended until the\n"
     "               snapshot runs, so that it is profiled from its first\n"
     "               instruction; its exit code is reported.\n"
     "--duration S   ends the recording after S (seconds: 10, 10s; minutes: 2m).\n"
     "-o OUT         the snapshot's index (default pid-PID.dtt, or the program's\n"
     "               name with .dtt); its section files go beside it.\n"
     "\n"
     "A flight recording (WINDOW) keeps only the most recent stretch on disk and\n"
     "saves it when the recording ends or a trigger fires:\n"
     "--last S       keeps the last S seconds.\n"
     "--max-size MB  at most MB megabytes on disk (256); a window the bound cuts\n"
     "               short is said to be.\n"
     "--on TRIGGER   fires a capture, repeated for more: exception=TYPE (its full\n"
     "               name), gc-pause=MS, request=MS (a Kestrel request),\n"
     "               contention=MS (a lock wait), cpu=PERCENT (of one core, over\n"
     "               the last second).\n"
     "--after S      records S seconds more after a trigger (5), then saves.\n"
     "--captures N   records on after a capture, up to N, saved as OUT, then\n"
     "               NAME-2.EXT, NAME-3.EXT... (1).\n"
     "A program started here writes the runtime's crash report should it die: its\n"
     "fatal exception, thread and stack join the snapshot.\n"
     "\n"
     "On a terminal a status line shows the time and the snapshot's size so far.\n"
     "The recording ends after SECONDS, at Ctrl-C (or SIGTERM), or when the process\n"
     "exits; the snapshot is then saved and its path printed. A second Ctrl-C while\n"
     "it is being saved drops it: nothing is written and the exit code is 130.\n"},
    {"convert", "eptl convert IN.nettrace [-o OUT] [--modules DIR]... [--modules-only] [--threads N]",
     "a recorded trace into a snapshot",
     "Converts a recorded trace (a .nettrace file, or a pipe that delivers one) into a\n"
     "timeline snapshot: the index file OUT and its numbered section files OUT.0000,\n"
     "OUT.0001, ... OUT defaults to IN with the extension .dtt. Progress goes to\n"
     "standard error; the snapshot's path is printed when it is written.\n"
     "\n"
     "--modules DIR    where to look for a module file the recording names but that\n"
     "                 is not at its path (by its file name; may repeat). A file is\n"
     "                 read only when it is the build the recording loaded.\n"
     "--modules-only   read module files from the --modules directories alone.\n"
     "--threads N      threads to convert on (1): from 2 on, the file is mapped and\n"
     "                 its events are handled beside the decoding. The snapshot is\n"
     "                 the same for any N.\n"
     "\n"
     "Ctrl-C (or SIGTERM) cancels: nothing is written, and the exit code is 130.\n"
     "A trace cut short or damaged (its program or recorder died) is converted up\n"
     "to the damage, with a warning that says where it ends and how many events\n"
     "were converted. A trace of which nothing can be read ends with a message and\n"
     "exit code 1.\n"},
    {"inspect", "eptl inspect SNAPSHOT [--json] [--from S] [--to S]",
     "what a snapshot holds",
     "Summarises a snapshot: the process, its time span, threads, garbage\n"
     "collections, the runtime's suspensions by their cause, exceptions by type, lock\n"
     "contention, Kestrel requests (their times: p50, p95, max) by the method that\n"
     "met them, allocation ticks by heap and by the allocating method, the records\n"
     "of every stream, and the CPU samples by kind: running managed code, running\n"
     "native code, waiting. The methods on top by exclusive and by inclusive samples\n"
     "count the first; the other two are listed by the innermost managed method,\n"
     "where the thread waits or calls native code.\n"
     "\n"
     "--json     prints the same as one JSON object.\n"
     "--from S   counts the events from S seconds after the snapshot's start on.\n"
     "--to S     counts the events before S seconds after the start.\n"},
    {"export", "eptl export SNAPSHOT --format speedscope|chrome|pprof|collapsed [--wall] [-o FILE]",
     "a snapshot for speedscope, Perfetto, chrome://tracing, pprof or flame graphs",
     "Writes a snapshot in the file format of another viewer.\n"
     "\n"
     "--format speedscope  the CPU samples as speedscope profiles (open the file at\n"
     "                     speedscope.app or in a local copy of speedscope): one of\n"
     "                     all threads, then one per thread, busiest first. Each\n"
     "                     sample weighs the sampler's period, in milliseconds;\n"
     "                     a method's frame names its module as its file.\n"
     "                     A thread the sampler found waiting ends in the frame\n"
     "                     \"[waiting]\", one running native code in\n"
     "                     \"[running native code]\".\n"
     "--format chrome      the Trace Event format that Perfetto UI (ui.perfetto.dev)\n"
     "                     and chrome://tracing open: a track per thread with its\n"
     "                     GCs, suspensions, lock contention, SqlClient scopes and\n"
     "                     task work as slices, exceptions and allocation ticks as\n"
     "                     instants; Kestrel connections and requests and task\n"
     "                     operations as async slices; beside each sampled thread\n"
     "                     a track of its samples' stacks, and each event's top\n"
     "                     frames in its arguments. Times are microseconds from\n"
     "                     the snapshot's start.\n"
     "--format pprof       a gzipped pprof profile (pprof, Grafana Pyroscope,\n"
     "                     Parca and other profile stores read it) of the CPU\n"
     "                     samples: sample types cpu (threads running managed\n"
     "                     or native code) and wall (every sample) in\n"
     "                     nanoseconds, each sample labelled with its thread's id\n"
     "                     and name and its state: running managed code,\n"
     "                     running native code, or waiting.\n"
     "--format collapsed   folded stacks for flame-graph tools (flamegraph.pl,\n"
     "                     inferno, speedscope): \"THREAD;OUTER;...;INNER COUNT\"\n"
     "                     per distinct stack, of the samples of threads running\n"
     "                     managed or native code; with --wall, of every sample.\n"
     "-o FILE              where to write (default SNAPSHOT.speedscope.json,\n"
     "                     SNAPSHOT.trace.json, SNAPSHOT.pb.gz or SNAPSHOT.folded;\n"
     "                     - for standard output). The file appears only once it\n"
     "                     is whole.\n"},
    {"report", "eptl report SNAPSHOT [-o FILE.html]",
     "a snapshot as one HTML page to open in a browser",
     "Writes a snapshot as one self-contained HTML page (default SNAPSHOT.html): its\n"
     "script, style and data are inside, and it asks the network for nothing, so it\n"
     "opens from disk anywhere. It shows:\n"
     "- the summary that eptl inspect prints;\n"
     "- a timeline: a row per thread, busiest first, with its CPU over time and\n"
     "  marks for its exceptions, lock contention, Kestrel requests and SQL calls;\n"
     "  the runtime's GCs and suspensions in a row of their own (GCs shaded across\n"
     "  every thread); a flight recording's capture. Hover for what each mark is.\n"
     "  Dragging across the timeline selects a stretch of time;\n"
     "- a flame graph of that stretch's samples, CPU (threads running) or wall\n"
     "  (every sample): click a frame to zoom into it, search to mark frames with\n"
     "  their share;\n"
     "- the top methods of that stretch, by exclusive and inclusive samples.\n"
     "\n"
     "-o FILE   where to write the page.\n"},
    {"stats", "eptl stats FILE.nettrace [--json]",
     "a recorded trace's header and event counts",
     "Reads a recorded trace without converting it: its header, how it ended, the\n"
     "events the runtime lost, and the count of each event by provider and id.\n"
     "--json prints the same as one JSON object.\n"},
    {"sections", "eptl sections SNAPSHOT",
     "a snapshot's section table",
     "Lists a snapshot's sections: id, version, length and the file that holds each.\n"},
    {"ps", "eptl ps",
     "this user's running .NET processes",
     "Lists this user's running .NET processes, found by their diagnostic sockets:\n"
     "pid, name, runtime version and command line, as each runtime reports them.\n"},
};

const command_help* find_command(const std::string& name) {
  for (const auto& c : commands)
    if (name == c.name) return &c;
  return nullptr;
}

bool is_help(const std::string& a) { return a == "--help" || a == "-h"; }

std::string command_names() {
  std::string names;
  for (const auto& c : commands) names.append(names.empty() ? "" : ", ").append(c.name);
  return names;
}

void print_synopses(std::ostream& out) {
  bool first = true;
  for (const auto& c : commands) {
    out << (first ? "usage: " : "       ") << c.synopsis << "\n";
    first = false;
  }
}

int usage() {
  print_synopses(std::cerr);
  std::cerr << "'eptl --help' and 'eptl COMMAND --help' say more.\n";
  return 2;
}

int help(const std::string& command) {
  if (command.empty()) {
    std::cout << "eptl: the command-line companion of the .NET timeline profiler.\n\n";
    print_synopses(std::cout);
    std::cout << "\ncommands:\n";
    for (const auto& c : commands) std::cout << "  " << std::left << std::setw(10) << c.name << c.summary << "\n";
    std::cout << "\n'eptl COMMAND --help' describes a command; 'eptl --version' prints the version.\n"
                 "An option's value may follow it or an '=': --format pprof, --format=pprof.\n"
                 "Exit codes: 0 done, 1 failed (the reason is on standard error), 2 wrong\n"
                 "usage (what was wrong is said), 130 cancelled.\n";
    return 0;
  }
  const auto* c = find_command(command);
  if (c == nullptr) return usage();
  std::cout << "usage: " << c->synopsis << "\n\n" << c->text;
  return 0;
}

// A command's options and the one file it names (its positional argument).
po::variables_map parse_with_file(const std::vector<std::string>& args, po::options_description options) {
  options.add_options()("file", po::value<std::string>());
  po::positional_options_description positional;
  positional.add("file", 1);
  return parse_options(args, options, positional);
}

int stats(const std::vector<std::string>& args) {
  po::options_description options;
  options.add_options()("json", "");
  const auto values = parse_with_file(args, options);
  const auto file = required_file(values, "recording");
  const bool json = values.count("json") != 0;
  subject = file;
  expect_recording(file);
  const auto result = tw::tools::collect_trace_stats(file);
  if (json)
    tw::tools::print_json(std::cout, result);
  else
    tw::tools::print_text(std::cout, result);
  if (result.status.status == tarnwell::collector::event_pipe::consumer_status::failed) {
    try {
      std::rethrow_exception(result.status.error);
    } catch (...) {
      return report_failure(file);
    }
  }
  return 0;
}

int sections(const std::vector<std::string>& args) {
  const auto file = required_file(parse_with_file(args, po::options_description()), "snapshot");
  subject = file;
  expect_snapshot(file);
  const tw::tools::snapshot_reader reader(file);
  std::cout << "format 0x" << std::hex << reader.format() << std::dec;
  if (reader.version()) std::cout << ", version " << *reader.version();
  std::cout << ", " << reader.sections().size() << " sections\n";
  std::cout << "   id  version        length  file\n";
  for (const auto& s : reader.sections()) {
    std::cout << std::setw(5) << s.id << std::setw(9) << s.version << std::setw(14) << s.length << "  "
              << reader.file_path(s.file).filename().string() << "\n";
  }
  return 0;
}

int inspect(const std::vector<std::string>& args) {
  po::options_description options;
  std::string from, to;
  options.add_options()("json", "")("from", po::value(&from))("to", po::value(&to));
  const auto values = parse_with_file(args, options);
  const auto file = required_file(values, "snapshot");
  const bool json = values.count("json") != 0;
  std::optional<double> from_s, to_s;
  if (!from.empty()) from_s = seconds_value("--from", from, true);
  if (!to.empty()) to_s = seconds_value("--to", to, true);
  if (from_s && to_s && *to_s <= *from_s) wrong_value("--to", to, "after --from");
  subject = file;
  expect_snapshot(file);
  const auto summary = tw::tools::inspect_snapshot(file, from_s, to_s);
  if (json)
    tw::tools::print_json(std::cout, summary);
  else
    tw::tools::print_text(std::cout, summary);
  return 0;
}

// Writes OUT through `write`, beside its place, and moves it there when
// whole: a failure leaves no part of a file, nor harms one that was there.
// Prints OUT.
template <class Write>
void write_whole(const std::string& out, Write&& write) {
  const std::string partial = out + ".partial";
  subject = out;
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(partial.c_str(), "wb"), &std::fclose);
  if (!f) throw std::runtime_error("Cannot create " + out + ": " + std::strerror(errno));
  try {
    write(f.get());
    if (std::fclose(f.release()) != 0) throw std::runtime_error("Cannot write " + out + ": " + std::strerror(errno));
    std::filesystem::rename(partial, out);
  } catch (...) {
    std::error_code ignored;
    std::filesystem::remove(partial, ignored);
    throw;
  }
  std::cout << out << "\n";
}

int export_snapshot(const std::vector<std::string>& args) {
  po::options_description options;
  std::string format, out;
  options.add_options()("format", po::value(&format)->required())("output,o", po::value(&out))("wall", "");
  const auto values = parse_with_file(args, options);
  const auto file = required_file(values, "snapshot");
  const bool wall = values.count("wall") != 0;
  using tw::tools::export_format;
  // What each format is written as, and the file's name beside the snapshot.
  // speedscope opens a file named *.chrome.json as a bare event array: the
  // Trace Event file is *.trace.json.
  struct named_format {
    const char* name;
    export_format as;
    const char* extension;
  };
  static constexpr named_format formats[] = {{"speedscope", export_format::speedscope, ".speedscope.json"},
                                             {"chrome", export_format::chrome, ".trace.json"},
                                             {"pprof", export_format::pprof, ".pb.gz"},
                                             {"collapsed", export_format::folded, ".folded"}};
  const auto* chosen = std::find_if(std::begin(formats), std::end(formats),
                                    [&](const named_format& f) { return format == f.name; });
  if (chosen == std::end(formats)) wrong_value("--format", format, "one of speedscope, chrome, pprof, collapsed");
  if (wall && chosen->as != export_format::folded) throw usage_error("--wall: only --format collapsed has it");
  const auto as = wall ? export_format::folded_wall : chosen->as;
  subject = file;
  expect_snapshot(file);
  const tw::tools::snapshot_model model(file);
  if (out == "-") {
    tw::tools::export_snapshot(model, as, stdout);
    return 0;
  }
  if (out.empty()) out = file + chosen->extension;
  write_whole(out, [&](std::FILE* f) { tw::tools::export_snapshot(model, as, f); });
  return 0;
}

int report(const std::vector<std::string>& args) {
  po::options_description options;
  std::string out;
  options.add_options()("output,o", po::value(&out));
  const auto file = required_file(parse_with_file(args, options), "snapshot");
  subject = file;
  expect_snapshot(file);
  const tw::tools::snapshot_model model(file);
  std::ostringstream summary;
  tw::tools::print_text(summary, tw::tools::inspect_snapshot(model));
  if (out.empty()) out = file + ".html";
  write_whole(out, [&](std::FILE* f) { tw::tools::write_report(model, summary.str(), f); });
  return 0;
}

std::atomic<int> interrupts{0};
bool progress_on_terminal = false;
unsigned long last_percent = ~0ul;

extern "C" void on_interrupt(int) {
  interrupts.fetch_add(1);
}

// Interrupts are polled, never waited on, so system calls restart: a Ctrl-C
// that lands in a write to the terminal would otherwise fail that write with
// EINTR, and std::cerr, once failed, prints nothing more.
void catch_interrupts() {
  struct sigaction action {};
  action.sa_handler = on_interrupt;
  action.sa_flags = SA_RESTART;
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
}

int report_progress(unsigned long current, unsigned long total, unsigned long finished) {
  if (interrupts.load() > 0) return 0;
  const unsigned long percent = total ? current * 100 / total : 0;
  if (percent != last_percent || finished) {
    last_percent = percent;
    if (progress_on_terminal) {
      std::cerr << "\r" << tw::tools::progress_bar(percent) << (finished ? "\n" : "") << std::flush;
    } else {
      std::cerr << "progress " << percent << "%" << (finished ? " done" : "") << "\n";
    }
  }
  return 1;
}

int convert(const std::vector<std::string>& args) {
  std::string out, threads = "1";
  std::vector<std::string> modules;
  tw_prof::conversion_options options;
  po::options_description described;
  described.add_options()("output,o", po::value(&out))(
      "modules", po::value<std::vector<std::string>>(&modules)->composing())(
      "modules-only", "")("threads", po::value(&threads));
  const auto values = parse_with_file(args, described);
  const auto in = required_file(values, "recording");
  options.module_directories.assign(modules.begin(), modules.end());
  options.recorded_module_paths = values.count("modules-only") == 0;
  options.threads = static_cast<unsigned>(number_value("--threads", threads, 1, 1024, "a count of threads (1 to 1024)"));
  subject = in;
  expect_recording(in);
  if (out.empty()) out = std::filesystem::path(in).replace_extension(".dtt").string();
  progress_on_terminal = ::isatty(2);
  catch_interrupts();
  tw_prof::conversion_outcome outcome;
  try {
    void* holder = tw_prof::create_nettrace_collector(in, out, "", &report_progress, options);
    tw_prof::release_nettrace_collector(holder, &outcome);
  } catch (const tw_prof::snapshot_write_error&) {
    subject = out;  // what failed is the snapshot, not the trace
    throw;
  }
  if (interrupts.load() > 0) {
    std::cerr << "eptl: conversion cancelled, nothing was written\n";
    return 130;
  }
  if (outcome.ended_early)
    std::cerr << "eptl: warning: " << in << " ends early at byte " << outcome.position << " (" << outcome.reason
              << "): the " << outcome.events << " events before it were converted\n";
  std::cout << out << "\n";
  return 0;
}

// The process of that name (its entry assembly's or its executable's) among
// this user's .NET processes; several are listed, not guessed between.
std::uint32_t pid_by_name(const std::string& name) {
  std::vector<tw::tools::dotnet_process> found;
  for (auto& p : tw::tools::find_dotnet_processes(tarnwell::collector::event_pipe::diagnostic_directory()))
    if (p.name == name) found.push_back(std::move(p));
  if (found.empty()) throw usage_error("--name: no .NET process of this user is named '" + name + "' (eptl ps lists them)");
  if (found.size() > 1) {
    std::string pids;
    for (const auto& p : found) pids += (pids.empty() ? "" : ", ") + std::to_string(p.pid);
    throw usage_error("--name: " + std::to_string(found.size()) + " processes are named '" + name + "' (pids " + pids +
                      "): --pid says which");
  }
  return static_cast<std::uint32_t>(found[0].pid);
}

int record(const std::vector<std::string>& args) {
  tw::tools::record_options options;
  // What follows "--" is the program to start, its own options and all.
  const auto dashes = std::find(args.begin(), args.end(), "--");
  if (dashes != args.end()) {
    options.command.assign(dashes + 1, args.end());
    if (options.command.empty()) throw usage_error("--: the program to start is missing");
  }
  std::string pid, name, duration, last, max_size, after, captures;
  po::options_description described;
  described.add_options()("pid,p", po::value(&pid))("name,n", po::value(&name))("duration", po::value(&duration))(
      "output,o", po::value(&options.out))("last", po::value(&last))("max-size", po::value(&max_size))(
      "after", po::value(&after))("on", po::value<std::vector<std::string>>(&options.window.triggers)->composing())(
      "captures", po::value(&captures));
  const auto values = parse_options({args.begin(), dashes}, described);
  // One target: a running process or a program to start.
  const int targets = !pid.empty() + !name.empty() + !options.command.empty();
  if (targets == 0) throw usage_error("which process? --pid PID, --name NAME or -- COMMAND names one");
  if (targets > 1) throw usage_error("one process at a time: --pid, --name or -- COMMAND, not two of them");
  if (!pid.empty()) options.pid = static_cast<std::uint32_t>(number_value("--pid", pid, 1, 0x7FFFFFFF, "a process id"));
  if (!name.empty()) options.pid = pid_by_name(name);
  const bool have_pid = options.pid != 0;
  if (!duration.empty()) options.seconds = seconds_value("--duration", duration);
  if (!last.empty())
    options.window.last = std::chrono::seconds(
        number_value("--last", last, 1, 7 * 24 * 3600, "a count of seconds (1 to a week)"));
  if (!max_size.empty())
    options.window.max_bytes = number_value("--max-size", max_size, 1, 1 << 20, "a size in megabytes (1 to 1048576)")
                               << 20;
  if (!after.empty()) {
    const double seconds = seconds_value("--after", after, true);
    if (seconds > 3600) wrong_value("--after", after, "a duration of an hour or less");
    options.window.after = std::chrono::milliseconds(static_cast<long>(seconds * 1000));
  }
  if (!captures.empty())
    options.captures = static_cast<unsigned>(number_value("--captures", captures, 1, 1000, "a count (1 to 1000)"));
  // Triggers are checked before anything starts.
  if (!options.window.triggers.empty() && !options.window.windowed())
    throw usage_error("--on: a trigger saves a window: --last SECONDS gives it");
  try {
    tw_prof::parse_triggers(options.window);
  } catch (const std::invalid_argument& e) {
    throw usage_error(std::string("--on: ") + e.what());
  }
  if (options.out.empty()) {
    std::string line;
    for (const auto& a : options.command) line.append(a).append(" ");
    std::string name = have_pid ? "pid-" : tw::tools::process_name_from_command_line(line);
    if (have_pid) name.append(std::to_string(options.pid));
    options.out = name.append(".dtt");
  }
  subject = have_pid ? "pid " + std::to_string(options.pid) : options.command[0];
  catch_interrupts();
  return tw::tools::record(options, interrupts);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  const std::string command = argv[1];
  std::vector<std::string> args(argv + 2, argv + argc);
  if (is_help(command) || command == "help") return help(args.empty() ? std::string() : args[0]);
  if (command == "--version" || command == "-V") {
    std::cout << "eptl " << TW_VERSION << "\n";
    return 0;
  }
  if (find_command(command) == nullptr) {
    std::cerr << "eptl: '" << command << "' is not a command: " << command_names() << "\n";
    return usage();
  }
  // A flag anywhere before a program's own arguments asks for help.
  const auto own = std::find(args.begin(), args.end(), "--");
  if (std::any_of(args.begin(), own, is_help)) return help(command);
  try {
    if (command == "stats") return stats(args);
    if (command == "sections") return sections(args);
    if (command == "convert") return convert(args);
    if (command == "record") return record(args);
    if (command == "inspect") return inspect(args);
    if (command == "export") return export_snapshot(args);
    if (command == "report") return report(args);
    if (command == "ps") {
      parse_options(args, po::options_description());
      // The runtimes put their sockets where TMPDIR says, as we look for them.
      tw::tools::print_processes(std::cout, tw::tools::find_dotnet_processes(
                                                tarnwell::collector::event_pipe::diagnostic_directory()));
      return 0;
    }
  } catch (const usage_error& e) {
    std::cerr << "eptl: " << e.what() << "\n'eptl " << command << " --help' lists its options.\n";
    return 2;
  } catch (...) {
    return report_failure(subject);
  }
  return usage();
}
