#include "event_pipe_timeline_profiler/src/event_processors/precompiled_code.h"

#include "api/log.h"
#include "tw/error/exception_text.h"
#include "tw/utility/utf.h"

#include <algorithm>

namespace tw_prof::netcore {

precompiled_code::precompiled_code(std::vector<image_mapping> images) {
  for (auto& m : images) images_.push_back({std::move(m), false, {}});
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
      const tw::portable_executable pe(tw::read_module_file(img.mapping.path), tw::read_mode::file, img.mapping.path);
      img.methods = tw::read_ready_to_run_methods(pe);
      TW_LOG(info) << "Precompiled methods of " << img.mapping.path << ": " << img.methods.size();
    } catch (...) {
      TW_LOG(warning) << "Precompiled code of " << img.mapping.path
                      << " cannot be read: " << tw::current_exception_to_string();
    }
  }
  const std::uint64_t rva = address - img.mapping.base;
  auto m = std::upper_bound(img.methods.begin(), img.methods.end(), rva,
                            [](std::uint64_t r, const tw::ready_to_run_method& x) { return r < x.begin_rva; });
  if (m == img.methods.begin()) return std::nullopt;
  --m;
  if (rva >= m->end_rva) return std::nullopt;
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
