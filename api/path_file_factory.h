#pragma once

// Names snapshot files after a base path: the main file is the base path
// itself, further files are base.0000, base.0001, ...

#include "tw/io/file_factory.h"

#include <filesystem>
#include <string>
#include <vector>

namespace tw_prof {

class path_file_factory final : public file_factory {
 public:
  explicit path_file_factory(std::string base_path) : base_path_(std::move(base_path)) {}

  std::shared_ptr<std::ostream> create_stream(const file_request& request) override;
  int create_file(const file_request& request) override;
  void remove_all() override;

  const std::vector<std::filesystem::path>& created() const noexcept { return created_; }

 private:
  std::filesystem::path gen_file_path(bool main) const;
  std::filesystem::path register_path(const file_request& request);

  std::string base_path_;
  std::vector<std::filesystem::path> created_;
};

}  // namespace tw_prof
