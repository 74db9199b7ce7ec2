#include "api/collectors.h"

#include "api/log.h"

#include <fstream>
#include <iomanip>
#include <stdexcept>

namespace tw_prof {

namespace {

void init_logging(const char* source_name) {
  try {
    log::logger_init_default(source_name, log::default_mask, log::default_log_directory());
  } catch (...) {
    // A collector without a log still works.
  }
}

}  // namespace

void* create_timeline_collector(const std::string& bridge_endpoint, std::uint32_t pid,
                                const std::string& process_path, const std::string& command_line,
                                const std::string& diagnostic_port, bool, bool) {
  init_logging("Tarnwell.Net[Core]TimelineProfiler");
  TW_LOG(info) << "Start creating collector";
  TW_LOG(info) << bridge_endpoint;
  TW_LOG(info) << std::quoted(diagnostic_port);
  TW_LOG(info) << pid;
  TW_LOG(info) << std::quoted(process_path);
  TW_LOG(info) << command_line;
  TW_LOG(info) << "Running EventPipe-based profiler for .NET (Core) in timeline mode";
  throw std::runtime_error("The live timeline collector is not available in this build");
}

void release_timeline_collector(void* holder) {
  if (holder == nullptr) throw std::invalid_argument("The timeline collector handle is null");
  throw std::runtime_error("The live timeline collector is not available in this build");
}

void* create_nettrace_collector(const std::string& nettrace_path, const std::string& snapshot_path,
                                const std::string& parameter, event_pipe_progress_callback progress) {
  init_logging("Tarnwell.NettraceProcessing");
  TW_LOG(info) << "Start processing Nettrace";
  TW_LOG(info) << std::quoted(nettrace_path);
  TW_LOG(info) << std::quoted(snapshot_path);
  TW_LOG(info) << parameter;
  // Both the conversion and its release report through the callback.
  if (progress == nullptr) throw std::invalid_argument("The progress callback is required");
  if (snapshot_path.empty()) throw std::invalid_argument("The snapshot path is empty");
  if (!std::ifstream(nettrace_path, std::ios::binary))
    throw std::runtime_error("Unable to open the nettrace file \"" + nettrace_path + "\"");
  throw std::runtime_error("The nettrace converter is not available in this build");
}

void release_nettrace_collector(void* holder) {
  if (holder == nullptr) throw std::invalid_argument("The nettrace collector handle is null");
  throw std::runtime_error("The nettrace converter is not available in this build");
}

}  // namespace tw_prof
