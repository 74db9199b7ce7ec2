#include "collector/src/collector/loaders/loader_net.h"

#include "tw/log/log.h"
#include "tw/utility/utf.h"

#include <iomanip>
#include <sstream>

namespace tarnwell::etw_collector::callstacks {

namespace {

std::string key_text(tree_node_key key) {
  std::ostringstream out;
  out << "0x" << std::hex << std::setw(16) << std::setfill('0') << key;
  return out.str();
}

std::uint32_t utf16_bytes(const std::u16string& s) { return static_cast<std::uint32_t>((s.size() + 1) * 2); }

}  // namespace

loader_net::loader_net(const tw_prof::sections_gen& gen, std::shared_ptr<section_header> header,
                       std::function<std::uint32_t()> end_offset)
    : module_data_(make_section_writer_default<module_data_section_tag>(gen, header)),
      modules_section_(make_section_writer_default<unordered_managed_module_section_tag>(gen, header)),
      functions_section_(make_section_writer_default<managed_function_section_tag>(gen, header)),
      function_data_(make_section_writer_default<managed_function_data_section_tag>(gen, header)),
      end_offset_(std::move(end_offset)) {}

tree_node_key loader_net::module_loaded(const managed_module& m) {
  TW_LOG(info) << "etw managed module loaded: module_id: " << m.module_id
               << ", path: " << kv521::utf::utf16_to_utf8(m.path) << ", load time: " << m.load_time;
  const auto stats = module_data_->write(std::make_tuple(utf16_bytes(m.path), m.path, utf16_bytes(m.native_path),
                                                         m.native_path, m.assembly_id, m.flags, m.extra));
  const std::uint64_t data_offset = stats.last_record_offset;
  std::uint32_t index;
  if (const auto it = modules_.find(m.module_id); it != modules_.end()) {
    index = it->second.index;
    it->second.data_offset = data_offset;
  } else {
    index = static_cast<std::uint32_t>(modules_.size());
    modules_.emplace(m.module_id, module_node{index, data_offset});
  }
  modules_section_->write(std::make_tuple(index, m.module_id, data_offset));
  module_paths_[m.path] = m.module_id;
  return module_key(index);
}

std::optional<std::uint64_t> loader_net::module_id_of(const std::u16string& path) const {
  const auto it = module_paths_.find(path);
  if (it == module_paths_.end()) return std::nullopt;
  return it->second;
}

std::uint32_t loader_net::module_index(std::uint64_t module_id) {
  const auto it = modules_.find(module_id);
  if (it != modules_.end()) return it->second.index;
  const auto index = static_cast<std::uint32_t>(modules_.size());
  modules_.emplace(module_id, module_node{index, 0});
  return index;
}

tree_node_key loader_net::function_loaded(const managed_method& m) {
  resolved_.clear();
  module_index(m.module_id);
  if (known_.count({m.method_id, m.start})) return 0;
  const std::uint64_t end = m.start + m.size;
  if (m.size != 0) {
    // Code that was replaced stops resolving from the tree's current end on.
    const auto overlap = ranges_.equal_range(boost::icl::interval<std::uint64_t>::right_open(m.start, end));
    std::uint32_t watermark = 0;
    bool watermark_taken = false;
    for (auto it = overlap.first; it != overlap.second; ++it)
      for (const auto f : it->second)
        if (functions_[f].watermark == current_watermark) {
          if (!watermark_taken) {
            watermark = end_offset_ ? end_offset_() : 0;
            watermark_taken = true;
          }
          functions_[f].watermark = watermark;
        }
  }
  const std::uint32_t names_bytes =
      utf16_bytes(m.method_namespace) + utf16_bytes(m.name) + utf16_bytes(m.signature);
  const auto data = function_data_->write(std::make_tuple(names_bytes, m.method_namespace, m.name, m.signature));
  const auto index = functions_section_->stats().record_count;
  functions_section_->write(std::make_tuple(m.token, m.flags, m.size, data.last_record_offset));
  const tree_node_key key = managed_function_key(index);
  const auto function = static_cast<std::uint32_t>(functions_.size());
  functions_.push_back({m.start, m.size, key, m.token, current_watermark});
  known_.emplace(std::make_pair(m.method_id, m.start), key);
  if (m.size != 0)
    ranges_.add(std::make_pair(boost::icl::interval<std::uint64_t>::right_open(m.start, end),
                               std::set<std::uint32_t>{function}));
  TW_LOG(debug) << "----> managed function key: " << key_text(key);
  return key;
}

tree_node_key loader_net::resolve(tree_node_key address, std::uint32_t offset) const {
  if (const auto* known = resolved_.find(address)) return *known;
  // The answer holds for every node when no code at the address was ever
  // replaced: then it is kept, as the tree repeats addresses many times over.
  bool same_for_every_node = true;
  const auto remember = [&](tree_node_key key) {
    if (same_for_every_node) resolved_.emplace(address, key);
    return key;
  };
  const auto it = ranges_.find(address);
  if (it == ranges_.end()) return remember(address);
  const function_range* best = nullptr;
  for (const auto f : it->second) {
    const auto& candidate = functions_[f];
    if (candidate.watermark != current_watermark) same_for_every_node = false;
    if (candidate.watermark > offset && (!best || candidate.watermark < best->watermark)) best = &candidate;
  }
  if (!best) return remember(address);
  const std::uint64_t distance = address - best->start;
  const tree_node_key base = best->key & 0xE00000001FFFFFFFull;
  return remember(distance <= 0xFFFFFFFFull ? base | (distance << 29) : base);
}

loader_frame_address::loader_frame_address(const tw_prof::sections_gen& gen, std::shared_ptr<section_header> header)
    : section_(make_section_writer_default<frame_address_section_tag>(gen, std::move(header))) {}

tree_node_key loader_frame_address::frame_address_loaded(std::uint64_t address) {
  TW_LOG(loader_log) << "frame address loaded: " << address;
  if (const auto* known = known_.find(address)) return *known;
  const auto stats = section_->write(std::make_tuple(address));
  const tree_node_key key = frame_address_key(stats.record_count - 1);
  known_.emplace(address, key);
  TW_LOG(loader_log) << "----> frame address key: " << key_text(key);
  return key;
}

}  // namespace tarnwell::etw_collector::callstacks
