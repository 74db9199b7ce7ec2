#include "collector/src/collector/loaders/module_files.h"

#include "tw/error/exception_text.h"
#include "tw/log/log.h"
#include "tw/utility/byte_cursor.h"

#include <sys/stat.h>

namespace tarnwell::collector {

namespace {

constexpr std::uint32_t codeview_type = 2;
constexpr std::uint32_t rsds_signature = 0x53445352;  // "RSDS"

// The (GUID, age) of a CodeView entry, when it is one.
std::optional<std::pair<tw::guid, std::uint32_t>> codeview_of(const tw::debug_directory_entry& e) {
  if (e.type != codeview_type) return std::nullopt;
  try {
    tw::byte_cursor c(e.data.data(), e.data.data() + e.data.size(), "CodeView entry");
    if (c.read<std::uint32_t>() != rsds_signature) return std::nullopt;
    const auto signature = c.guid(tw::guid_byte_order::windows);
    return std::make_pair(signature, c.read<std::uint32_t>());
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

bool is_file(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

bool module_identity::matches(const std::vector<tw::debug_directory_entry>& entries) const {
  if (!known()) return true;
  const auto names = [&](const tw::guid& signature, std::uint32_t age) {
    if (signature == tw::guid{}) return true;
    for (const auto& e : entries)
      if (const auto cv = codeview_of(e); cv && cv->first == signature && cv->second == age) return true;
    return false;
  };
  return names(pdb, pdb_age) && names(native_pdb, native_pdb_age);
}

std::string module_file_name(const std::string& recorded_path) {
  return recorded_path.substr(recorded_path.find_last_of("/\\") + 1);
}

found_module_file find_module_file(const module_lookup& lookup, const std::string& recorded_path,
                                   const module_identity& identity) {
  std::vector<std::string> candidates;
  if (lookup.recorded_paths) candidates.push_back(lookup.root + recorded_path);
  if (const auto name = module_file_name(recorded_path); !name.empty())
    for (const auto& directory : lookup.directories)
      candidates.push_back(directory.empty() || directory.back() == '/' ? directory + name : directory + "/" + name);

  found_module_file found;
  for (const auto& file : candidates) {
    if (!is_file(file)) continue;
    try {
      auto image = tw_prof::get_image_data(file);
      if (!identity.matches(image.debug_entries)) {
        TW_LOG(info) << "The module file " << file << " is of another build than the recording's " << recorded_path;
        if (found.status == module_file_status::missing) found = {module_file_status::other_build, std::nullopt, file};
        continue;
      }
      return {module_file_status::read, std::move(image), file};
    } catch (...) {
      TW_LOG(error) << tw::current_exception_to_string();
    }
  }
  return found;
}

}  // namespace tarnwell::collector
