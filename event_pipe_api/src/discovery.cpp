#include "event_pipe_api/src/discovery.h"

#include "tw/log/log.h"
#include "tw/system/linux/detail_proc_utils.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iomanip>
#include <regex>
#include <sstream>
#include <sys/stat.h>
#include <sys/un.h>
#include <system_error>

namespace tarnwell::collector::event_pipe {

std::filesystem::path diagnostic_directory() {
  const char* dir = std::getenv("TMPDIR");
  return dir && *dir ? dir : "/tmp";
}

process_unreachable::process_unreachable(int pid, int error)
    : std::runtime_error("Process " + std::to_string(pid) + " runs in another container (mount namespace), and its root /proc/" +
                         std::to_string(pid) + "/root cannot be read (" + std::generic_category().message(error) +
                         "): profile it as root on the host, or from a container that shares its pid namespace") {}

std::filesystem::path process_root(int pid) {
  const auto namespace_pid = tw::detail_proc_utils::get_namespace_pid(pid).value_or(pid);
  const auto shares = tw::detail_proc_utils::shares_mount_namespace(pid);
  // Another user's process does not show its namespace; one whose pid
  // differs in its own namespace lives in a container all the same.
  const bool elsewhere = shares ? !*shares : namespace_pid != pid;
  if (!elsewhere) return {};
  const std::filesystem::path root = "/proc/" + std::to_string(pid) + "/root";
  struct stat info {};
  if (::stat((root / "").c_str(), &info) != 0) throw process_unreachable(pid, errno);
  return root;
}

std::vector<diagnostic_place> diagnostic_places(int pid) {
  const auto root = process_root(pid);
  const int namespace_pid = tw::detail_proc_utils::get_namespace_pid(pid).value_or(pid);
  const auto own_tmpdir = tw::detail_proc_utils::get_environment_variable(pid, "TMPDIR");
  std::vector<diagnostic_place> places;
  auto add = [&](std::filesystem::path directory, int name_pid) {
    const diagnostic_place place{std::move(directory), name_pid};
    if (std::find(places.begin(), places.end(), place) == places.end()) places.push_back(place);
  };
  if (!root.empty()) {
    if (own_tmpdir && !own_tmpdir->empty()) add(root / std::filesystem::path(*own_tmpdir).relative_path(), namespace_pid);
    add(root / "tmp", namespace_pid);
  }
  if (namespace_pid != pid) add(diagnostic_directory(), namespace_pid);
  add(diagnostic_directory(), pid);
  if (root.empty() && own_tmpdir && !own_tmpdir->empty()) add(*own_tmpdir, namespace_pid);
  return places;
}

// A runtime names its socket TMPDIR/dotnet-diagnostic-PID-KEY-socket, KEY
// its start time in clock ticks; a name longer than a socket's path holds
// leaves it without one, and a search would wait for nothing.
void refuse_too_deep_a_socket(int pid) {
  const auto tmpdir = tw::detail_proc_utils::get_environment_variable(pid, "TMPDIR");
  const std::string directory = tmpdir && !tmpdir->empty() ? *tmpdir : "/tmp";
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  const std::string text((std::istreambuf_iterator<char>(stat)), {});
  const auto close = text.rfind(')');
  if (close == std::string::npos) return;
  std::istringstream fields(text.substr(close + 2));
  std::string field, started;
  for (int i = 3; i <= 22 && fields >> field; ++i) started = field;  // field 22: the start time
  const int namespace_pid = tw::detail_proc_utils::get_namespace_pid(pid).value_or(pid);
  const auto name = directory + "/dotnet-diagnostic-" + std::to_string(namespace_pid) + "-" + started + "-socket";
  if (name.size() < sizeof(sockaddr_un::sun_path)) return;
  throw std::runtime_error("Process " + std::to_string(pid) + " cannot have a diagnostic socket: its TMPDIR (" +
                           directory + ") is too deep for a socket's path, which holds " +
                           std::to_string(sizeof(sockaddr_un::sun_path) - 1) +
                           " bytes; start it with a shorter TMPDIR");
}

std::optional<std::pair<std::filesystem::path, std::uint64_t>> locate_diagnostic_socket(
    int pid, const std::vector<std::uint64_t>& ignored) {
  for (const auto& place : diagnostic_places(pid)) {
    std::error_code ec;
    if (!std::filesystem::is_directory(place.directory, ec)) continue;
    if (auto found = find_diagnostic_socket(place.directory, place.pid, ignored)) return found;
  }
  return std::nullopt;
}

std::vector<diagnostic_socket> list_diagnostic_sockets(const std::filesystem::path& directory) {
  static const std::regex pattern(R"(dotnet-diagnostic-(\d+)-(\d+)-socket)");
  std::vector<diagnostic_socket> found;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    const std::string name = entry.path().filename().string();
    std::smatch m;
    if (!std::regex_match(name, m, pattern)) continue;
    try {
      found.push_back({std::stoi(m[1].str()), std::stoull(m[2].str()), entry.path()});
    } catch (...) {
      // digits beyond what the numbers hold: no runtime's
    }
  }
  return found;
}

std::optional<std::pair<std::filesystem::path, std::uint64_t>> find_diagnostic_socket(
    const std::filesystem::path& directory, int pid, const std::vector<std::uint64_t>& ignored) {
  std::optional<std::pair<std::filesystem::path, std::uint64_t>> found;
  for (const auto& socket : list_diagnostic_sockets(directory)) {
    if (socket.pid != pid) continue;
    if (std::find(ignored.begin(), ignored.end(), socket.key) != ignored.end()) continue;
    std::error_code ec;
    const auto status = std::filesystem::status(socket.path, ec);
    if (ec || status.type() != std::filesystem::file_type::socket) continue;
    if (!found) {
      found.emplace(socket.path, socket.key);
    } else {
      TW_LOG(warning) << "Several dotnet-diagnostic sockets were found for " << pid << ":\n\t"
                      << std::quoted(found->first.string()) << "\n\t" << std::quoted(socket.path.string());
      if (socket.key > found->second) found.emplace(socket.path, socket.key);
    }
  }
  return found;
}

}  // namespace tarnwell::collector::event_pipe
