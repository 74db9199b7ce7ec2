#pragma once

// Everything one snapshot writes while it collects: the call tree, the
// metadata writers and the per-provider event streams. Destroying it
// resolves the call tree and closes every section it opened.

#include "collector/src/collector/callstacks/call_tree_owner.h"
#include "collector/src/collector/metadata_writers.h"
#include "collector/src/collector/streams/event_stream_writer.h"
#include "event_pipe_timeline_profiler/src/event_processors/precompiled_code.h"

#include <memory>
#include <optional>

namespace tw_prof::netcore {

using namespace tarnwell::collector;

class netcore_snapshot_collector {
 public:
  // `root`: where the target's files are read from (empty: this file system).
  explicit netcore_snapshot_collector(const sections_gen& gen, const std::string& root = {});
  ~netcore_snapshot_collector();

  // The stream of a provider the timeline keeps records of.
  template <class Provider>
  inproc::snapshot_collector<Provider>& streams() {
    return providers_.get<Provider>();
  }
  inproc::sample_stream_writer& samples() noexcept { return samples_; }
  inproc::callstack_stream_writer<SampleProvider>& sample_stacks() noexcept { return sample_stacks_; }
  inproc::session_stream_writer& session() noexcept { return session_; }
  shared_metadata_writer& metadata() noexcept { return *metadata_; }
  call_tree_data& tree() noexcept { return *tree_; }
  // A live target's precompiled code, for the addresses no announced method
  // holds when the call tree is resolved.
  void set_precompiled_code(std::shared_ptr<precompiled_code> code) { precompiled_ = std::move(code); }

 private:
  // Declaration order is teardown order reversed: the tree owner outlives
  // the streams that insert into it and the loaders that resolve it.
  std::shared_ptr<tarnwell::etw_collector::section_header> header_;
  std::shared_ptr<call_tree_data_with_mmap_allocator> tree_owner_;
  std::shared_ptr<call_tree_data> tree_;
  std::unique_ptr<shared_metadata_writer> metadata_;
  std::unique_ptr<tarnwell::etw_collector::callstacks::loader_frame_address> frames_;
  std::shared_ptr<std::ostream> empty_sections_[3];
  inproc::merged_collectors<Microsoft_Windows_DotNETRuntime, System_Threading_Tasks_TplEventSource,
                            Microsoft_Data_SqlClient_EventSource, Microsoft_AspNetCore_Server_Kestrel>
      providers_;
  std::shared_ptr<std::ostream> sample_stream_;
  inproc::sample_stream_writer samples_;
  inproc::callstack_stream_writer<SampleProvider> sample_stacks_;
  inproc::session_stream_writer session_;
  std::shared_ptr<precompiled_code> precompiled_;
};

}  // namespace tw_prof::netcore
