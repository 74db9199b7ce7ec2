#pragma once

// What the runtime's own crash report says of a program that died: the .NET
// runtime, asked to (DOTNET_DbgEnableMiniDump=1, DOTNET_EnableCrashReport=1,
// DOTNET_DbgMiniDumpName=PATH), runs createdump as the program dies, and it
// writes PATH.crashreport.json: the exception that killed the program, its
// thread and that thread's managed frames. The runtime's own events of the
// crash never leave the dying process; the report does.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace tw_prof {

struct crash_frame {
  std::uint64_t address = 0;  // the frame's code address
  std::uint32_t token = 0;    // its method's metadata token
  std::string method;         // "Type.Method(Arguments)", as the report names it
  std::string module;         // its module's file name
};

struct crash_report {
  std::string exception_type;     // "System.FormatException"
  std::uint32_t thread_id = 0;    // the crashed thread, as the program's events name it
  std::vector<crash_frame> frames;  // managed frames, innermost first
};

// Where a program's runtime writes its crash report, read from its
// environment while it lives: none unless it asks for one. `root` is the
// program's root as seen here (a container's), `namespace_pid` its pid as it
// sees itself.
std::optional<std::filesystem::path> crash_report_path(pid_t pid, pid_t namespace_pid, const std::string& root);

// The report at `path`; none when there is none, or it says of no crashed
// thread. Throws std::runtime_error for a report that cannot be read.
std::optional<crash_report> read_crash_report(const std::filesystem::path& path);

// The variables a launcher sets so that a program's crash leaves a report
// in `folder` (and a minidump of its threads only beside it).
std::vector<std::pair<std::string, std::string>> crash_report_environment(const std::filesystem::path& folder);

}  // namespace tw_prof
