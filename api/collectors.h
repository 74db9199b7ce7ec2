#pragma once

// The two collector lifecycles behind the exported functions, with their
// arguments already converted to UTF-8.

#include "api/event_pipe_api.h"

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace tw_prof {

void* create_timeline_collector(const std::string& bridge_endpoint, std::uint32_t pid,
                                const std::string& process_path, const std::string& command_line,
                                const std::string& diagnostic_port, bool with_tasks, bool test_mode);
void release_timeline_collector(void* holder);

// How a recording is converted beyond what the exported function says.
struct conversion_options {
  // Where module files missing at their recorded paths are looked for, by
  // file name.
  std::vector<std::string> module_directories;
  // False: module files are read from those directories alone.
  bool recorded_module_paths = true;
  // The call tree's room: the format's, unless a test asks for less.
  std::uint32_t call_tree_limit = 0x7FFFFFFE;
  // The threads it may use (0: as many as the machine has cores): 1 reads,
  // decodes and writes on one; more map the file and let the writing run
  // beside the decoding. The snapshot is the same either way. One by
  // default: on the machines measured so far, mapping a file cost about what
  // the second thread won.
  unsigned threads = 1;
};

void* create_nettrace_collector(const std::string& nettrace_path, const std::string& snapshot_path,
                                const std::string& parameter, event_pipe_progress_callback progress,
                                const conversion_options& options = {});
// The snapshot could not be written (a full disk, a quota): none of its
// files is left. The message names the snapshot and the system's reason.
class snapshot_write_error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// How a conversion that was saved went: a recording cut short or damaged
// is converted up to the last whole object before the damage.
struct conversion_outcome {
  bool ended_early = false;
  std::uint64_t position = 0;  // the offset just past the last whole object
  std::uint64_t events = 0;    // the events converted
  std::string reason;          // what was wrong at `position`
};
void release_nettrace_collector(void* holder, conversion_outcome* outcome = nullptr);

}  // namespace tw_prof
