// eptl: command-line companion of the profiler library.
//   eptl stats FILE.nettrace [--json]   trace header and event counts
//   eptl sections SNAPSHOT              the snapshot's section table
//   eptl convert IN.nettrace [-o OUT]   a recorded trace into a snapshot
//   eptl inspect SNAPSHOT [--json]      what a snapshot holds
//   eptl ps                             this user's .NET processes

#include "api/collectors.h"
#include "api/log.h"
#include "event_pipe_api/src/event_pipe_consumer_api.h"
#include "event_pipe_api/src/nettrace/metadata.h"
#include "event_pipe_api/src/session.h"
#include "tools/process_list.h"
#include "tools/snapshot_inspect.h"
#include "tools/snapshot_reader.h"
#include "tools/trace_stats.h"
#include "tw/error/exception_text.h"

#include <atomic>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <iomanip>
#include <iostream>
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

int usage() {
  std::cerr << "usage: eptl stats FILE.nettrace [--json]\n"
               "       eptl sections SNAPSHOT\n"
               "       eptl convert IN.nettrace [-o OUT]\n"
               "       eptl inspect SNAPSHOT [--json]\n"
               "       eptl ps\n";
  return 2;
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

std::atomic<bool> interrupted{false};
bool progress_on_terminal = false;
unsigned long last_percent = ~0ul;

extern "C" void on_interrupt(int) { interrupted.store(true); }

int report_progress(unsigned long current, unsigned long total, unsigned long finished) {
  if (interrupted.load()) return 0;
  const unsigned long percent = total ? current * 100 / total : 0;
  if (percent != last_percent || finished) {
    last_percent = percent;
    if (progress_on_terminal) {
      const int width = 40;
      const int filled = static_cast<int>(percent * width / 100);
      std::cerr << "\r[" << std::string(filled, '#') << std::string(width - filled, ' ') << "] " << std::setw(3)
                << percent << "%" << (finished ? "\n" : "") << std::flush;
    } else {
      std::cerr << "progress " << percent << "%" << (finished ? " done" : "") << "\n";
    }
  }
  return 1;
}

int convert(const std::vector<std::string>& args) {
  std::string in, out;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "-o" && i + 1 < args.size())
      out = args[++i];
    else if (in.empty())
      in = args[i];
    else
      return usage();
  }
  if (in.empty()) return usage();
  subject = in;
  if (out.empty()) out = std::filesystem::path(in).replace_extension(".dtt").string();
  progress_on_terminal = ::isatty(2);
  struct sigaction action {};
  action.sa_handler = on_interrupt;
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
  void* holder = tw_prof::create_nettrace_collector(in, out, "", &report_progress);
  tw_prof::release_nettrace_collector(holder);
  if (interrupted.load()) {
    std::cerr << "eptl: conversion cancelled, nothing was written\n";
    return 130;
  }
  std::cout << out << "\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  const std::string command = argv[1];
  std::vector<std::string> args(argv + 2, argv + argc);
  try {
    if (command == "stats") return stats(args);
    if (command == "sections") return sections(args);
    if (command == "convert") return convert(args);
    if (command == "inspect") return inspect(args);
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
