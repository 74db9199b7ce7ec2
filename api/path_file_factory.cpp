#include "api/path_file_factory.h"

#include "tw/utility/throw.h"

#include "collector/src/collector/snapshot_format.h"

namespace tw_prof {

std::filesystem::path path_file_factory::gen_file_path(bool main) const {
  if (main) return base_path_;
  const std::size_t number = created_.empty() ? 0 : created_.size() - 1;
  return tarnwell::collector::format::section_file_path(base_path_, number);
}

std::filesystem::path path_file_factory::register_path(const file_request& request) {
  const auto* host = std::get_if<host_file>(&request);
  if (host == nullptr) throw std::runtime_error("Slave file is unexpected");
  auto path = gen_file_path(host->main);
  created_.push_back(path);
  return path;
}

int path_file_factory::create_file(const file_request& request) { return open_file_handle(register_path(request)); }

std::shared_ptr<std::ostream> path_file_factory::create_stream(const file_request& request) {
  return open_file_stream(register_path(request));
}

void path_file_factory::remove_all() {
  for (const auto& path : created_) {
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
  }
  created_.clear();
}

}  // namespace tw_prof
