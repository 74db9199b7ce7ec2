#pragma once

// A snapshot is an index file plus section files. Each section occupies a
// contiguous stretch of one section file; several closed sections may follow
// one another in a file. The index lists every section with its id, version,
// length and file number.
//
// Threads: the snapshot is driven by one thread at a time (creating and
// closing sections is not locked); sections' streams are written by whoever
// holds them.

#include "tw/io/file_factory.h"
#include "collector/src/collector/snapshot_format.h"
#include "tw/utility/handle.h"

#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <ostream>
#include <sstream>
#include <variant>

namespace tw_prof {

inline constexpr std::uint32_t snapshot_format_id = tarnwell::collector::format::timeline_format;

// The first failure to write any file of a snapshot. Sections close and the
// index is written on teardown paths that cannot throw; whoever saves the
// snapshot looks here afterwards, as it outlives the snapshot.
class write_status {
 public:
  void note(std::exception_ptr failure) {
    std::lock_guard lock(mutex_);
    if (!failure_) failure_ = std::move(failure);
  }
  std::exception_ptr failure() const {
    std::lock_guard lock(mutex_);
    return failure_;
  }

 private:
  mutable std::mutex mutex_;
  std::exception_ptr failure_;
};

class multifile_snapshot : public std::enable_shared_from_this<multifile_snapshot> {
 public:
  using stream_file = std::shared_ptr<std::ostream>;
  using handle_file = tw::unique_hld<int>;

  template <class File>
  class section {
   public:
    section(std::shared_ptr<multifile_snapshot> owner, File& file, std::size_t number, std::streamoff record_position,
            std::int64_t start, bool share)
        : owner_(std::move(owner)), file_(file), number_(number), record_position_(record_position), start_(start),
          share_(share) {}
    section(const section&) = delete;
    section& operator=(const section&) = delete;
    ~section() {
      try {
        close(true);
      } catch (...) {
        // A section closes on teardown paths that must finish.
      }
    }

    File& file() noexcept { return file_; }
    std::size_t file_number() const noexcept { return number_; }
    bool is_open() const noexcept { return owner_ != nullptr; }

    // Finishes the section; reusable says whether its file may take further
    // sections.
    void close(bool reusable);

   private:
    std::shared_ptr<multifile_snapshot> owner_;
    File& file_;
    std::size_t number_;
    std::streamoff record_position_;
    std::int64_t start_;
    bool share_;
  };

  struct file_cache {
    std::variant<stream_file, handle_file> file;
    bool free = false;
  };

  static std::shared_ptr<multifile_snapshot> create(std::unique_ptr<file_factory>&& factory, std::uint32_t format,
                                                    std::uint16_t version);
  ~multifile_snapshot();

  template <class File>
  std::unique_ptr<section<File>> create_section_impl(std::uint16_t id, std::uint16_t version, bool share);

  // Writes the index; later calls do nothing. Throws when a file of the
  // snapshot could not be written, and then writes no index.
  void close();
  // Drops the snapshot: the index is not written, every file is removed.
  void drop();

  // Who creates and removes the files; outlives the snapshot for whoever
  // must remove a snapshot that was written but then abandoned.
  const std::shared_ptr<file_factory>& factory() const noexcept { return factory_; }
  const std::shared_ptr<write_status>& status() const noexcept { return status_; }

 private:
  multifile_snapshot(std::unique_ptr<file_factory>&& factory, std::uint32_t format, std::uint16_t version);
  void close_section(std::uint64_t length, std::size_t file_number, std::streamoff record_position, bool reusable);
  void write_index();

  std::streamoff count_position_ = 0;
  std::uint16_t count_ = 0;
  bool versioned_ = false;
  std::shared_ptr<file_factory> factory_;
  std::shared_ptr<write_status> status_ = std::make_shared<write_status>();
  stream_file index_file_;
  std::ostringstream index_;
  std::deque<file_cache> caches_;
  bool closed_ = false;
};

extern template class multifile_snapshot::section<multifile_snapshot::stream_file>;
extern template class multifile_snapshot::section<multifile_snapshot::handle_file>;

// File kinds the section generator creates.
struct stream_kind {};
struct handle_kind {};

// Creates sections with share = true; the returned pointer owns the section,
// which closes (reusable) when the last copy is released.
class sections_gen {
 public:
  explicit sections_gen(std::shared_ptr<multifile_snapshot> snapshot) : snapshot_(std::move(snapshot)) {}
  std::shared_ptr<std::ostream> operator()(stream_kind, std::uint16_t id, std::uint16_t version) const;
  std::shared_ptr<const int> operator()(handle_kind, std::uint16_t id, std::uint16_t version) const;

 private:
  std::shared_ptr<multifile_snapshot> snapshot_;
};

}  // namespace tw_prof
