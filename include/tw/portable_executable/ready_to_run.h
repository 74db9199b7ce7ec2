#pragma once

// The precompiled methods of a ReadyToRun image. The runtime announces the
// methods it compiles, and a rundown lists those compiled before a session,
// but code that was precompiled into a framework image and never recompiled
// is announced by nobody: a sample that stops in it is resolved through the
// image itself, from its method entry points and runtime functions, with
// names from its metadata.

#include "tw/portable_executable/parser.h"

#include <cstdint>
#include <string>
#include <vector>

namespace tw {

struct ready_to_run_method {
  std::uint32_t begin_rva = 0;
  std::uint32_t end_rva = 0;  // of the method's main body and its funclets
  std::uint32_t token = 0;    // MethodDef
  std::string type_namespace;
  std::string type_name;
  std::string name;
};

// The image's precompiled methods (those of its MethodDef entry points), by
// begin address. Empty for an image without native code or of a machine
// other than x64. Throws std::runtime_error for an image that lies about
// its own layout.
std::vector<ready_to_run_method> read_ready_to_run_methods(const portable_executable& image);

}  // namespace tw
