#pragma once

// Where a .NET process's runtime listens: its diagnostic socket,
// TMPDIR/dotnet-diagnostic-PID-KEY-socket, searched for in the places it may
// be seen from here (our temporary directory, the process's own, and inside
// its container).

#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace tarnwell::collector::event_pipe {

// A runtime's listening socket, by its name "dotnet-diagnostic-PID-KEY-socket".
struct diagnostic_socket {
  int pid = 0;
  std::uint64_t key = 0;
  std::filesystem::path path;
};
// Every entry of `directory` so named, whatever it is.
std::vector<diagnostic_socket> list_diagnostic_sockets(const std::filesystem::path& directory);

// The runtime's listening socket for pid in `directory`, or empty; sockets
// whose keys are in `ignored` are passed over. Several: the largest key.
std::optional<std::pair<std::filesystem::path, std::uint64_t>> find_diagnostic_socket(
    const std::filesystem::path& directory, int pid, const std::vector<std::uint64_t>& ignored);

// "TMPDIR", or "/tmp" when it is unset or empty.
std::filesystem::path diagnostic_directory();

// The process runs where its socket cannot be reached from here: in another
// mount namespace (a container) whose root this user may not read.
class process_unreachable : public std::runtime_error {
 public:
  process_unreachable(int pid, int error);
};

// The root of the process's file system as this process reaches it: empty
// when the process shares our mount namespace, else /proc/PID/root. Throws
// process_unreachable when that root cannot be read.
std::filesystem::path process_root(int pid);

// A place where the runtime of a process may put its socket, as seen from
// here: a directory, and the pid the socket's name carries (the process's
// own, in its pid namespace).
struct diagnostic_place {
  std::filesystem::path directory;
  int pid = 0;
  friend bool operator==(const diagnostic_place&, const diagnostic_place&) = default;
};
// The places of the socket of `pid`, in the order they are searched: for a
// process in another mount namespace (a container), its TMPDIR and /tmp
// under its root; then our temporary directory, with its namespace pid when
// it has one of its own and with its pid as seen here; then its own TMPDIR.
std::vector<diagnostic_place> diagnostic_places(int pid);
// The socket of `pid` in the first place that has one, as find_diagnostic_socket.
std::optional<std::pair<std::filesystem::path, std::uint64_t>> locate_diagnostic_socket(
    int pid, const std::vector<std::uint64_t>& ignored = {});

// Refuses a process whose TMPDIR is too deep for a socket's path: its
// runtime has no socket, and a search would wait for nothing.
void refuse_too_deep_a_socket(int pid);

}  // namespace tarnwell::collector::event_pipe
