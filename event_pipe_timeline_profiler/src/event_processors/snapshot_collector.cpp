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

netcore_snapshot_collector::netcore_snapshot_collector(const sections_gen& gen, const std::string& root)
    : header_(std::make_shared<tarnwell::etw_collector::section_header>(gen)),
      tree_owner_(create_call_tree(gen)),
      tree_(tree_owner_->tree()),
      metadata_(std::make_unique<shared_metadata_writer>(gen, header_, [tree = tree_] { return tree->end_offset(); },
                                                         root)),
      frames_(std::make_unique<tarnwell::etw_collector::callstacks::loader_frame_address>(gen, header_)),
      empty_sections_{gen(stream_kind{}, empty[0].id, empty[0].version), gen(stream_kind{}, empty[1].id, empty[1].version),
                      gen(stream_kind{}, empty[2].id, empty[2].version)},
      providers_(gen, tree_),
      sample_stream_(stream_of(gen, inproc::timeline<SampleProvider>::stream)),
      samples_(sample_stream_),
      sample_stacks_(sample_stream_, tree_),
      session_(stream_of(gen, inproc::timeline<ProfilerSessionDataProvider>::stream)) {
  for (auto& s : empty_sections_) s.reset();  // created empty, closed at once
}

netcore_snapshot_collector::~netcore_snapshot_collector() {
  try {
    TW_LOG(info) << "Callstacks resolving started";
    call_stack_resolver resolver(tree_);
    resolver.resolve(snapshot_resolvers{metadata_->net(), *frames_, precompiled_.get()});
    TW_LOG(info) << "Callstacks resolving finished";
  } catch (...) {
    TW_LOG(error) << "Call-tree resolution failed: " << tw::current_exception_to_string();
  }
}

}  // namespace tw_prof::netcore
