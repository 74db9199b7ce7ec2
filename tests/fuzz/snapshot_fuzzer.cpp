// libFuzzer target: a snapshot whose sections hold any bytes, read back by
// inspect and by both exports. The input is a little-endian u32 length for
// each section of `sections` below, then their bytes one after another (a
// length past the input's end takes what is left). Every run must end with a
// result or an exception, never a crash, a leak or an overrun.

#include "collector/src/collector/snapshot_format.h"
#include "tools/snapshot_export.h"
#include "tools/snapshot_inspect.h"
#include "tools/snapshot_report.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

namespace {

// scripts/fuzz.sh makes its seeds in this order, reading these names.
namespace f = tarnwell::collector::format;
constexpr std::uint16_t sections[] = {
    f::environment.id, f::session_stream.id, f::runtime_stream.id, f::task_stream.id, f::sqlclient_stream.id,
    f::kestrel_stream.id, f::sample_stream.id, f::call_tree.id, f::managed_functions.id, f::managed_function_data.id,
    f::managed_modules.id, f::module_data.id, f::module_images.id, f::module_paths.id};

template <class T>
void put(std::ofstream& out, T value) {
  out.write(reinterpret_cast<const char*>(&value), sizeof value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string index =
      (std::filesystem::temp_directory_path() / ("snapshot_fuzz_" + std::to_string(::getpid()))).string();
  constexpr std::size_t count = std::size(sections);
  std::uint64_t lengths[count] = {};
  std::size_t at = 0;
  for (auto& length : lengths) {
    std::uint32_t n = 0;
    if (size - at >= 4) {
      std::memcpy(&n, data + at, 4);
      at += 4;
    }
    length = n;
  }
  {
    std::ofstream file(index + ".0000", std::ios::binary | std::ios::trunc);
    std::ofstream out(index, std::ios::binary | std::ios::trunc);
    put<std::uint16_t>(out, f::index_signature);
    put<std::uint32_t>(out, 0x13);
    put<std::uint32_t>(out, count);
    for (std::size_t i = 0; i < count; ++i) {
      lengths[i] = std::min<std::uint64_t>(lengths[i], size - at);
      file.write(reinterpret_cast<const char*>(data + at), static_cast<std::streamsize>(lengths[i]));
      at += lengths[i];
      put<std::uint16_t>(out, sections[i]);
      put<std::uint16_t>(out, 0);
      put<std::uint64_t>(out, lengths[i]);
      put<std::uint16_t>(out, 0);
    }
    put<std::uint16_t>(out, 0xFFFF);
  }
  try {
    (void)tw::tools::inspect_snapshot(index);
  } catch (const std::exception&) {
  }
  for (const auto format : {tw::tools::export_format::speedscope, tw::tools::export_format::chrome,
                            tw::tools::export_format::pprof, tw::tools::export_format::folded_wall}) {
    std::FILE* sink = std::fopen("/dev/null", "wb");
    try {
      const tw::tools::snapshot_model model(index);
      tw::tools::export_snapshot(model, format, sink);
    } catch (const std::exception&) {
    }
    std::fclose(sink);
  }
  std::FILE* sink = std::fopen("/dev/null", "wb");
  try {
    const tw::tools::snapshot_model model(index);
    tw::tools::write_report(model, {}, sink);
  } catch (const std::exception&) {
  }
  std::fclose(sink);
  return 0;
}
