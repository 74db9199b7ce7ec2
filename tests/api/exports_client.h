#pragma once

// The library as a front end calls it: live collectors through the exported
// functions, with their error records read and released, and counts of what
// this process holds that a collector could leave behind.

#include "api/event_pipe_api.h"

#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>
#include <sys/types.h>
#include <vector>

namespace test_support {

inline std::u16string u16(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

// The text of an error record, which is then released; empty for none.
inline std::string take_error(error_info* error) {
  if (error == nullptr) return {};
  std::string text = error->message ? error->message : "";
  ReleaseErrorInfo(error);
  return text.empty() ? "(an error without text)" : text;
}

// A live collector created through the exports.
inline void* create_collector(const std::string& endpoint, pid_t pid, bool test_mode, std::string& error,
                              const std::string& diagnostic_port = {}) {
  error_info* e = nullptr;
  const auto ep = u16(endpoint), empty = u16(""), port = u16(diagnostic_port);
  auto text = [](const std::u16string& s) { return reinterpret_cast<const event_pipe_char16*>(s.c_str()); };
  void* handle = EventPipeApiCreateCollector(text(ep), static_cast<std::uint32_t>(pid), text(empty), text(empty),
                                             text(port), 1, test_mode ? 1 : 0, &e);
  error = take_error(e);
  return handle;
}

inline std::string release_collector(void* handle) {
  error_info* e = nullptr;
  EventPipeApiReleaseCollector(handle, &e);
  return take_error(e);
}

// What this process holds that a collector could leave behind.
struct held_resources {
  std::size_t threads = 0;
  std::size_t descriptors = 0;  // log files left out: the log outlives collectors
  std::vector<std::string> descriptor_targets;  // to tell what was left
  std::size_t mapped_files = 0;  // mappings of files under `dir`

  static held_resources now(const std::filesystem::path& dir) {
    held_resources r;
    namespace fs = std::filesystem;
    for (const auto& e : fs::directory_iterator("/proc/self/task")) {
      (void)e;
      ++r.threads;
    }
    for (const auto& e : fs::directory_iterator("/proc/self/fd")) {
      std::error_code ec;
      const auto target = fs::read_symlink(e.path(), ec).string();
      if (target.find("TarnLogs") == std::string::npos) {
        ++r.descriptors;
        r.descriptor_targets.push_back(target);
      }
    }
    std::ifstream maps("/proc/self/maps");
    for (std::string line; std::getline(maps, line);)
      if (line.find(dir.string()) != std::string::npos) ++r.mapped_files;
    return r;
  }
  friend bool operator==(const held_resources& a, const held_resources& b) {
    return a.threads == b.threads && a.descriptors == b.descriptors && a.mapped_files == b.mapped_files;
  }
  friend std::ostream& operator<<(std::ostream& out, const held_resources& r) {
    out << r.threads << " threads, " << r.descriptors << " descriptors (";
    for (const auto& t : r.descriptor_targets) out << t << " ";
    return out << "), " << r.mapped_files << " mapped files";
  }
};

}  // namespace test_support
