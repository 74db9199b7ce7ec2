/* The library's exported interface, usable from C and C++. */
#ifndef EVENT_PIPE_API_H
#define EVENT_PIPE_API_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define EVENT_PIPE_API_EXPORT __attribute__((visibility("default")))

/* Strings are zero-terminated UTF-16. */
typedef uint16_t event_pipe_char16;

/* The caller-visible head of an error record; byte-packed.
 * kind: 0 = shared fallback record, 1 = standard exception, 2 = Boost exception.
 * message: UTF-8, zero-terminated, owned by the record. */
#pragma pack(push, 1)
typedef struct error_info {
  int32_t kind;
  const char* message;
} error_info;
#pragma pack(pop)

/* Reports current of total; finished is 1 on the last call. Return 0 to cancel. */
typedef int (*event_pipe_progress_callback)(unsigned long current, unsigned long total, unsigned long finished);

/* Live profiling of the process pid, talking to the front end at bridge_endpoint
 * ("127.0.0.1:PORT"). With a diagnostic_port path, every runtime started with
 * DOTNET_DiagnosticPorts=PATH is profiled as it connects, and pid may be 0. */
EVENT_PIPE_API_EXPORT void* EventPipeApiCreateCollector(const event_pipe_char16* bridge_endpoint, uint32_t pid,
                                                        const event_pipe_char16* process_path,
                                                        const event_pipe_char16* command_line,
                                                        const event_pipe_char16* diagnostic_port, int32_t with_tasks,
                                                        int32_t test_mode, error_info** error);

EVENT_PIPE_API_EXPORT void EventPipeApiReleaseCollector(void* collector, error_info** error);

EVENT_PIPE_API_EXPORT void* EventPipeApiCreateNettraceCollector(const event_pipe_char16* nettrace_path,
                                                                const event_pipe_char16* snapshot_path,
                                                                const event_pipe_char16* parameter,
                                                                event_pipe_progress_callback progress,
                                                                error_info** error);

EVENT_PIPE_API_EXPORT void EventPipeApiReleaseNettraceCollector(void* collector, error_info** error);

EVENT_PIPE_API_EXPORT void ReleaseErrorInfo(error_info* info);

#ifdef __cplusplus
}
#endif

#endif
