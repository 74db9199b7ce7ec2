#include "api/path_file_factory.h"

#include "tw/utility/throw.h"

#include <boost/format.hpp>

#include <fcntl.h>
#include <fstream>
#include <memory>

namespace tw_prof {

namespace {

// Sections are written a record at a time; a buffer this size turns them
// into a few large writes. The buffer is a base, so that it outlives the
// stream's final flush.
struct stream_buffer {
  static constexpr std::size_t size = 256 << 10;
  std::unique_ptr<char[]> bytes{new char[size]};
};

class buffered_file_stream : private stream_buffer, public std::ofstream {
 public:
  explicit buffered_file_stream(const std::filesystem::path& path) {
    rdbuf()->pubsetbuf(bytes.get(), static_cast<std::streamsize>(stream_buffer::size));
    open(path, std::ios::out | std::ios::binary | std::ios::trunc);
  }
};

}  // namespace

std::shared_ptr<std::ostream> open_file_stream(const std::filesystem::path& path) {
  try {
    auto stream = std::make_shared<buffered_file_stream>(path);
    if (stream->fail() || stream->bad()) throw std::runtime_error("Fail flag set");
    return stream;
  } catch (const std::exception& e) {
    TW_THROW(boost::enable_error_info(std::runtime_error("Fail to create file"))
             << tw::errinfo_path(path.string()) << tw::errinfo_cause(e.what()));
  }
}

int open_file_handle(const std::filesystem::path& path) {
  return ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0664);
}

std::filesystem::path path_file_factory::gen_file_path(bool main) const {
  if (main) return base_path_;
  const std::size_t number = created_.empty() ? 0 : created_.size() - 1;
  return base_path_ + (boost::format(".%04X") % number).str();
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
