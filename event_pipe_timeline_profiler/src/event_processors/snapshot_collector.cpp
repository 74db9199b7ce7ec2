#include "event_pipe_timeline_profiler/src/event_processors/snapshot_collector.h"
#include "collector/src/collector/snapshot_format.h"

#include "tw/log/log.h"
#include "collector/src/collector/callstacks/call_stack_resolver.h"
#include "tw/error/exception_text.h"
#include "tw/utility/utf.h"

namespace tw_prof::netcore {

namespace {

// Exactly two resolvers: managed functions first (announced ones, then a
// live target's precompiled code), then whatever is left becomes a frame
// address.
struct snapshot_resolvers {
  tarnwell::etw_collector::callstacks::loader_net& net;
  tarnwell::etw_collector::callstacks::loader_frame_address& frames;
  precompiled_code* precompiled;

  tree_node_key operator()(flag_tag<uid_flags::managed_function>, tree_node_key key, std::uint32_t offset, bool) {
    const auto resolved = net.resolve(key, offset);
    if (resolved != key || precompiled == nullptr) return resolved;
    auto found = precompiled->find(key);
    if (!found) return key;
    const auto module = net.module_id_of(kv521::utf::utf8_to_utf16(*found->path));
    found->method.module_id = module.value_or(0);
    net.function_loaded(found->method);
    return net.resolve(key, offset);
  }
  tree_node_key operator()(flag_tag<uid_flags::frame_address>, tree_node_key key, std::uint32_t, bool) {
    const auto k = frames.frame_address_loaded(key);
    return k == 0 ? key : k;
  }
};

constexpr const auto& empty = tarnwell::collector::format::empty_sections;

std::shared_ptr<std::ostream> stream_of(const sections_gen& gen, inproc::stream_section_id section) {
  return gen(stream_kind{}, section.id, section.version);
}
}  // namespace

netcore_snapshot_collector::netcore_snapshot_collector(const sections_gen& gen, module_lookup modules,
                                                       bool defer_samples, std::uint32_t tree_limit)
    : header_(std::make_shared<tarnwell::etw_collector::section_header>(gen)),
      tree_owner_(create_call_tree(gen, tree_limit)),
      tree_(tree_owner_->tree()),
      metadata_(std::make_unique<shared_metadata_writer>(gen, header_, [tree = tree_] { return tree->end_offset(); },
                                                         std::move(modules))),
      frames_(std::make_unique<tarnwell::etw_collector::callstacks::loader_frame_address>(gen, header_)),
      empty_sections_{gen(stream_kind{}, empty[0].id, empty[0].version), gen(stream_kind{}, empty[1].id, empty[1].version),
                      gen(stream_kind{}, empty[2].id, empty[2].version)},
      providers_(gen, tree_),
      sample_stream_(stream_of(gen, inproc::timeline<SampleProvider>::stream)),
      samples_(sample_stream_),
      sample_stacks_(sample_stream_, tree_),
      session_(stream_of(gen, inproc::timeline<ProfilerSessionDataProvider>::stream)),
      defer_samples_(defer_samples) {
  for (auto& s : empty_sections_) s.reset();  // created empty, closed at once
}

netcore_snapshot_collector::~netcore_snapshot_collector() {
  if (finished_) return;
  // The types could not be decided: the flags stay as the runtime set them.
  struct flags_as_they_are final : deferred_sample_types {
    void vote(std::uint8_t, tree_node_key) override {}
    std::pair<std::uint8_t, std::uint8_t> type(std::uint8_t flag, tree_node_key) override {
      return {flag, format::sample_source::flag};
    }
  } as_flagged;
  try {
    finish(as_flagged);
  } catch (...) {
    TW_LOG(error) << "Finishing the snapshot's call tree failed: " << tw::current_exception_to_string();
  }
}

void netcore_snapshot_collector::thread_start(std::int64_t timestamp, std::uint32_t thread_id) {
  if (defer_samples_)
    held_.push_back({timestamp, thread_id, hold_leaf(format::no_stack) | held_start});
  else
    samples_.thread_start(timestamp, thread_id);
}

void netcore_snapshot_collector::sample(std::int64_t timestamp, std::uint32_t thread_id, std::uint8_t type,
                                        std::uint8_t source, const stack_view& stack) {
  samples_.sample(timestamp, thread_id, type, source);
  sample_stacks_(timestamp, thread_id, stack);
}

void netcore_snapshot_collector::flagged_sample(std::int64_t timestamp, std::uint32_t thread_id, std::uint8_t flag,
                                                const stack_view& stack) {
  if (!defer_samples_) return sample(timestamp, thread_id, flag, format::sample_source::flag, stack);
  const std::uint32_t leaf = sample_stacks_.insert(timestamp, thread_id, stack);
  // A flag beyond the runtime's three values is no flag.
  held_.push_back({timestamp, thread_id, hold_leaf(leaf) | (flag <= held_flag ? flag : 0u)});
}

void netcore_snapshot_collector::resolve() {
  TW_LOG(info) << "Callstacks resolving started";
  call_stack_resolver resolver(tree_);
  resolver.resolve(snapshot_resolvers{metadata_->net(), *frames_, precompiled_.get()});
  TW_LOG(info) << "Callstacks resolving finished";
}

void netcore_snapshot_collector::finish(deferred_sample_types& types) {
  if (finished_) return;
  finished_ = true;
  try {
    resolve();
  } catch (...) {
    // The samples are written all the same; their leaves name addresses.
    TW_LOG(error) << "Call-tree resolution failed: " << tw::current_exception_to_string();
  }
  const auto leaf_key = [this](std::uint32_t leaf_and_flag) -> tree_node_key {
    const std::uint32_t leaf = leaf_held(leaf_and_flag);
    return leaf >= format::no_room_for_stack ? 0 : call_tree_data::load_key(tree_->at(leaf));
  };
  for (const auto& h : held_)
    if ((h.leaf_and_flag & held_start) == 0) types.vote(h.leaf_and_flag & held_flag, leaf_key(h.leaf_and_flag));
  for (const auto& h : held_) {
    if (h.leaf_and_flag & held_start) {
      samples_.thread_start(h.timestamp, h.thread_id);
      continue;
    }
    const auto [type, source] = types.type(h.leaf_and_flag & held_flag, leaf_key(h.leaf_and_flag));
    samples_.sample(h.timestamp, h.thread_id, type, source);
    sample_stacks_.write(h.timestamp, h.thread_id, leaf_held(h.leaf_and_flag));
  }
  held_.clear();
}

}  // namespace tw_prof::netcore
