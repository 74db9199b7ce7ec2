#pragma once

// What the snapshot knows of managed modules and methods: it records them in
// the fixed-format sections, and keeps the maps the call-stack resolver needs
// to turn a code address into a method.
//
// Threads: module and method loads arrive on the event-processing thread;
// the shared metadata writer serialises module loads from other threads with
// its spin flag. Resolution runs alone afterwards.

#include "collector/src/collector/callstacks/call_tree_data.h"
#include "collector/src/collector/address_map.h"
#include "collector/src/collector/fixed_format.h"
#include "collector/src/collector/loaders/module_files.h"

#include <boost/icl/interval_map.hpp>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

namespace tarnwell::etw_collector::callstacks {

using collector::tree_node_key;

constexpr tree_node_key module_key(std::uint32_t index) noexcept { return 0x8000000000000000ull | (index & 0x1FFFFFFF); }
constexpr tree_node_key managed_function_key(std::uint32_t index) noexcept {
  return 0x4000000000000000ull | (index & 0x1FFFFFFF);
}
constexpr tree_node_key frame_address_key(std::uint64_t index) noexcept { return 0xA000000000000000ull | index; }

inline constexpr std::uint32_t current_watermark = 0xFFFFFFFF;

struct managed_module {
  std::uint64_t module_id = 0;
  std::u16string path;
  std::u16string native_path;
  std::int64_t load_time = 0;
  std::uint64_t assembly_id = 0;
  std::uint32_t flags = 0;
  std::vector<std::uint8_t> extra;  // e.g. the managed PDB signature and age
  collector::module_identity identity;  // which build of its file was loaded
};

struct managed_method {
  std::uint64_t method_id = 0;
  std::uint64_t module_id = 0;
  std::uint64_t start = 0;
  std::uint32_t size = 0;
  std::uint32_t token = 0;
  std::uint32_t flags = 0;
  std::u16string method_namespace;
  std::u16string name;
  std::u16string signature;
};

class loader_net {
 public:
  // end_offset: where the call tree's next node would go; methods replaced
  // in memory stop resolving from there on.
  loader_net(const tw_prof::sections_gen& gen, std::shared_ptr<section_header> header,
             std::function<std::uint32_t()> end_offset);

  tree_node_key module_loaded(const managed_module& module);
  // The method's key, or 0 when the same method is already known at the
  // same address.
  tree_node_key function_loaded(const managed_method& method);

  // Resolver for managed-function keys: the function loaded at `address`
  // when the node at `offset` was created. Not to be called concurrently
  // with itself or function_loaded.
  tree_node_key resolve(tree_node_key address, std::uint32_t offset) const;

  // The id of the module loaded from `path` (its IL path), when one was.
  std::optional<std::uint64_t> module_id_of(const std::u16string& path) const;
  std::size_t function_count() const noexcept { return functions_.size(); }

 private:
  struct function_range {
    std::uint64_t start;
    std::uint32_t size;
    tree_node_key key;
    std::uint32_t token;
    std::uint32_t watermark;
  };
  struct module_node {
    std::uint32_t index;
    std::uint64_t data_offset;
  };

  std::uint32_t module_index(std::uint64_t module_id);

  std::unique_ptr<section_writer<module_data_section_tag>> module_data_;
  std::unique_ptr<section_writer<unordered_managed_module_section_tag>> modules_section_;
  std::unique_ptr<section_writer<managed_function_section_tag>> functions_section_;
  std::unique_ptr<section_writer<managed_function_data_section_tag>> function_data_;
  std::function<std::uint32_t()> end_offset_;
  std::unordered_map<std::uint64_t, module_node> modules_;
  std::unordered_map<std::u16string, std::uint64_t> module_paths_;
  std::map<std::pair<std::uint64_t, std::uint64_t>, tree_node_key> known_;  // (method id, start) -> key
  std::vector<function_range> functions_;
  boost::icl::interval_map<std::uint64_t, std::set<std::uint32_t>> ranges_;
  // Answers that hold whatever the node; forgotten when a function loads.
  mutable collector::address_map resolved_;
};

class loader_frame_address {
 public:
  loader_frame_address(const tw_prof::sections_gen& gen, std::shared_ptr<section_header> header);
  tree_node_key frame_address_loaded(std::uint64_t address);

 private:
  std::unique_ptr<section_writer<frame_address_section_tag>> section_;
  collector::address_map known_;
};

}  // namespace tarnwell::etw_collector::callstacks
