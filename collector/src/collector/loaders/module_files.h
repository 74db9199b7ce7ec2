#pragma once

// Where a module's file is looked for, and when a file found there is taken
// for the module the recording names. A recording converted on another
// machine names files that are not there, or that are another build of the
// same name: the runtime's module load tells which build it loaded (the PDB
// signatures its debug directory carries), and a file is read only when its
// own debug directory says the same.

#include "tw/portable_executable/parser.h"
#include "tw/utility/guid.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tarnwell::collector {

struct module_lookup {
  std::string root;                      // prefixed to recorded paths: a container's root as seen here
  bool recorded_paths = true;            // look at the path the recording names
  std::vector<std::string> directories;  // then for the file's name in each of these, in order
};

// The build the runtime loaded: the CodeView signatures (GUID and age) of
// its IL and, for a precompiled image, its native PDB. Unknown (all zero)
// for runtimes that do not report them.
struct module_identity {
  tw::guid pdb;
  std::uint32_t pdb_age = 0;
  tw::guid native_pdb;
  std::uint32_t native_pdb_age = 0;

  bool known() const noexcept { return pdb != tw::guid{} || native_pdb != tw::guid{}; }
  // Whether a file's debug directory names this build. An unknown identity
  // matches any file: nothing says it is another.
  bool matches(const std::vector<tw::debug_directory_entry>& entries) const;
};

enum class module_file_status : std::uint8_t { read, missing, other_build };

struct found_module_file {
  module_file_status status = module_file_status::missing;
  std::optional<tw_prof::image_data> image;
  std::string file;  // where the image was read, or the first file refused
};

// The first file of the module's build, at its recorded path and then by
// its name in the lookup's directories. Files that cannot be read as module
// images count as not there.
found_module_file find_module_file(const module_lookup& lookup, const std::string& recorded_path,
                                   const module_identity& identity);

// The file name of a recorded path, whichever system's separators it uses.
std::string module_file_name(const std::string& recorded_path);

}  // namespace tarnwell::collector
