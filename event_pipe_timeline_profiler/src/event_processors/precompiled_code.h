#pragma once

// The precompiled (ReadyToRun) code of a live target's module images, found
// by address: what resolves a sample that stopped in framework code the
// runtime never announced, because it was neither compiled during the
// snapshot nor listed by the rundown.
//
// Threads: used by the call-tree resolution alone, which runs on one thread.

#include "collector/src/collector/loaders/loader_net.h"
#include "event_pipe_timeline_profiler/src/event_processors/process_watcher.h"
#include "tw/portable_executable/ready_to_run.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tw_prof::netcore {

class precompiled_code {
 public:
  explicit precompiled_code(std::vector<image_mapping> images);

  struct found {
    const std::string* path;  // of the image
    tarnwell::etw_collector::callstacks::managed_method method;
  };
  // The precompiled method whose code holds `address`. An image is read the
  // first time an address falls into it; one that cannot be read resolves
  // nothing.
  std::optional<found> find(std::uint64_t address);

 private:
  struct image {
    image_mapping mapping;
    bool read = false;
    std::unique_ptr<tw::portable_executable> file;
    std::unique_ptr<tw::ready_to_run_code> code;
  };
  std::vector<image> images_;  // by base
};

}  // namespace tw_prof::netcore
