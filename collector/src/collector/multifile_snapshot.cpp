#include "collector/src/collector/multifile_snapshot.h"

#include "tw/log/log.h"
#include "tw/error/exception_text.h"
#include "tw/error/file_write_error.h"
#include "tw/utility/le_writer.h"

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace tw_prof {

std::shared_ptr<multifile_snapshot> multifile_snapshot::create(std::unique_ptr<file_factory>&& factory,
                                                               std::uint32_t format, std::uint16_t version) {
  return std::shared_ptr<multifile_snapshot>(new multifile_snapshot(std::move(factory), format, version));
}

multifile_snapshot::multifile_snapshot(std::unique_ptr<file_factory>&& factory, std::uint32_t format,
                                       std::uint16_t version)
    : versioned_(version != 0), factory_(std::move(factory)) {
  index_file_ = factory_->create_stream(host_file{true});
  auto out = tw::write_to(index_);
  out.bytes("MF", 2);
  out.put(format);
  count_position_ = index_.tellp();
  out.put(std::uint32_t{0});
  if (versioned_) out.put(version);
}

multifile_snapshot::~multifile_snapshot() {
  try {
    close();
  } catch (...) {
    TW_LOG(error) << "Failed to write the snapshot index: " << tw::current_exception_to_string();
  }
}

template <class File>
std::unique_ptr<multifile_snapshot::section<File>> multifile_snapshot::create_section_impl(std::uint16_t id,
                                                                                         std::uint16_t version,
                                                                                         bool share) {
  if (closed_) throw std::runtime_error("The snapshot is already closed");
  std::size_t number = caches_.size();
  if (share) {
    for (std::size_t i = 0; i < caches_.size(); ++i) {
      if (caches_[i].free && std::holds_alternative<File>(caches_[i].file)) {
        number = i;
        break;
      }
    }
  }
  if (number == caches_.size()) {
    file_cache cache;
    if constexpr (std::is_same_v<File, stream_file>) {
      cache.file = factory_->create_stream(host_file{false});
    } else {
      const int fd = factory_->create_file(host_file{false});
      if (fd < 0) throw std::system_error(errno, std::system_category(), "Fail to create file");
      cache.file = handle_file(fd);
    }
    caches_.push_back(std::move(cache));
  }
  auto& cache = caches_[number];
  cache.free = false;

  auto out = tw::write_to(index_);
  out.put(id);
  out.put(version);
  const std::streamoff record_position = index_.tellp();
  out.put(std::uint64_t{0});
  out.put(static_cast<std::uint16_t>(number));
  ++count_;

  File& file = std::get<File>(cache.file);
  std::int64_t start = 0;
  if constexpr (std::is_same_v<File, stream_file>) {
    file->seekp(0, std::ios::end);
    start = static_cast<std::int64_t>(file->tellp());
  } else {
    start = ::lseek(file.get(), 0, SEEK_END);
  }
  return std::make_unique<section<File>>(shared_from_this(), file, number, record_position, start, share);
}

template <class File>
void multifile_snapshot::section<File>::close(bool reusable) {
  if (!owner_ || owner_->closed_) {
    owner_.reset();
    return;
  }
  std::int64_t end = start_;
  if constexpr (std::is_same_v<File, stream_file>) {
    try {
      // A write that failed before (and was told then) leaves the stream bad.
      if (file_->bad()) throw tw::file_write_error(EIO, "A write to a snapshot file failed");
      file_->flush();
      file_->seekp(0, std::ios::end);
      end = static_cast<std::int64_t>(file_->tellp());
    } catch (...) {
      owner_->status_->note(std::current_exception());
      owner_.reset();
      throw;
    }
  } else {
    ::lseek(file_.get(), 0, SEEK_END);
    struct stat st {};
    if (::fstat(file_.get(), &st) == 0) end = st.st_size;
  }
  auto owner = std::move(owner_);
  owner->close_section(static_cast<std::uint64_t>(end > start_ ? end - start_ : 0), number_, record_position_,
                       reusable);
}

void multifile_snapshot::close_section(std::uint64_t length, std::size_t file_number, std::streamoff record_position,
                                       bool reusable) {
  index_.seekp(record_position);
  tw::write_to(index_).put(length);
  index_.seekp(0, std::ios::end);
  caches_[file_number].free = reusable;
}

void multifile_snapshot::close() {
  if (closed_) return;
  closed_ = true;
  // A section that was not written whole has no place in an index.
  if (const auto failure = status_->failure()) std::rethrow_exception(failure);
  try {
    write_index();
  } catch (...) {
    status_->note(std::current_exception());
    throw;
  }
}

void multifile_snapshot::write_index() {
  auto out = tw::write_to(index_);
  out.put(std::uint16_t{0xFFFF});
  index_.seekp(count_position_);
  out.put(static_cast<std::uint32_t>(count_ | (versioned_ ? 0x80000000u : 0u)));
  index_.seekp(0, std::ios::end);
  const std::string bytes = index_.str();
  if (index_file_) {
    index_file_->write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    index_file_->flush();
  }
  index_file_.reset();
  for (auto& cache : caches_) {
    if (auto* s = std::get_if<stream_file>(&cache.file); s && *s) (*s)->flush();
  }
  caches_.clear();
}

void multifile_snapshot::drop() {
  if (closed_) return;
  closed_ = true;
  index_file_.reset();
  caches_.clear();
  factory_->remove_all();
}

template std::unique_ptr<multifile_snapshot::section<multifile_snapshot::stream_file>>
multifile_snapshot::create_section_impl<multifile_snapshot::stream_file>(std::uint16_t, std::uint16_t, bool);
template std::unique_ptr<multifile_snapshot::section<multifile_snapshot::handle_file>>
multifile_snapshot::create_section_impl<multifile_snapshot::handle_file>(std::uint16_t, std::uint16_t, bool);
template class multifile_snapshot::section<multifile_snapshot::stream_file>;
template class multifile_snapshot::section<multifile_snapshot::handle_file>;

std::shared_ptr<std::ostream> sections_gen::operator()(stream_kind, std::uint16_t id, std::uint16_t version) const {
  std::shared_ptr<multifile_snapshot::section<multifile_snapshot::stream_file>> owner =
      snapshot_->create_section_impl<multifile_snapshot::stream_file>(id, version, true);
  std::ostream* stream = owner->file().get();
  return std::shared_ptr<std::ostream>(owner, stream);
}

std::shared_ptr<const int> sections_gen::operator()(handle_kind, std::uint16_t id, std::uint16_t version) const {
  std::shared_ptr<multifile_snapshot::section<multifile_snapshot::handle_file>> owner =
      snapshot_->create_section_impl<multifile_snapshot::handle_file>(id, version, true);
  auto holder = std::make_shared<std::pair<decltype(owner), int>>(owner, owner->file().get());
  return std::shared_ptr<const int>(holder, &holder->second);
}

}  // namespace tw_prof
