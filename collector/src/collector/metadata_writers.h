#pragma once

// Module metadata for symbol lookup: once per distinct module image (by
// MVID) its CLI metadata and debug directory (section 256) and its path
// (section 272); and the shared writer that records every managed module
// load into both the loaders and these sections.
//
// Threads: module loads may come from several threads; the spin flag
// serialises them.

#include "collector/src/collector/loaders/loader_net.h"
#include "tw/portable_executable/parser.h"
#include "tw/utility/spinlock.h"

#include <array>
#include <memory>
#include <optional>
#include <set>
#include <string>

namespace tw_prof {

class metadata_writer {
 public:
  explicit metadata_writer(std::shared_ptr<std::ostream> stream);
  ~metadata_writer();
  void write(std::uint32_t index, const image_data& image);

 private:
  std::shared_ptr<std::ostream> stream_;
  std::streamoff base_;
  std::uint32_t count_ = 0;
};

class module_path_writer {
 public:
  explicit module_path_writer(std::shared_ptr<std::ostream> stream);
  ~module_path_writer();
  void write(std::uint32_t index, const std::string& path);
  // A module whose file was found only in another build.
  void write_other_build(const std::string& path);

 private:
  std::shared_ptr<std::ostream> stream_;
  std::streamoff base_;
  std::uint32_t count_ = 0;
};

class core_metadata_writer {
 public:
  explicit core_metadata_writer(const sections_gen& gen);
  metadata_writer& images() noexcept { return images_; }
  module_path_writer& paths() noexcept { return paths_; }

 private:
  metadata_writer images_;
  module_path_writer paths_;
};

}  // namespace tw_prof

namespace tarnwell::collector {

class shared_metadata_writer {
 public:
  // `lookup`: where module files are read from.
  shared_metadata_writer(const tw_prof::sections_gen& gen, std::shared_ptr<etw_collector::section_header> header,
                         std::function<std::uint32_t()> tree_end_offset, module_lookup lookup = {});

  // Records a module load; a module whose file cannot be read is still
  // recorded, without image data.
  tree_node_key module_loaded(const etw_collector::callstacks::managed_module& module);
  tree_node_key function_loaded(const etw_collector::callstacks::managed_method& method);

  etw_collector::callstacks::loader_net& net() noexcept { return net_; }
  std::uint32_t core_module_count() const noexcept { return core_modules_; }

 private:
  etw_collector::callstacks::loader_net net_;
  tw::spinlock lock_;
  std::optional<tw_prof::core_metadata_writer> core_;
  std::set<tw::guid> mvids_;
  // Files whose image was read: a module is reported by its load and again by
  // the rundown, and its file is read once.
  std::set<std::string> imaged_paths_;
  module_lookup lookup_;
  std::uint32_t core_modules_ = 0;
};

}  // namespace tarnwell::collector
