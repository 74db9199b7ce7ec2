#pragma once

// Fixed-format sections: records of one kind, fields written one after the
// other with no padding (integers little-endian, UTF-16 strings as their
// units and one zero unit), and a table of contents (section 2147) listing
// every such section with its record count and data size.
//
// Threads: writers of the locked kind take their mutex around each write;
// the others belong to one thread at a time. The table of contents takes its
// mutex around each added item.

#include "collector/src/collector/snapshot_format.h"
#include "tw/log/log.h"
#include "collector/src/collector/multifile_snapshot.h"
#include "tw/utility/le_writer.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

namespace tarnwell::etw_collector {

struct fixed_format_stats {
  std::uint32_t record_count = 0;
  std::uint64_t data_size = 0;
  std::uint64_t last_record_offset = 0;

  void add(std::uint64_t size) noexcept {
    last_record_offset = data_size;
    data_size += size;
    ++record_count;
  }
};

namespace detail {

template <class T>
void write_field(tw::le_writer& out, const T& v) {
  if constexpr (std::is_same_v<T, std::vector<std::uint8_t>>) {
    // A byte array: its length as 32 bits, then the bytes.
    out.put(static_cast<std::uint32_t>(v.size()));
    out.bytes(v.data(), v.size());
  } else if constexpr (std::is_same_v<T, std::u16string>) {
    out.utf16z(v);
  } else {
    static_assert(std::is_integral_v<T> || std::is_enum_v<T>, "fixed-format fields are integers or UTF-16 text");
    out.put(v);
  }
}

// Returns the record's size in bytes.
template <class Tuple>
std::uint64_t write_record(std::ostream& stream, const Tuple& record) {
  auto out = tw::write_to(stream);
  std::apply([&](const auto&... f) { (write_field(out, f), ...); }, record);
  return out.written();
}

}  // namespace detail

// The section stream plus its own stats; reports them when destroyed.
class section_storage {
 public:
  explicit section_storage(std::shared_ptr<std::ostream> stream) : stream_(std::move(stream)) {}
  ~section_storage() {
    TW_LOG(debug) << "Section storage stats, record count: " << stats_.record_count
                  << ", data size: " << stats_.data_size;
  }
  std::ostream& stream() noexcept { return *stream_; }
  fixed_format_stats& stats() noexcept { return stats_; }

 private:
  std::shared_ptr<std::ostream> stream_;
  fixed_format_stats stats_;
};

using close_callback = std::function<void(std::uint16_t, const std::string&, const fixed_format_stats&)>;

struct header_section_tag {
  static constexpr std::uint16_t id = collector::format::table_of_contents.id, version = collector::format::table_of_contents.version;
  static constexpr const char* name = "header";
  static constexpr bool locked = true;
};
struct core_function_section_tag {
  static constexpr std::uint16_t id = collector::format::section_header.id, version = collector::format::section_header.version;
  static constexpr const char* name = "core_function";
  static constexpr bool locked = false;
};
struct managed_function_section_tag {
  static constexpr std::uint16_t id = collector::format::managed_functions.id, version = collector::format::managed_functions.version;
  static constexpr const char* name = "managed_function";
  static constexpr bool locked = false;
};
struct frame_address_section_tag {
  static constexpr std::uint16_t id = collector::format::frame_addresses.id, version = collector::format::frame_addresses.version;
  static constexpr const char* name = "frame_address";
  static constexpr bool locked = true;
};
struct managed_function_data_section_tag {
  static constexpr std::uint16_t id = collector::format::managed_function_data.id, version = collector::format::managed_function_data.version;
  static constexpr const char* name = "managed_function_data";
  static constexpr bool locked = false;
};
struct module_data_section_tag {
  static constexpr std::uint16_t id = collector::format::module_data.id, version = collector::format::module_data.version;
  static constexpr const char* name = "module_data";
  static constexpr bool locked = true;
};
struct core_module_section_tag {
  static constexpr std::uint16_t id = collector::format::unordered_modules.id, version = collector::format::unordered_modules.version;
  static constexpr const char* name = "core_module";
  static constexpr bool locked = false;
};
struct unordered_managed_module_section_tag {
  static constexpr std::uint16_t id = collector::format::managed_modules.id, version = collector::format::managed_modules.version;
  static constexpr const char* name = "unordered_managed_module";
  static constexpr bool locked = false;
};

template <class Tag>
class section_writer {
 public:
  section_writer(std::shared_ptr<section_storage> storage, close_callback on_close)
      : storage_(std::move(storage)), on_close_(std::move(on_close)) {}
  section_writer(const section_writer&) = delete;
  section_writer& operator=(const section_writer&) = delete;
  ~section_writer() {
    TW_LOG(debug) << "Section writer stats, section id: " << Tag::id << ", section name: " << Tag::name
                  << ", record count: " << stats_.record_count << ", data size: " << stats_.data_size;
    if (on_close_) {
      try {
        on_close_(Tag::id, Tag::name, stats_);
      } catch (...) {
        TW_LOG(error) << "Failed to record section " << Tag::id << " in the table of contents";
      }
    }
  }

