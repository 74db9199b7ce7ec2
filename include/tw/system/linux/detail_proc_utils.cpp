#include "tw/system/linux/detail_proc_utils.h"

#include "tw/utility/throw.h"

#include <boost/format.hpp>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <pwd.h>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace tw::detail_proc_utils {

using errinfo_user_id = boost::error_info<struct tag_user_id_User_ID, uid_t>;

namespace {

[[noreturn]] void throw_errno(const char* what, int err, const char* function, const char* file, int line) {
  tw::detail::throw_with_location(std::system_error(err, std::system_category(), what), function, file, line);
}

#define TW_THROW_ERRNO(what) throw_errno((what), errno, BOOST_CURRENT_FUNCTION, TW_SOURCE_PATH, __LINE__)

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) TW_THROW(boost::enable_error_info(std::system_error(errno, std::system_category(), "Failed to open file"))
                    << tw::errinfo_path(path));
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

std::string read_link(const std::string& path) {
  std::vector<char> buffer(1024);
  for (;;) {
    const ssize_t n = ::readlink(path.c_str(), buffer.data(), buffer.size());
    if (n < 0)
      TW_THROW(boost::enable_error_info(std::system_error(errno, std::system_category(), "Can't get path from symlink"))
               << tw::errinfo_path(path));
    if (static_cast<std::size_t>(n) < buffer.size()) return std::string(buffer.data(), static_cast<std::size_t>(n));
    buffer.resize(buffer.size() * 2);
  }
}

std::string get_working_dir(pid_t pid) { return read_link("/proc/" + std::to_string(pid) + "/cwd"); }

std::string get_process_filename(pid_t pid) { return read_link("/proc/" + std::to_string(pid) + "/exe"); }

uid_t get_user_id(pid_t pid) {
  const std::string path = "/proc/" + std::to_string(pid) + "/status";
  std::ifstream in(path);
  if (!in) TW_THROW(boost::enable_error_info(std::system_error(errno, std::system_category(), "Failed to open file"))
                    << tw::errinfo_path(path));
  std::string line;
  while (std::getline(in, line)) {
    int effective = 0;
    if (std::sscanf(line.c_str(), "Uid: %*d %d %*d %*d\n", &effective) == 1) return static_cast<uid_t>(effective);
  }
  TW_THROW(boost::enable_error_info(std::runtime_error("Failed to find Uid info in the file"))
           << tw::errinfo_path(path));
}

std::string get_user_name_by_user_id(uid_t uid) {
  // The reentrant form: bridges of several processes describe their targets
  // at once.
  passwd entry{};
  passwd* pw = nullptr;
  std::vector<char> buffer(16384);
  int err = 0;
  while ((err = ::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &pw)) == ERANGE && buffer.size() < (1u << 20))
    buffer.resize(buffer.size() * 2);
  if (pw == nullptr || pw->pw_name == nullptr)
    TW_THROW(boost::enable_error_info(
                 std::system_error(err, std::system_category(), "Failed to get user name by user id"))
             << errinfo_user_id(uid));
  return pw->pw_name;
}

std::string get_current_computer_name() {
  char name[64] = {};
  if (::gethostname(name, sizeof name) != 0) TW_THROW_ERRNO("Failed to get current computer name");
  name[sizeof name - 1] = '\0';
  return name;
}

std::vector<std::string> get_command_line(pid_t pid) {
  const std::string raw = read_file("/proc/" + std::to_string(pid) + "/cmdline");
  std::vector<std::string> args;
  std::size_t begin = 0;
  while (begin < raw.size()) {
    std::size_t end = raw.find('\0', begin);
    if (end == std::string::npos) end = raw.size();
    args.emplace_back(raw, begin, end - begin);
    begin = end + 1;
  }
  return args;
}

namespace {
// The state letter of /proc/PID/stat (R, S, D, T, t, Z, X, ...); 0 when it
// cannot be read.
char process_state(pid_t pid) noexcept {
  try {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    const auto close = text.rfind(')');
    return close == std::string::npos || close + 2 >= text.size() ? 0 : text[close + 2];
  } catch (...) {
    return 0;
  }
}
}  // namespace

bool process_ended(pid_t pid) noexcept {
  if (::kill(pid, 0) != 0 && errno == ESRCH) return true;
  const char state = process_state(pid);
  return state == 'Z' || state == 'X';
}

bool process_stopped(pid_t pid) noexcept {
  const char state = process_state(pid);
  return state == 'T' || state == 't';
}

std::optional<pid_t> get_namespace_pid(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("NSpid:", 0) != 0) continue;
    const auto last = line.find_last_of(" \t");
    try {
      return static_cast<pid_t>(std::stol(line.substr(last + 1)));
    } catch (const std::exception&) {
      return std::nullopt;
    }
  }
  return std::nullopt;
}

std::optional<bool> shares_mount_namespace(pid_t pid) {
  char ours[64] = {}, theirs[64] = {};
  const std::string link = "/proc/" + std::to_string(pid) + "/ns/mnt";
  const auto a = ::readlink("/proc/self/ns/mnt", ours, sizeof ours - 1);
  const auto b = ::readlink(link.c_str(), theirs, sizeof theirs - 1);
  if (a <= 0 || b <= 0) return std::nullopt;
  return std::string(ours, static_cast<std::size_t>(a)) == std::string(theirs, static_cast<std::size_t>(b));
}

std::optional<std::string> get_environment_variable(pid_t pid, const std::string& name) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/environ", std::ios::binary);
  if (!in) return std::nullopt;
  const std::string prefix = name + "=";
  std::string entry;
  while (std::getline(in, entry, '\0')) {
    if (entry.compare(0, prefix.size(), prefix) == 0) return entry.substr(prefix.size());
  }
  return std::nullopt;
}

std::string get_native_thread_name(pid_t pid, pid_t tid) {
  return read_file((boost::format("/proc/%1%/task/%2%/comm") % pid % tid).str());
}

}  // namespace tw::detail_proc_utils
