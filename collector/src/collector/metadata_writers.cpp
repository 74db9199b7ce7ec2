#include "collector/src/collector/metadata_writers.h"

#include "api/log.h"
#include "tw/error/exception_text.h"
#include "tw/utility/binary_write.h"
#include "tw/utility/throw.h"
#include "tw/utility/utf.h"

namespace tw_prof {

namespace {

// Rewrites a count word at base + at, then returns to the end.
void rewrite(std::ostream& out, std::streamoff base, std::streamoff at, std::uint32_t count) {
  out.seekp(base + at);
  tw::write_le(out, count);
  out.seekp(0, std::ios::end);
  out.flush();
}

}  // namespace

void write_compressed_length(std::ostream& out, std::uint32_t v) {
  if (v < 0x80) {
    tw::write_le<std::uint8_t>(out, static_cast<std::uint8_t>(v));
  } else if (v <= 0x3FFF) {
    tw::write_le<std::uint8_t>(out, static_cast<std::uint8_t>(0x80 | (v >> 8)));
    tw::write_le<std::uint8_t>(out, static_cast<std::uint8_t>(v));
  } else if (v <= 0x1FFFFFFF) {
    tw::write_le<std::uint8_t>(out, static_cast<std::uint8_t>(0xC0 | (v >> 24)));
    tw::write_le<std::uint8_t>(out, static_cast<std::uint8_t>(v >> 16));
    tw::write_le<std::uint8_t>(out, static_cast<std::uint8_t>(v >> 8));
    tw::write_le<std::uint8_t>(out, static_cast<std::uint8_t>(v));
  } else {
    TW_THROW(std::runtime_error("Too large value"));
  }
}

metadata_writer::metadata_writer(std::shared_ptr<std::ostream> stream) : stream_(std::move(stream)) {
  base_ = stream_->tellp();
  tw::write_le<std::uint32_t>(*stream_, 0);
}

metadata_writer::~metadata_writer() {
  try {
    rewrite(*stream_, base_, 0, count_);
  } catch (...) {
  }
}

void metadata_writer::write(std::uint32_t index, const image_data& image) {
  auto& out = *stream_;
  tw::write_le(out, index);
  tw::write_le(out, static_cast<std::uint32_t>(image.metadata.size()));
  out.write(reinterpret_cast<const char*>(image.metadata.data()), static_cast<std::streamsize>(image.metadata.size()));
  tw::write_le(out, static_cast<std::uint32_t>(image.debug_entries.size()));
  for (const auto& e : image.debug_entries) {
    tw::write_le(out, e.characteristics);
    tw::write_le(out, e.time_date_stamp);
    tw::write_le(out, e.major_version);
    tw::write_le(out, e.minor_version);
    tw::write_le(out, e.type);
    tw::write_le(out, static_cast<std::uint32_t>(e.data.size()));
    out.write(reinterpret_cast<const char*>(e.data.data()), static_cast<std::streamsize>(e.data.size()));
  }
  ++count_;
}

module_path_writer::module_path_writer(std::shared_ptr<std::ostream> stream) : stream_(std::move(stream)) {
  base_ = stream_->tellp();
  tw::write_le<std::uint8_t>(*stream_, 4);
  tw::write_le<std::uint32_t>(*stream_, 0);
}

module_path_writer::~module_path_writer() {
  try {
    rewrite(*stream_, base_, 1, count_);
  } catch (...) {
  }
}

void module_path_writer::write(std::uint32_t index, const std::string& path) {
  auto& out = *stream_;
  tw::write_le(out, index);
  tw::write_le<std::uint16_t>(out, 1);
  write_compressed_length(out, static_cast<std::uint32_t>(path.size()));
  out.write(path.data(), static_cast<std::streamsize>(path.size()));
  ++count_;
}

core_metadata_writer::core_metadata_writer(const sections_gen& gen)
    : images_(gen(stream_kind{}, 256, 2)), paths_(gen(stream_kind{}, 272, 0)) {}

}  // namespace tw_prof

namespace tarnwell::collector {

shared_metadata_writer::shared_metadata_writer(const tw_prof::sections_gen& gen,
                                               std::shared_ptr<etw_collector::section_header> header,
                                               std::function<std::uint32_t()> tree_end_offset)
    : net_(gen, std::move(header), std::move(tree_end_offset)) {
  core_.emplace(gen);
}

tree_node_key shared_metadata_writer::module_loaded(const etw_collector::callstacks::managed_module& module) {
  const auto path = kv521::utf::utf16_to_utf8(module.path);
  TW_LOG(info) << "Processing module_loaded(id " << module.module_id << ", path \"" << path << "\")";
  std::optional<tw_prof::image_data> image;
  try {
    image = tw_prof::get_image_data(path);
  } catch (...) {
    TW_LOG(error) << tw::current_exception_to_string();
  }
  std::lock_guard lock(lock_);
  const auto key = net_.module_loaded(module);
  if (image && core_ && mvids_.insert(image->mvid).second) {
    ++core_modules_;
    core_->images().write(core_modules_, *image);
    core_->paths().write(core_modules_, path);
    TW_LOG(info) << "core module loaded: module_id: " << module.module_id << ", mdi: " << core_modules_;
  }
  return key;
}

tree_node_key shared_metadata_writer::function_loaded(const etw_collector::callstacks::managed_method& method) {
  std::lock_guard lock(lock_);
  return net_.function_loaded(method);
}

}  // namespace tarnwell::collector
