// The five exported functions. Nothing thrown inside may cross this file.

#include "api/collectors.h"
#include "api/error_info.h"
#include "api/event_pipe_api.h"
#include "tw/log/log.h"
#include "tw/error/exception_text.h"
#include "tw/utility/utf.h"

#include <stdexcept>
#include <string>

namespace {

std::string argument(const event_pipe_char16* text, const char* name) {
  if (text == nullptr) throw std::invalid_argument(std::string("The ") + name + " argument is null");
  return kv521::utf::utf16_to_utf8(reinterpret_cast<const char16_t*>(text));
}

void store_error(error_info** out) noexcept {
  error_info* info = tw_prof::exception_to_error_info(std::current_exception());
  if (out != nullptr)
    *out = info;
  else
    tw_prof::release_error_info(info);
}

void log_current_error() noexcept {
  try {
    TW_LOG(error) << tw::current_exception_to_string();
  } catch (...) {
  }
}

}  // namespace

extern "C" {

void* EventPipeApiCreateCollector(const event_pipe_char16* bridge_endpoint, uint32_t pid,
                                  const event_pipe_char16* process_path, const event_pipe_char16* command_line,
                                  const event_pipe_char16* diagnostic_port, int32_t with_tasks, int32_t test_mode,
                                  error_info** error) {
  try {
    return tw_prof::create_timeline_collector(argument(bridge_endpoint, "bridge endpoint"), pid,
                                              argument(process_path, "process path"),
                                              argument(command_line, "command line"),
                                              argument(diagnostic_port, "diagnostic port"), with_tasks == 1,
                                              test_mode == 1);
  } catch (...) {
    store_error(error);
    return nullptr;
  }
}

void EventPipeApiReleaseCollector(void* collector, error_info** error) {
  try {
    tw_prof::release_timeline_collector(collector);
  } catch (...) {
    store_error(error);
  }
}

void* EventPipeApiCreateNettraceCollector(const event_pipe_char16* nettrace_path,
                                          const event_pipe_char16* snapshot_path,
                                          const event_pipe_char16* parameter, event_pipe_progress_callback progress,
                                          error_info** error) {
  try {
    return tw_prof::create_nettrace_collector(argument(nettrace_path, "nettrace path"),
                                              argument(snapshot_path, "snapshot path"),
                                              argument(parameter, "parameter"), progress);
  } catch (...) {
    log_current_error();
    store_error(error);
    return nullptr;
  }
}

void EventPipeApiReleaseNettraceCollector(void* collector, error_info** error) {
  try {
    tw_prof::release_nettrace_collector(collector);
  } catch (...) {
    log_current_error();
    store_error(error);
  }
}

void ReleaseErrorInfo(error_info* info) { tw_prof::release_error_info(info); }

}  // extern "C"
