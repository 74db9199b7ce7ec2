cmake_minimum_required(VERSION 3.25)

# Fails when a file of the library includes a layer above its own.
#
# The data path runs upwards: shared utilities, then the catalogue, the IPC
# layer and the allocators, then the decoder and the snapshot writers side by
# side, then consumption and sessions, then the profiler, then the bridge and
# the protocol objects that join the two, then the exported interface. A file may include its own layer and the layers it builds on,
# never one above it nor (for the decoder and the writers) its sibling.
#
# Run as: cmake -DSOURCE_DIR=... -DSTAMP=... -P check_layers.cmake

# Folder (or file) prefix -> what its files may include, as include paths.
# The first matching prefix wins, so files named one by one come first.
set(rules
  "api/log.|tw/ api/log.h"
  "api/file_factory.h|"
  "include/tw/|tw/ api/log.h"
  "include/tarnwell/common/|tw/ tarnwell/common/ api/log.h"
  "include/tarnwell/diagnostics_ipc/|tw/ tarnwell/diagnostics_ipc/ api/log.h"
  "event_pipe_api/src/providers/|tw/ event_pipe_api/src/providers/ api/log.h"
  "event_pipe_api/src/nettrace/|tw/ event_pipe_api/src/providers/ event_pipe_api/src/nettrace/ api/log.h"
  "collector/src/collector/|tw/ tarnwell/common/ event_pipe_api/src/providers/ collector/src/collector/ api/log.h api/file_factory.h"
  "event_pipe_api/src/|tw/ tarnwell/diagnostics_ipc/ event_pipe_api/src/ api/log.h"
  "bridge/environment|tw/ bridge/environment.h"
  "bridge/protocol.|tw/ bridge/protocol.h"
  "event_pipe_timeline_profiler/src/netcore_profiler_bridge_proto|tw/ tarnwell/ event_pipe_api/src/ bridge/ event_pipe_timeline_profiler/src/ api/log.h"
  "event_pipe_timeline_profiler/src/test_prof/|tw/ tarnwell/ event_pipe_api/src/ bridge/ event_pipe_timeline_profiler/src/ api/log.h"
  "event_pipe_timeline_profiler/src/|tw/ tarnwell/ event_pipe_api/src/ collector/src/collector/ bridge/environment.h event_pipe_timeline_profiler/src/ api/log.h api/file_factory.h"
  "api/|tw/ tarnwell/ event_pipe_api/src/ collector/src/collector/ bridge/ event_pipe_timeline_profiler/src/ api/"
  "bridge/|tw/ tarnwell/ event_pipe_api/src/ collector/src/collector/ bridge/ event_pipe_timeline_profiler/src/ api/log.h api/file_factory.h"
)

file(GLOB_RECURSE sources RELATIVE ${SOURCE_DIR}
  ${SOURCE_DIR}/api/*.h ${SOURCE_DIR}/api/*.cpp
  ${SOURCE_DIR}/bridge/*.h ${SOURCE_DIR}/bridge/*.cpp
  ${SOURCE_DIR}/collector/*.h ${SOURCE_DIR}/collector/*.cpp
  ${SOURCE_DIR}/event_pipe_api/*.h ${SOURCE_DIR}/event_pipe_api/*.cpp
  ${SOURCE_DIR}/event_pipe_timeline_profiler/*.h ${SOURCE_DIR}/event_pipe_timeline_profiler/*.cpp
  ${SOURCE_DIR}/include/*.h ${SOURCE_DIR}/include/*.cpp)

set(violations "")
foreach(source IN LISTS sources)
  set(allowed "")
  set(matched FALSE)
  foreach(rule IN LISTS rules)
    string(REPLACE "|" ";" parts "${rule}")
    list(GET parts 0 prefix)
    string(FIND "${source}" "${prefix}" at)
    if(at EQUAL 0)
      list(LENGTH parts n)
      if(n GREATER 1)
        list(GET parts 1 allowed)
        string(REPLACE " " ";" allowed "${allowed}")
      endif()
      set(matched TRUE)
      break()
    endif()
  endforeach()
  if(NOT matched)
    string(APPEND violations "\n  ${source}: in no layer; add it to cmake/check_layers.cmake")
    continue()
  endif()
  file(STRINGS ${SOURCE_DIR}/${source} includes REGEX "^#include \"")
  foreach(line IN LISTS includes)
    string(REGEX REPLACE "^#include \"([^\"]+)\".*" "\\1" included "${line}")
    set(ok FALSE)
    foreach(prefix IN LISTS allowed)
      string(FIND "${included}" "${prefix}" at)
      if(at EQUAL 0)
        set(ok TRUE)
        break()
      endif()
    endforeach()
    if(NOT ok)
      string(APPEND violations "\n  ${source} includes ${included}")
    endif()
  endforeach()
endforeach()

if(violations)
  message(FATAL_ERROR "Includes that run up the layers:${violations}")
endif()
file(WRITE ${STAMP} "layers checked\n")
