#include "bridge/bridge_file_factory.h"

#include <map>
#include <optional>
#include <mutex>
#include <sys/stat.h>

namespace tw_prof {

namespace {

// Every file a running snapshot of this process writes, by device and inode
// (a path may have several names), with the snapshot's owner.
struct held_files {
  std::mutex mutex;
  std::map<std::pair<dev_t, ino_t>, const void*> files;
};

held_files& held() {
  static held_files h;
  return h;
}

std::optional<std::pair<dev_t, ino_t>> identity(const std::filesystem::path& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return std::nullopt;
  return std::pair{info.st_dev, info.st_ino};
}

}  // namespace

void bridge_file_factory::check_free(const std::filesystem::path& path) {
  if (const auto id = identity(path)) {
    std::lock_guard lock(held().mutex);
    if (held().files.count(*id))
      throw file_in_use("The host named " + path.string() +
                        " for a snapshot's file, but a running snapshot still writes it");
  }
}

std::filesystem::path bridge_file_factory::checked_path(const file_request& request) {
  auto path = source_(request);
  check_free(path);
  return path;
}

void bridge_file_factory::hold(const std::filesystem::path& path) {
  if (const auto id = identity(path)) {
    std::lock_guard lock(held().mutex);
    held().files[*id] = owner_;
  }
}

std::shared_ptr<std::ostream> bridge_file_factory::create_stream(const file_request& request) {
  const auto path = checked_path(request);
  auto stream = open_file_stream(path);
  hold(path);
  return stream;
}

int bridge_file_factory::create_file(const file_request& request) {
  const auto path = checked_path(request);
  const int fd = open_file_handle(path);
  if (fd >= 0) hold(path);
  return fd;
}

void bridge_file_factory::release_files(const void* owner) {
  std::lock_guard lock(held().mutex);
  std::erase_if(held().files, [owner](const auto& entry) { return entry.second == owner; });
}

}  // namespace tw_prof
