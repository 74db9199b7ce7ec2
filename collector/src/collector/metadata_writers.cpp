#include "collector/src/collector/metadata_writers.h"
#include "collector/src/collector/snapshot_format.h"

#include "tw/log/log.h"
#include "tw/error/exception_text.h"
#include "tw/utility/le_writer.h"
#include "tw/utility/throw.h"
#include "tw/utility/utf.h"

namespace tw_prof {

namespace {

// Rewrites a count word at base + at, then returns to the end.
void rewrite(std::ostream& out, std::streamoff base, std::streamoff at, std::uint32_t count) {
  out.seekp(base + at);
  tw::write_to(out).put(count);
  out.seekp(0, std::ios::end);
  out.flush();
}

}  // namespace

metadata_writer::metadata_writer(std::shared_ptr<std::ostream> stream) : stream_(std::move(stream)) {
  base_ = stream_->tellp();
  tw::write_to(*stream_).put(std::uint32_t{0});
}

metadata_writer::~metadata_writer() {
  try {
    rewrite(*stream_, base_, 0, count_);
  } catch (...) {
  }
}

void metadata_writer::write(std::uint32_t index, const image_data& image) {
  auto out = tw::write_to(*stream_);
  out.put(index);
  out.put(static_cast<std::uint32_t>(image.metadata.size()));
  out.bytes(image.metadata.data(), image.metadata.size());
  out.put(static_cast<std::uint32_t>(image.debug_entries.size()));
  for (const auto& e : image.debug_entries) {
    out.put(e.characteristics);
    out.put(e.time_date_stamp);
    out.put(e.major_version);
    out.put(e.minor_version);
    out.put(e.type);
    out.put(static_cast<std::uint32_t>(e.data.size()));
    out.bytes(e.data.data(), e.data.size());
  }
  ++count_;
}

module_path_writer::module_path_writer(std::shared_ptr<std::ostream> stream) : stream_(std::move(stream)) {
  base_ = stream_->tellp();
  auto out = tw::write_to(*stream_);
  out.put(std::uint8_t{4});
  out.put(std::uint32_t{0});
}

module_path_writer::~module_path_writer() {
  try {
    rewrite(*stream_, base_, 1, count_);
  } catch (...) {
  }
}

void module_path_writer::write(std::uint32_t index, const std::string& path) {
  auto out = tw::write_to(*stream_);
  out.put(index);
  out.put(tarnwell::collector::format::module_path_kind::read);
  out.compressed_string(path);
  ++count_;
}

void module_path_writer::write_other_build(const std::string& path) {
  auto out = tw::write_to(*stream_);
  out.put(std::uint32_t{0});
  out.put(tarnwell::collector::format::module_path_kind::other_build);
  out.compressed_string(path);
  ++count_;
}

core_metadata_writer::core_metadata_writer(const sections_gen& gen)
    : images_(gen(stream_kind{}, tarnwell::collector::format::module_images.id,
                   tarnwell::collector::format::module_images.version)),
      paths_(gen(stream_kind{}, tarnwell::collector::format::module_paths.id,
                 tarnwell::collector::format::module_paths.version)) {}

}  // namespace tw_prof

namespace tarnwell::collector {

shared_metadata_writer::shared_metadata_writer(const tw_prof::sections_gen& gen,
                                               std::shared_ptr<etw_collector::section_header> header,
                                               std::function<std::uint32_t()> tree_end_offset, module_lookup lookup)
    : net_(gen, std::move(header), std::move(tree_end_offset)), lookup_(std::move(lookup)) {
  core_.emplace(gen);
}

tree_node_key shared_metadata_writer::module_loaded(const etw_collector::callstacks::managed_module& module) {
  const auto path = kv521::utf::utf16_to_utf8(module.path);
  TW_LOG(info) << "Processing module_loaded(id " << module.module_id << ", path \"" << path << "\")";
  bool first_time;
  {
    std::lock_guard lock(lock_);
    first_time = imaged_paths_.insert(path).second;
  }
  found_module_file found;
  if (first_time && !path.empty()) found = find_module_file(lookup_, path, module.identity);
  std::lock_guard lock(lock_);
  const auto key = net_.module_loaded(module);
  if (!core_) return key;
  if (found.image && mvids_.insert(found.image->mvid).second) {
    ++core_modules_;
    core_->images().write(core_modules_, *found.image);
    core_->paths().write(core_modules_, path);
    TW_LOG(info) << "core module loaded: module_id: " << module.module_id << ", mdi: " << core_modules_;
  } else if (found.status == module_file_status::other_build) {
    core_->paths().write_other_build(path);
  }
  return key;
}

tree_node_key shared_metadata_writer::function_loaded(const etw_collector::callstacks::managed_method& method) {
  std::lock_guard lock(lock_);
  return net_.function_loaded(method);
}

}  // namespace tarnwell::collector
