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
#include "tools/trace_stats.h"
#include "tw/error/exception_text.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <iomanip>
#include <iostream>
#include <memory>
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

struct command_help {
  const char* name;
  const char* synopsis;
  const char* summary;
  const char* text;
};

constexpr command_help commands[] = {
    {"record",
     "eptl record --pid PID [--duration SECONDS] [-o OUT] [WINDOW]\n"
     "       eptl record [--duration SECONDS] [-o OUT] [WINDOW] -- COMMAND [ARG...]",
     "a .NET process, running or started here, into a snapshot",
     "Profiles a .NET process live, through the profiler library as a front end\n"
     "drives it (the library is loaded from beside eptl, else from the system's\n"
     "library path): garbage collections, JIT and module loads, exceptions,\n"
     "contention, CPU samples with their call stacks, Kestrel, SqlClient and tasks.\n"
     "\n"
     "--pid PID      the running process PID.\n"
     "-- COMMAND     starts COMMAND (for example: dotnet app.dll ARGS) with a\n"
     "               diagnostic port of the recording's own, suspended until the\n"
     "               snapshot runs, so that it is profiled from its first\n"
     "               instruction; its exit code is reported.\n"
     "--duration S   ends the recording after S seconds.\n"
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
    {"inspect", "eptl inspect SNAPSHOT [--json]",
     "what a snapshot holds",
     "Summarises a snapshot: the process, its time span, the records of every stream,\n"
     "threads, garbage collections, the runtime's suspensions (those for collections\n"
     "apart from the rest, the CPU sampler's among them), exceptions by type, lock\n"
     "contention, Kestrel connections and requests, and the CPU samples by kind:\n"
     "running managed code, running native code, waiting. The methods on top by\n"
     "exclusive and by inclusive samples count the first; the other two are listed\n"
     "by the innermost managed method, where the thread waits or calls native code.\n"
     "--json prints the same as one JSON object.\n"},
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
    std::cout << "\n'eptl COMMAND --help' describes a command. Exit codes: 0 done, 1 failed (the\n"
                 "reason is on standard error), 2 wrong usage, 130 cancelled.\n";
    return 0;
  }
  const auto* c = find_command(command);
  if (c == nullptr) return usage();
  std::cout << "usage: " << c->synopsis << "\n\n" << c->text;
  return 0;
}

int stats(const std::vector<std::string>& args) {
  std::string file;
  bool json = false;
  for (const auto& a : args) {
    if (a == "--json")
      json = true;
    else if (file.empty())
      file = a;
    else
      return usage();
  }
  if (file.empty()) return usage();
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
  if (args.size() != 1) return usage();
  subject = args[0];
  const tw::tools::snapshot_reader reader(args[0]);
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
  std::string file;
  bool json = false;
  for (const auto& a : args) {
    if (a == "--json") json = true;
    else if (file.empty()) file = a;
    else return usage();
  }
  if (file.empty()) return usage();
  subject = file;
  const auto summary = tw::tools::inspect_snapshot(file);
  if (json)
    tw::tools::print_json(std::cout, summary);
  else
    tw::tools::print_text(std::cout, summary);
  return 0;
}

