#pragma once

// Everything one snapshot writes while it collects: the call tree, the
// metadata writers and the per-provider event streams. Destroying it
// resolves the call tree and closes every section it opened.

#include "collector/src/collector/callstacks/call_tree_owner.h"
#include "collector/src/collector/metadata_writers.h"
#include "collector/src/collector/streams/event_stream_writer.h"
#include "event_pipe_timeline_profiler/src/event_processors/precompiled_code.h"

#include <deque>
#include <memory>
#include <optional>

namespace tw_prof::netcore {

using namespace tarnwell::collector;

// Decides the types of samples held back until the call tree is resolved:
// first every sample is shown (vote), then each is asked for (type). A leaf
// key is the resolved key of the sample's innermost frame, 0 for none.
class deferred_sample_types {
 public:
  virtual ~deferred_sample_types() = default;
  virtual void vote(std::uint8_t flag, tree_node_key leaf) = 0;
  // The sample's type and the record version that says how it was found.
  virtual std::pair<std::uint8_t, std::uint8_t> type(std::uint8_t flag, tree_node_key leaf) = 0;
};

class netcore_snapshot_collector {
 public:
  // `modules`: where the target's module files are read from.
  // `defer_samples`: samples are held back (16 bytes each) and written once
  // the call tree is resolved, when their types depend on the methods their
  // stacks end in.
  // `tree_limit`: the call tree's room (the format's unless a test asks for
  // less).
  explicit netcore_snapshot_collector(const sections_gen& gen, module_lookup modules = {},
                                      bool defer_samples = false,
                                      std::uint32_t tree_limit = tarnwell::common::mapped_offset_limit);
  ~netcore_snapshot_collector();

  // A thread met for the first time, in order with the samples.
  void thread_start(std::int64_t timestamp, std::uint32_t thread_id);
  // A sample of a known type (written now), or of the runtime's flag (held
  // back when samples are deferred, else written with the flag as it is).
  void sample(std::int64_t timestamp, std::uint32_t thread_id, std::uint8_t type, std::uint8_t source,
              const stack_view& stack);
  void flagged_sample(std::int64_t timestamp, std::uint32_t thread_id, std::uint8_t flag, const stack_view& stack);
  // Resolves the call tree and writes the samples held back. Called once the
  // last event is in; the destructor does it otherwise, keeping the flags.
  void finish(deferred_sample_types& types);

  // The stream of a provider the timeline keeps records of.
  template <class Provider>
  inproc::snapshot_collector<Provider>& streams() {
    return providers_.get<Provider>();
  }
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

  void resolve();
  // A sample or a thread's start held back. Nodes are 16-byte aligned and
  // below 2 GiB: the leaf's offset carries the flag in its low two bits and
  // the start mark in the third; a leaf that is no node is held as the top
  // 28 bits set, with the fourth bit set when the tree had no room.
  struct held_sample {
    std::int64_t timestamp;
    std::uint32_t thread_id;
    std::uint32_t leaf_and_flag;
  };
  static constexpr std::uint32_t held_start = 4, held_flag = 3, held_leaf = ~std::uint32_t{15}, held_no_room = 8;
  static std::uint32_t hold_leaf(std::uint32_t leaf) noexcept {
    if (leaf == format::no_room_for_stack) return held_leaf | held_no_room;
    return leaf == format::no_stack ? held_leaf : leaf;
  }
  static std::uint32_t leaf_held(std::uint32_t leaf_and_flag) noexcept {
    if ((leaf_and_flag & held_leaf) != held_leaf) return leaf_and_flag & held_leaf;
    return (leaf_and_flag & held_no_room) ? format::no_room_for_stack : format::no_stack;
  }
  bool defer_samples_;
  bool finished_ = false;
  std::deque<held_sample> held_;
};

}  // namespace tw_prof::netcore