  template <class... F>
  fixed_format_stats write(const std::tuple<F...>& record) {
    std::unique_lock<std::mutex> lock(mutex_, std::defer_lock);
    if constexpr (Tag::locked) lock.lock();
    const auto size = detail::write_record(storage_->stream(), record);
    stats_.add(size);
    storage_->stats().add(size);
    return stats_;
  }

  const fixed_format_stats& stats() const noexcept { return stats_; }

 private:
  std::mutex mutex_;
  std::shared_ptr<section_storage> storage_;
  fixed_format_stats stats_;
  close_callback on_close_;
};

// The table of contents: one item per closed fixed-format section, written
// into section 2147 when the header goes away, after all writers.
class section_header {
 public:
  explicit section_header(const tw_prof::sections_gen& gen)
      : storage_(std::make_shared<section_storage>(
            gen(tw_prof::stream_kind{}, header_section_tag::id, header_section_tag::version))) {}
  section_header(const section_header&) = delete;
  section_header& operator=(const section_header&) = delete;
  ~section_header();

  void add(std::uint16_t id, std::uint32_t record_count, std::uint64_t data_size) {
    std::lock_guard lock(mutex_);
    items_.emplace_back(id, record_count, data_size);
  }

 private:
  std::shared_ptr<section_storage> storage_;
  std::deque<std::tuple<std::uint16_t, std::uint32_t, std::uint64_t>> items_;
  std::mutex mutex_;
};

// The close callback every fixed-format writer reports to.
inline close_callback section_header_writer(std::shared_ptr<section_header> header) {
  return [header = std::move(header)](std::uint16_t id, const std::string&, const fixed_format_stats& stats) {
    header->add(id, stats.record_count, stats.data_size);
  };
}

template <class Tag>
std::unique_ptr<section_writer<Tag>> make_section_writer_default(const tw_prof::sections_gen& gen,
                                                                 std::shared_ptr<section_header> header) {
  auto storage = std::make_shared<section_storage>(gen(tw_prof::stream_kind{}, Tag::id, Tag::version));
  return std::make_unique<section_writer<Tag>>(std::move(storage), section_header_writer(std::move(header)));
}

inline section_header::~section_header() {
  try {
    section_writer<header_section_tag> writer(storage_, nullptr);
    {
      // The item count goes first, as a one-record entity of its own.
      const auto stats = writer.write(std::tuple<std::uint32_t>(static_cast<std::uint32_t>(items_.size())));
      TW_LOG(debug) << "Entity writer stats, record count: " << stats.record_count
                    << ", data size: " << stats.data_size;
    }
    for (const auto& item : items_) writer.write(item);
  } catch (...) {
    TW_LOG(error) << "Failed to write the table of contents";
  }
}

}  // namespace tarnwell::etw_collector
