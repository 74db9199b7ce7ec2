#pragma once

// Snapshot files whose paths the host names: each file is asked for over the
// bridge (a file request), then created where the answer says. A path that
// names a file a running snapshot of this process still writes is refused:
// two snapshots writing one file would corrupt both.

#include "tw/io/file_factory.h"

#include <filesystem>
#include <functional>
#include <stdexcept>

namespace tw_prof {

// The host named a file that a running snapshot writes.
class file_in_use : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class bridge_file_factory final : public file_factory {
 public:
  using path_source = std::function<std::filesystem::path(const file_request&)>;
  using remover = std::function<void()>;

  // `owner` holds the files created here until release_files(owner).
  bridge_file_factory(path_source source, remover remove, const void* owner)
      : source_(std::move(source)), remove_(std::move(remove)), owner_(owner) {}

  std::shared_ptr<std::ostream> create_stream(const file_request& request) override;
  int create_file(const file_request& request) override;
  void remove_all() override {
    if (remove_) remove_();
  }

  // The files of `owner`'s snapshot are no longer written.
  static void release_files(const void* owner);
  // Throws file_in_use when a running snapshot writes the file at `path`.
  static void check_free(const std::filesystem::path& path);

 private:
  std::filesystem::path checked_path(const file_request& request);
  void hold(const std::filesystem::path& path);

  path_source source_;
  remover remove_;
  const void* owner_;
};

}  // namespace tw_prof
