#pragma once

// The recordings the tests read: those made here (tests/data) and the
// public ones the build unpacks (tests/data/public).

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

namespace test_support {

// tests/data/NAME.nettrace, made by the local runtime.
inline std::filesystem::path recording(const std::string& name) {
  return std::filesystem::path(TW_SOURCE_DIR) / "tests" / "data" / (name + ".nettrace");
}

// A public recording, as the build unpacked it.
inline std::filesystem::path public_recording(const std::string& name) {
  return std::filesystem::path(TW_CORPUS_DIR) / (name + ".nettrace");
}

// The recordings of `folder`, sorted; by default the public ones, then
// those made here.
inline std::vector<std::filesystem::path> recordings_in(const std::filesystem::path& folder) {
  std::vector<std::filesystem::path> files;
  if (std::filesystem::is_directory(folder))
    for (const auto& e : std::filesystem::directory_iterator(folder))
      if (e.path().extension() == ".nettrace") files.push_back(e.path());
  std::sort(files.begin(), files.end());
  return files;
}
inline std::vector<std::filesystem::path> every_recording() {
  auto all = recordings_in(TW_CORPUS_DIR);
  const auto own = recordings_in(recording("x").parent_path());
  all.insert(all.end(), own.begin(), own.end());
  return all;
}

}  // namespace test_support
