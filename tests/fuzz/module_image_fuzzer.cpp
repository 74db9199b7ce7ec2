// libFuzzer target: any byte string as a module image file, read for its
// metadata, MVID, debug directory and precompiled methods. The run must end
// with a result or an exception, never a crash, a leak or an overrun.

#include "tw/portable_executable/ready_to_run.h"

#include <cstddef>
#include <cstdint>
#include <exception>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  try {
    const tw::portable_executable image(std::vector<std::uint8_t>(data, data + size), tw::read_mode::file, "fuzz");
    try {
      (void)tw::extract_mvid(image.metadata());
    } catch (const std::exception&) {
    }
    std::size_t characters = 0;
    for (const auto& m : tw::read_ready_to_run_methods(image))
      characters += m.name.size() + m.type_name.size() + m.type_namespace.size() + (m.end_rva - m.begin_rva);
    (void)characters;
  } catch (const std::exception&) {
  }
  return 0;
}
