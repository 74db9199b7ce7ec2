#pragma once

// The interface through which a snapshot creates its files. Who names the
// files differs: a path rule for conversion, the front end for live profiling.

#include <filesystem>
#include <memory>
#include <ostream>
#include <string>
#include <variant>

namespace tw_prof {

// A file on this machine's side; main = the snapshot's index file.
struct host_file {
  bool main = false;
};

// A file produced on the profiled process's side.
struct slave_file {
  std::string name;
};

using file_request = std::variant<host_file, slave_file>;

class file_factory {
 public:
  virtual ~file_factory() = default;
  virtual std::shared_ptr<std::ostream> create_stream(const file_request& request) = 0;
  // A descriptor opened read-write, or -1.
  virtual int create_file(const file_request& request) = 0;
  // Removes every file created so far.
  virtual void remove_all() = 0;
};

// What every factory does once it knows the path. A stream is opened binary
// and truncated; failing, it throws "Fail to create file" with the path and
// the cause. A descriptor is opened read-write, or is -1.
std::shared_ptr<std::ostream> open_file_stream(const std::filesystem::path& path);
int open_file_handle(const std::filesystem::path& path);

}  // namespace tw_prof