int export_snapshot(const std::vector<std::string>& args) {
  std::string file, format, out;
  bool wall = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--format" && i + 1 < args.size()) format = args[++i];
    else if (args[i] == "-o" && i + 1 < args.size()) out = args[++i];
    else if (args[i] == "--wall") wall = true;
    else if (file.empty()) file = args[i];
    else return usage();
  }
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
  if (file.empty() || chosen == std::end(formats)) return usage();
  if (wall && chosen->as != export_format::folded) return usage();
  const auto as = wall ? export_format::folded_wall : chosen->as;
  subject = file;
  const tw::tools::snapshot_model model(file);
  if (out == "-") {
    tw::tools::export_snapshot(model, as, stdout);
    return 0;
  }
  if (out.empty()) out = file + chosen->extension;
  // Written beside its place and moved there when whole: a failed export
  // leaves no part of a file, nor harms one that was there.
  const std::string partial = out + ".partial";
  subject = out;
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(partial.c_str(), "wb"), &std::fclose);
  if (!f) throw std::runtime_error("Cannot create " + out + ": " + std::strerror(errno));
  try {
    tw::tools::export_snapshot(model, as, f.get());
    if (std::fclose(f.release()) != 0) throw std::runtime_error("Cannot write " + out + ": " + std::strerror(errno));
    std::filesystem::rename(partial, out);
  } catch (...) {
    std::error_code ignored;
    std::filesystem::remove(partial, ignored);
    throw;
  }
  std::cout << out << "\n";
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
  std::string in, out;
  tw_prof::conversion_options options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "-o" && i + 1 < args.size())
      out = args[++i];
    else if (args[i] == "--modules" && i + 1 < args.size())
      options.module_directories.push_back(args[++i]);
    else if (args[i] == "--modules-only")
      options.recorded_module_paths = false;
    else if (args[i] == "--threads" && i + 1 < args.size()) {
      try {
        const auto n = std::stoul(args[++i]);
        if (n == 0 || n > 1024) return usage();
        options.threads = static_cast<unsigned>(n);
      } catch (const std::logic_error&) {
        return usage();
      }
    } else if (in.empty())
      in = args[i];
    else
      return usage();
  }
  if (in.empty()) return usage();
  subject = in;
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

int record(const std::vector<std::string>& args) {
  tw::tools::record_options options;
  bool have_pid = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const bool has_value = i + 1 < args.size();
    try {
      if (args[i] == "--") {
        options.command.assign(args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end());
        if (options.command.empty()) return usage();
        break;
      } else if (args[i] == "--pid" && has_value) {
        const auto pid = std::stoul(args[++i]);
        if (pid == 0 || pid > 0xFFFFFFFFul) return usage();
        options.pid = static_cast<std::uint32_t>(pid);
        have_pid = true;
      } else if (args[i] == "--duration" && has_value) {
        options.seconds = std::stod(args[++i]);
        if (!(options.seconds > 0)) return usage();
      } else if (args[i] == "-o" && has_value) {
        options.out = args[++i];
      } else if (args[i] == "--last" && has_value) {
        options.window.last = std::chrono::seconds(std::stoul(args[++i]));
        if (options.window.last.count() == 0) return usage();
      } else if (args[i] == "--max-size" && has_value) {
        options.window.max_bytes = std::uint64_t{std::stoul(args[++i])} << 20;
        if (options.window.max_bytes == 0) return usage();
      } else if (args[i] == "--after" && has_value) {
        const double after = std::stod(args[++i]);
        if (!(after >= 0) || after > 3600) return usage();
        options.window.after = std::chrono::milliseconds(static_cast<long>(after * 1000));
      } else if (args[i] == "--on" && has_value) {
        options.window.triggers.push_back(args[++i]);
      } else if (args[i] == "--captures" && has_value) {
        options.captures = static_cast<unsigned>(std::stoul(args[++i]));
        if (options.captures == 0) return usage();
      } else {
        return usage();
      }
    } catch (const std::logic_error&) {  // not a number
      return usage();
    }
  }
  // One target: a running process or a program to start.
  if (have_pid == !options.command.empty()) return usage();
  // Triggers are checked before anything starts.
  if (!options.window.triggers.empty() && !options.window.windowed()) return usage();
  try {
    tw_prof::parse_triggers(options.window);
  } catch (const std::invalid_argument& e) {
    std::cerr << "eptl: --on: " << e.what() << "\n";
    return 2;
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
  if (find_command(command) != nullptr && std::any_of(args.begin(), args.end(), is_help)) return help(command);
  try {
    if (command == "stats") return stats(args);
    if (command == "sections") return sections(args);
    if (command == "convert") return convert(args);
    if (command == "record") return record(args);
    if (command == "inspect") return inspect(args);
    if (command == "export") return export_snapshot(args);
    if (command == "ps") {
      if (!args.empty()) return usage();
      // The runtimes put their sockets where TMPDIR says, as we look for them.
      tw::tools::print_processes(std::cout, tw::tools::find_dotnet_processes(
                                                tarnwell::collector::event_pipe::diagnostic_directory()));
      return 0;
    }
  } catch (...) {
    return report_failure(subject);
  }
  return usage();
}
