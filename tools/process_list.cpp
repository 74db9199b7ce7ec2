#include "tools/process_list.h"

#include "event_pipe_api/src/session.h"
#include "tw/error/exception_text.h"
#include "tw/system/linux/detail_proc_utils.h"

#include <algorithm>
#include <csignal>
#include <fstream>
#include <iomanip>
#include <map>
#include <sys/stat.h>
#include <unistd.h>

namespace tw::tools {

namespace fs = std::filesystem;

std::vector<dotnet_process> find_dotnet_processes(const fs::path& directory) {
  // A process restarted under the same pid leaves an older socket: the
  // newest key is the live one.
  std::map<int, std::pair<std::uint64_t, fs::path>> sockets;
  for (const auto& socket : tarnwell::collector::event_pipe::list_diagnostic_sockets(directory)) {
    struct stat info {};
    if (::lstat(socket.path.c_str(), &info) != 0 || !S_ISSOCK(info.st_mode) || info.st_uid != ::geteuid()) continue;
    if (socket.pid <= 0 || ::kill(socket.pid, 0) != 0) continue;
    auto& best = sockets[socket.pid];
    if (best.second.empty() || socket.key > best.first) best = {socket.key, socket.path};
  }
  // Containers: processes in another mount namespace, whose sockets lie
  // under their own roots, named with the pids of their own namespaces.
  std::map<int, int> namespace_pids;
  for (const auto& entry : fs::directory_iterator("/proc", fs::directory_options::skip_permission_denied)) {
    const auto name = entry.path().filename().string();
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    const int pid = std::stoi(name);
    if (sockets.count(pid) || tw::detail_proc_utils::shares_mount_namespace(pid).value_or(true)) continue;
    try {
      namespace ep = tarnwell::collector::event_pipe;
      for (const auto& place : ep::diagnostic_places(pid)) {
        if (place.directory.string().rfind("/proc/", 0) != 0) continue;  // ours: listed above
        std::error_code ec;
        if (!fs::is_directory(place.directory, ec)) continue;
        if (const auto socket = ep::find_diagnostic_socket(place.directory, place.pid, {})) {
          sockets[pid] = {socket->second, socket->first};
          namespace_pids[pid] = place.pid;
          break;
        }
      }
    } catch (...) {
      // another user's container: not ours to list
    }
  }
  std::vector<dotnet_process> found;
  for (const auto& [pid, socket] : sockets) {
    dotnet_process p;
    p.pid = pid;
    if (const auto it = namespace_pids.find(pid); it != namespace_pids.end()) p.namespace_pid = it->second;
    try {
      const auto info = tarnwell::collector::event_pipe::query_process_info_2(socket.second);
      p.name = fs::path(info.entrypoint_assembly).stem().string();
      p.command_line = info.command_line;
      p.runtime_version = info.runtime_version.substr(0, info.runtime_version.find('+'));
    } catch (...) {
      p.error = tw::current_exception_summary();
    }
    if (p.name.empty()) std::getline(std::ifstream("/proc/" + std::to_string(pid) + "/comm"), p.name);
    found.push_back(std::move(p));
  }
  return found;
}

void print_processes(std::ostream& out, const std::vector<dotnet_process>& processes) {
  std::size_t name_width = 4, version_width = 7;
  for (const auto& p : processes) {
    name_width = std::max(name_width, p.name.size());
    version_width = std::max(version_width, p.runtime_version.size());
  }
  out << std::right << std::setw(8) << "PID" << "  " << std::left << std::setw(static_cast<int>(name_width)) << "NAME"
      << "  " << std::setw(static_cast<int>(version_width)) << "RUNTIME" << "  COMMAND LINE\n";
  for (const auto& p : processes) {
    out << std::right << std::setw(8) << p.pid << "  " << std::left << std::setw(static_cast<int>(name_width))
        << p.name << "  " << std::setw(static_cast<int>(version_width)) << p.runtime_version << "  ";
    if (p.namespace_pid) out << "[container, pid " << p.namespace_pid << " in it] ";
    if (p.error.empty())
      out << p.command_line << "\n";
    else
      out << "(" << p.error << ")\n";
  }
}

}  // namespace tw::tools
