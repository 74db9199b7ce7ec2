#include "event_pipe_timeline_profiler/src/event_processors/precompiled_code.h"

#include "tw/log/log.h"
#include "tw/error/exception_text.h"
#include "tw/utility/utf.h"

#include <algorithm>

namespace tw_prof::netcore {

precompiled_code::precompiled_code(std::vector<image_mapping> images) {
  for (auto& m : images) images_.push_back({std::move(m), false, nullptr, nullptr});
  std::sort(images_.begin(), images_.end(), [](const auto& a, const auto& b) { return a.mapping.base < b.mapping.base; });
}

std::optional<precompiled_code::found> precompiled_code::find(std::uint64_t address) {
  auto it = std::upper_bound(images_.begin(), images_.end(), address,
                             [](std::uint64_t a, const image& i) { return a < i.mapping.base; });
  if (it == images_.begin()) return std::nullopt;
  image& img = *--it;
  if (address >= img.mapping.end) return std::nullopt;
  if (!img.read) {
    img.read = true;
    try {
      img.file = std::make_unique<tw::portable_executable>(
          tw::portable_executable::map_file(img.mapping.file.empty() ? img.mapping.path : img.mapping.file));
      img.code = std::make_unique<tw::ready_to_run_code>(*img.file);
      TW_LOG(info) << "Precompiled methods of " << img.mapping.path << ": " << img.code->methods().size();
    } catch (...) {
      img.code.reset();
      TW_LOG(warning) << "Precompiled code of " << img.mapping.path
                      << " cannot be read: " << tw::current_exception_to_string();
    }
  }
  if (!img.code || address - img.mapping.base > 0xFFFFFFFFull) return std::nullopt;
  const auto m = img.code->find(static_cast<std::uint32_t>(address - img.mapping.base));
  if (!m) return std::nullopt;
  found f{&img.mapping.path, {}};
  auto& method = f.method;
  method.start = img.mapping.base + m->begin_rva;
  method.method_id = method.start;
  method.size = m->end_rva - m->begin_rva;
  method.token = m->token;
  const std::string type = m->type_namespace.empty() ? m->type_name : m->type_namespace + "." + m->type_name;
  method.method_namespace = kv521::utf::utf8_to_utf16(type);
  method.name = kv521::utf::utf8_to_utf16(m->name);
  return f;
}

}  // namespace tw_prof::netcore
