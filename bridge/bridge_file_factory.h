#pragma once

// Snapshot files whose paths the host names: each file is asked for over the
// bridge (a file request), then created where the answer says.

#include "api/file_factory.h"

#include <filesystem>
#include <functional>

namespace tw_prof {

class bridge_file_factory final : public file_factory {
 public:
  using path_source = std::function<std::filesystem::path(const file_request&)>;
  using remover = std::function<void()>;

  bridge_file_factory(path_source source, remover remove) : source_(std::move(source)), remove_(std::move(remove)) {}

  std::shared_ptr<std::ostream> create_stream(const file_request& request) override {
    return open_file_stream(source_(request));
  }
  int create_file(const file_request& request) override { return open_file_handle(source_(request)); }
  void remove_all() override {
    if (remove_) remove_();
  }

 private:
  path_source source_;
  remover remove_;
};

}  // namespace tw_prof
