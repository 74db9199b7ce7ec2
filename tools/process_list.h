#pragma once

// The .NET processes of this user, found by their diagnostic sockets and
// described by their runtimes.

#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

namespace tw::tools {

struct dotnet_process {
  int pid = 0;                  // as this process sees it: what record --pid takes
  int namespace_pid = 0;        // in its own pid namespace, when it has one (a container)
  std::string name;             // the entry assembly, else the executable's name
  std::string command_line;
  std::string runtime_version;  // without the build's commit
  std::string error;            // why the runtime could not be asked, if it could not
};

// Sockets in `directory` (the runtimes' temporary directory) that belong to
// this user and to a live process, and those of processes in other mount
// namespaces (containers) found under their roots; by pid.
std::vector<dotnet_process> find_dotnet_processes(const std::filesystem::path& directory);
void print_processes(std::ostream& out, const std::vector<dotnet_process>& processes);

}  // namespace tw::tools
