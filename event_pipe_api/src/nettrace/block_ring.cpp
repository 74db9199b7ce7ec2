#include "event_pipe_api/src/nettrace/block_ring.h"

#include "event_pipe_api/src/nettrace/parse_stream.h"
#include "tw/error/file_write_error.h"
#include "tw/log/log.h"
#include "tw/utility/byte_cursor.h"
#include "tw/utility/le_writer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

namespace tarnwell::nettrace {

namespace {

// A record of a segment file: this header, the sample types, the block.
struct record_header {
  std::uint8_t kind;
  std::uint8_t unused[3];
  std::uint32_t size;
  std::uint32_t types;
  std::uint32_t unused2;
  std::int64_t first, last;  // the block's event ticks (0: none)
};
static_assert(sizeof(record_header) == 32);

const char* object_name(block_kind kind) {
  switch (kind) {
    case block_kind::metadata: return "MetadataBlock";
    case block_kind::stack: return "StackBlock";
    case block_kind::event: return "EventBlock";
    case block_kind::sequence_point: return "SPBlock";
  }
  return "";
}

// An object's framing before its body, as the parser reads it: the begin
// tag, the type's header with its name, then (for a block) the body's size
// and the padding that aligns the body to four bytes of the stream.
std::vector<std::uint8_t> object_head(const char* name, std::uint64_t position, std::optional<std::uint32_t> size) {
  std::vector<std::uint8_t> out;
  auto w = tw::write_to(out);
  const auto length = static_cast<std::int32_t>(std::strlen(name));
  for (const auto tag : {BeginPrivateObjectTag, BeginPrivateObjectTag, NullReferenceTag}) w.put(tag);
  w.put(std::int32_t{4});  // the type's version and the reader's least
  w.put(std::int32_t{4});
  w.put(length);
  w.bytes(name, static_cast<std::size_t>(length));
  w.put(EndObjectTag);
  if (size) {
    w.put(static_cast<std::int32_t>(*size));
    while ((position + out.size()) % 4) w.put(std::uint8_t{0});
  }
  return out;
}

// The ticks a block's events span: an event block's header says.
std::pair<std::int64_t, std::int64_t> event_span(std::span<const std::uint8_t> block) {
  try {
    tw::byte_cursor c(block.data(), block.data() + block.size(), "event block");
    c.skip(4);
    const auto first = c.read<std::int64_t>();
    return {first, c.read<std::int64_t>()};
  } catch (const std::exception&) {
    return {0, 0};
  }
}

void write_all(int fd, const std::filesystem::path& path, iovec* parts, int count) {
  while (count > 0) {
    const auto n = ::writev(fd, parts, count);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw tw::file_write_error(errno, "Cannot write " + path.string());
    auto left = static_cast<std::size_t>(n);
    while (count > 0 && left >= parts->iov_len) {
      left -= parts->iov_len;
      ++parts;
      --count;
    }
    if (count > 0) {
      parts->iov_base = static_cast<char*>(parts->iov_base) + left;
      parts->iov_len -= left;
    }
  }
}

}  // namespace

block_ring::block_ring(settings s) : settings_(std::move(s)) {
  // Sixteen segments to the ring: its disk use moves in steps of a
  // sixteenth of its bound.
  segment_bytes_ = settings_.segment_bytes ? settings_.segment_bytes
                                           : std::clamp<std::uint64_t>(settings_.max_bytes / 16, 16 << 10, 64 << 20);
  std::filesystem::create_directories(settings_.folder);
  start_segment();
}

block_ring::~block_ring() {
  for (auto& s : segments_) {
    if (s->fd >= 0) ::close(s->fd);
    std::error_code ignored;
    std::filesystem::remove(s->path, ignored);
  }
  std::error_code ignored;
  std::filesystem::remove(settings_.folder, ignored);  // only when empty: it may be the host's
}

void block_ring::trace(const TraceObject& trace) {
  std::lock_guard lock(mutex_);
  trace_ = trace;
}

void block_ring::start_segment() {
  auto s = std::make_unique<segment>();
  s->path = settings_.folder / ("segment-" + std::to_string(next_number_++));
  s->fd = ::open(s->path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (s->fd < 0) throw tw::file_write_error(errno, "Cannot create " + s->path.string());
  segments_.push_back(std::move(s));
  // Its events may refer to stacks defined since the last sequence point.
  for (const auto& stacks : stacks_since_sequence_point_) write(*segments_.back(), block_kind::stack, stacks, {}, 0, 0);
  TW_LOG(debug) << "Flight recording segment " << next_number_ - 1 << " begins with "
                << stacks_since_sequence_point_.size() << " stack blocks (" << segments_.back()->size << " bytes)";
}

void block_ring::write(segment& s, block_kind kind, std::span<const std::uint8_t> block,
                       std::span<const std::uint8_t> types, std::int64_t first, std::int64_t last) {
  record_header h{};
  h.kind = static_cast<std::uint8_t>(kind);
  h.size = static_cast<std::uint32_t>(block.size());
  h.types = static_cast<std::uint32_t>(types.size());
  h.first = first;
  h.last = last;
  iovec parts[] = {{&h, sizeof h},
                   {const_cast<std::uint8_t*>(types.data()), types.size()},
                   {const_cast<std::uint8_t*>(block.data()), block.size()}};
  write_all(s.fd, s.path, parts, 3);
  const auto added = sizeof h + types.size() + block.size();
  s.size += added;
  bytes_ += added;
  if (first != 0) {
    if (s.first == 0 || first < s.first) s.first = first;
    s.last = std::max(s.last, last);
  }
}

void block_ring::append(block_kind kind, std::span<const std::uint8_t> block,
                        std::span<const std::uint8_t> sample_types) {
  std::lock_guard lock(mutex_);
  switch (kind) {
    case block_kind::metadata:
      // Kept whole and apart: any later event may name it.
      metadata_.emplace_back(block.begin(), block.end());
      return;
    case block_kind::stack:
      stacks_since_sequence_point_.emplace_back(block.begin(), block.end());
      break;
    case block_kind::sequence_point:
      stacks_since_sequence_point_.clear();
      break;
    case block_kind::event:
      break;
  }
  const auto [first, last] = kind == block_kind::event ? event_span(block) : std::pair<std::int64_t, std::int64_t>{};
  newest_ = std::max(newest_, last);
  if (segments_.back()->size >= segment_bytes_) start_segment();
  evict();
  // Readers hold the oldest segments: an event block waits for no one, and is
  // lost. The blocks events refer to are kept, and are small.
  if (kind == block_kind::event && bytes_ + block.size() > settings_.max_bytes) {
    if (dropped_++ == 0) TW_LOG(warning) << "The flight recording's ring is full while it is read: blocks are dropped";
    return;
  }
  write(*segments_.back(), kind, block, sample_types, first, last);
}

void block_ring::evict() {
  // The oldest segment goes when the ring is over three quarters of its
  // bound (the rest is room for what comes while a window is read), or when
  // the next one alone reaches back far enough.
  while (segments_.size() > 1 && segments_.front()->pins == 0) {
    const bool full = bytes_ > settings_.max_bytes / 4 * 3;
    const auto& next = *segments_[1];
    const bool old = next.first != 0 && settings_.keep_ticks > 0 && next.first <= newest_ - settings_.keep_ticks;
    if (!full && !old) break;
    if (!old) outgrown_ = true;
    auto& s = *segments_.front();
    ::close(s.fd);
    std::error_code ignored;
    std::filesystem::remove(s.path, ignored);
    bytes_ -= s.size;
    segments_.pop_front();
  }
}

void block_ring::set_keep_ticks(std::int64_t ticks) {
  std::lock_guard lock(mutex_);
  settings_.keep_ticks = ticks;
}

std::int64_t block_ring::newest() const {
  std::lock_guard lock(mutex_);
  return newest_;
}

bool block_ring::outgrown() const {
  std::lock_guard lock(mutex_);
  return outgrown_;
}

std::int64_t block_ring::oldest() const {
  std::lock_guard lock(mutex_);
  for (const auto& s : segments_)
    if (s->first != 0) return s->first;
  return 0;
}

std::uint64_t block_ring::bytes() const {
  std::lock_guard lock(mutex_);
  return bytes_;
}

std::uint64_t block_ring::dropped_blocks() const {
  std::lock_guard lock(mutex_);
  return dropped_;
}

std::unique_ptr<block_ring::window> block_ring::open(std::int64_t from,
                                                     std::function<void(std::span<const std::uint8_t>)> on_types) {
  std::lock_guard lock(mutex_);
  if (!trace_) throw std::runtime_error("The flight recording has received no stream yet");
  // The first segment with an event at or after `from`: blocks span times
  // that overlap, so an older segment may hold some. What comes before
  // `from` is read and left out by whoever reads the events.
  std::size_t first = 0;
  while (first + 1 < segments_.size() && segments_[first]->last < from) ++first;
  std::vector<segment*> pinned;
  std::vector<std::uint64_t> ends;
  for (std::size_t i = first; i < segments_.size(); ++i) {
    ++segments_[i]->pins;
    pinned.push_back(segments_[i].get());
    ends.push_back(segments_[i]->size);
  }
  auto w = std::unique_ptr<window>(new window(*this, std::move(pinned), std::move(on_types)));
  w->segment_ends_ = std::move(ends);
  // The stream's header, its Trace object and every metadata block.
  std::vector<std::uint8_t> head;
  auto out = tw::write_to(head);
  out.bytes("Nettrace", 8);
  out.put(std::int32_t{20});
  out.bytes("!FastSerialization.1", 20);
  w->add_memory(std::move(head));
  auto trace = object_head("Trace", w->position_, std::nullopt);
  auto t = tw::write_to(trace);
  const auto& o = *trace_;
  for (const auto v : {o.year, o.month, o.day_of_week, o.day, o.hour, o.minute, o.second, o.milliseconds}) t.put(v);
  t.put(o.sync_time_qpc);
  t.put(o.qpc_frequency);
  for (const auto v : {o.pointer_size, o.process_id, o.number_of_processors, o.expected_sampling_rate}) t.put(v);
  t.put(EndObjectTag);
  w->add_memory(std::move(trace));
  for (const auto& m : metadata_) {
    w->add_memory(object_head("MetadataBlock", w->position_, static_cast<std::uint32_t>(m.size())));
    w->add_memory(m);
    w->add_memory({EndObjectTag});
  }
  return w;
}

void block_ring::release(segment* s) {
  std::lock_guard lock(mutex_);
  --s->pins;
}

block_ring::window::window(block_ring& ring, std::vector<segment*> pinned,
                           std::function<void(std::span<const std::uint8_t>)> on_types)
    : ring_(ring), pinned_(std::move(pinned)), on_sample_types_(std::move(on_types)) {}

block_ring::window::~window() {
  for (auto* s : pinned_) ring_.release(s);
}

void block_ring::window::add_memory(std::vector<std::uint8_t> bytes) {
  position_ += bytes.size();
  piece p;
  p.size = bytes.size();
  p.bytes = std::move(bytes);
  pieces_.push_back(std::move(p));
}

bool block_ring::window::next_record() {
  while (segment_ < pinned_.size()) {
    segment& s = *pinned_[segment_];
    if (segment_offset_ + sizeof(record_header) > segment_ends_[segment_]) {
      ++segment_;
      segment_offset_ = 0;
      continue;
    }
    record_header h{};
    if (::pread(s.fd, &h, sizeof h, static_cast<off_t>(segment_offset_)) != static_cast<ssize_t>(sizeof h))
      throw std::runtime_error("Cannot read the flight recording's " + s.path.string());
    const auto kind = static_cast<block_kind>(h.kind);
    piece types;
    types.size = 0;
    if (h.types != 0) {
      types.sample_types.resize(h.types);
      if (::pread(s.fd, types.sample_types.data(), h.types, static_cast<off_t>(segment_offset_ + sizeof h)) !=
          static_cast<ssize_t>(h.types))
        throw std::runtime_error("Cannot read the flight recording's " + s.path.string());
    }
    add_memory(object_head(object_name(kind), position_, h.size));
    pieces_.back().sample_types = std::move(types.sample_types);
    piece body;
    body.from = &s;
    body.offset = segment_offset_ + sizeof h + h.types;
    body.size = h.size;
    position_ += h.size;
    pieces_.push_back(std::move(body));
    add_memory({EndObjectTag});
    segment_offset_ += sizeof h + h.types + h.size;
    return true;
  }
  return false;
}

void block_ring::window::read_exact(std::uint8_t* destination, std::size_t count) {
  std::size_t got = 0;
  while (got < count) {
    if (pieces_.empty() && !next_record()) {
      if (!ended_) {
        ended_ = true;
        add_memory({NullReferenceTag});
        continue;
      }
      throw source_ended::short_read(got, count);
    }
    piece& p = pieces_.front();
    if (!p.sample_types.empty()) {
      if (on_sample_types_) on_sample_types_(p.sample_types);
      p.sample_types.clear();
    }
    const auto take = static_cast<std::size_t>(std::min<std::uint64_t>(count - got, p.size));
    if (p.from == nullptr) {
      std::memcpy(destination + got, p.bytes.data() + (p.bytes.size() - p.size), take);
    } else if (::pread(p.from->fd, destination + got, take, static_cast<off_t>(p.offset)) !=
               static_cast<ssize_t>(take)) {
      throw std::runtime_error("Cannot read the flight recording's " + p.from->path.string());
    }
    p.offset += take;
    p.size -= take;
    got += take;
    if (p.size == 0) pieces_.pop_front();
  }
}

}  // namespace tarnwell::nettrace
