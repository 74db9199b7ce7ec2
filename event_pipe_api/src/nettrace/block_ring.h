#pragma once

// A live stream kept on disk in bounded space, for a flight recording: its
// blocks in segment files, the oldest removed as new ones come, so that the
// most recent stretch can be read back as a stream of its own whenever it is
// wanted.
//
// What a stretch needs beyond its own blocks is kept apart: the Trace object
// and every metadata block in memory, and each segment begins with copies of
// the stack blocks its events may refer to (those since the last sequence
// point). An event block may carry a byte per sample event in it (the types
// the recorder decided for them); a reader hands them out as it serves the
// block.
//
// Threads: one thread appends (the stream's consumer); any other may open a
// window. The mutex guards the segment list, the pins and the counts; a
// window reads pinned segments without it.

#include "event_pipe_api/src/nettrace/handlers.h"
#include "event_pipe_api/src/nettrace/stream_source.h"
#include "event_pipe_api/src/nettrace/trace_object.h"

#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

namespace tarnwell::nettrace {

class block_ring {
 public:
  struct settings {
    std::filesystem::path folder;  // made if missing; its segment files are removed with the ring
    std::uint64_t max_bytes = 256ull << 20;
    // Segments wholly older than this many ticks before the newest event go.
    std::int64_t keep_ticks = 0;
    // A segment's size; 0: a sixteenth of the bound, 16 KiB to 64 MiB.
    std::uint64_t segment_bytes = 0;
  };

  explicit block_ring(settings s);
  ~block_ring();
  block_ring(const block_ring&) = delete;
  block_ring& operator=(const block_ring&) = delete;

  void trace(const TraceObject& trace);
  // A block as the stream had it; `sample_types`: for an event block, one
  // byte for each of its sample events, in order. An event block that finds
  // no room (every older segment is being read) is dropped.
  void append(block_kind kind, std::span<const std::uint8_t> block, std::span<const std::uint8_t> sample_types = {});

  // A stream of what is kept from about `from` (ticks) on: the first segment
  // with an event at or after `from` (or the oldest kept) and every later
  // one, up to the end of what was appended when it was opened. Its segments stay while it lives.
  // `on_sample_types` is called with an event block's sample types just
  // before the block's bytes are served.
  class window;
  std::unique_ptr<window> open(std::int64_t from, std::function<void(std::span<const std::uint8_t>)> on_sample_types);

  // Once the stream's clock is known.
  void set_keep_ticks(std::int64_t ticks);
  std::int64_t newest() const;  // ticks of the newest event, 0 before any
  std::int64_t oldest() const;  // ticks of the oldest event kept
  std::uint64_t bytes() const;  // on disk
  std::uint64_t dropped_blocks() const;
  // Whether a segment went for room before it was old enough: the stream
  // outgrew the bound, and what is kept reaches back less far than asked.
  bool outgrown() const;

 private:
  struct segment {
    std::filesystem::path path;
    int fd = -1;
    std::uint64_t size = 0;
    std::int64_t first = 0, last = 0;  // event ticks, 0 until an event block came
    int pins = 0;
  };
  void start_segment();
  void write(segment& s, block_kind kind, std::span<const std::uint8_t> block, std::span<const std::uint8_t> types,
             std::int64_t first, std::int64_t last);
  void evict();
  void release(segment* s);

  settings settings_;
  std::uint64_t segment_bytes_;
  mutable std::mutex mutex_;
  std::optional<TraceObject> trace_;
  std::vector<std::vector<std::uint8_t>> metadata_;
  std::vector<std::vector<std::uint8_t>> stacks_since_sequence_point_;
  std::deque<std::unique_ptr<segment>> segments_;
  std::uint64_t bytes_ = 0;
  std::uint64_t dropped_ = 0;
  bool outgrown_ = false;
  std::uint64_t next_number_ = 0;
  std::int64_t newest_ = 0;
};

// A ring's window as a stream: the stream's header, Trace object and
// metadata, then the kept blocks in order, each framed as the format wants.
class block_ring::window final : public stream_source {
 public:
  ~window() override;
  void read_exact(std::uint8_t* destination, std::size_t count) override;

 private:
  friend class block_ring;
  struct piece {
    segment* from = nullptr;  // null: `bytes` hold it
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
    std::vector<std::uint8_t> bytes;
    std::vector<std::uint8_t> sample_types;  // handed out before the piece is served
  };
  window(block_ring& ring, std::vector<segment*> pinned,
         std::function<void(std::span<const std::uint8_t>)> on_sample_types);
  // The pieces of the next record of the current segment; false at the end.
  bool next_record();
  void add_memory(std::vector<std::uint8_t> bytes);

  block_ring& ring_;
  std::vector<segment*> pinned_;
  std::function<void(std::span<const std::uint8_t>)> on_sample_types_;
  std::deque<piece> pieces_;
  std::size_t segment_ = 0;
  std::uint64_t segment_offset_ = 0;
  std::vector<std::uint64_t> segment_ends_;  // what each pinned segment held when opened
  std::uint64_t position_ = 0;                 // in the composed stream, for the blocks' padding
  bool ended_ = false;
};

}  // namespace tarnwell::nettrace
