#pragma once

// Turns a nettrace byte stream into calls on an event handler: checks the
// header, walks the serialized objects, decodes metadata, stack, event and
// sequence-point blocks, and resolves each event against its metadata and
// stack.
//
// Threads: a parser belongs to the one consumer thread that runs it; only the
// stop flag is shared, and it is read once, at the end of the stream.

#include "tw/utility/byte_cursor.h"
#include "event_pipe_api/src/nettrace/handlers.h"
#include "event_pipe_api/src/nettrace/metadata.h"
#include "event_pipe_api/src/nettrace/stream_source.h"

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

namespace tarnwell::nettrace {

inline constexpr std::uint8_t NullReferenceTag = 1;
inline constexpr std::uint8_t BeginPrivateObjectTag = 5;
inline constexpr std::uint8_t EndObjectTag = 6;

inline constexpr std::size_t read_buffer_size = 0x8000000;
inline constexpr std::size_t dump_buffer_size = 0x500000;

struct block_header {
  std::uint16_t header_size = 0;
  std::uint16_t flags = 0;
  std::int64_t min_timestamp = 0;
  std::int64_t max_timestamp = 0;

  std::string to_string() const;
};

// The decoded header of one event blob.
struct event_blob_header {
  std::int32_t metadata_id = 0;
  std::int32_t sequence_number = 0;
  std::int64_t thread_id = 0;
  std::int64_t capture_thread_id = 0;
  std::int32_t processor_number = 0;
  std::int32_t stack_id = 0;
  std::int64_t timestamp = 0;
  guid activity_id{};
  guid related_activity_id{};
  std::int32_t payload_size = 0;
  bool is_sorted = false;

  std::string to_string() const;
};

// The Trace object's fields, in stream order (TraceObject::wire_size bytes).
TraceObject read_trace_object(byte_cursor& cursor);

// Applies one compressed header to the previous event's header.
void decode_compressed_header(byte_cursor& cursor, event_blob_header& header);

// Reads one uncompressed header as the runtime writes it; sets `size` to the
// event's declared size.
void decode_uncompressed_header(byte_cursor& cursor, event_blob_header& header);

template <bool enable_hex_dump>
class StreamParser {
 public:
  using handlers_ptr = std::shared_ptr<collector::event_pipe::event_pipe_handlers_base>;
  using progress_function = std::function<int(unsigned long)>;

  StreamParser(handlers_ptr handlers, progress_function progress, const std::atomic<bool>& stop);

  // Runs over the whole stream. Errors escape; the consumer turns them into
  // a failed status.
  collector::event_pipe::consumer_status parse(stream_source& source);

  // Lends the parser a read buffer of read_buffer_size bytes, so that a
  // caller running many short streams allocates it once.
  void lend_buffer(std::unique_ptr<std::uint8_t[]> buffer) noexcept { buffer_ = std::move(buffer); }
  std::unique_ptr<std::uint8_t[]> take_buffer() noexcept { return std::move(buffer_); }

  std::uint64_t position() const noexcept { return position_; }
  // The offset just past the last whole object: a stream cut or damaged
  // after it has delivered everything before it.
  std::uint64_t whole_objects_end() const noexcept { return whole_objects_end_; }
  // Events handed to the handlers.
  std::uint64_t events() const noexcept { return events_; }
  // Events the runtime counted but did not send (its buffers were full):
  // gaps in each thread's sequence numbers.
  std::uint64_t events_lost() const noexcept { return events_lost_; }
  // Events and metadata whose time lies outside the range their block
  // declares: kept as they are, each logged, and counted for the run's end.
  std::uint64_t timestamps_out_of_range() const noexcept { return timestamps_out_of_range_; }
  const std::optional<TraceObject>& trace() const noexcept { return trace_; }

 private:
  struct metadata_entry {
    std::shared_ptr<event_pipe_metadata_reader> reader;
    std::uint16_t event_id = 0;
    std::uint8_t version = 0;
  };
  struct stored_stack {
    const std::uint8_t* begin = nullptr;
    std::size_t count = 0;
  };

  collector::event_pipe::consumer_status parse_objects();
  const std::uint8_t* read(std::size_t count, std::size_t offset = 0);
  // A whole block, in place in the source when it lies there in one piece:
  // good until the next read.
  const std::uint8_t* read_block(std::size_t count);
  template <class T>
  T read_value(std::size_t offset = 0);
  void skip_alignment();
  void hex_dump();

  block_header read_block_header(byte_cursor& cursor, std::size_t block_size);
  void process_metadata_block(const std::uint8_t* block, std::size_t size);
  bool process_event_block(const std::uint8_t* block, std::size_t size);
  void process_stack_block(const std::uint8_t* block, std::size_t size);
  void process_sequence_point_block(const std::uint8_t* block, std::size_t size);
  const metadata_entry& find_metadata(std::int32_t id);
  stack_view find_stack(std::int32_t id);
  void note_sequence(std::int64_t capture_thread, std::uint32_t sequence, bool at_sequence_point);

  handlers_ptr handlers_;
  progress_function progress_;
  const std::atomic<bool>& stop_;
  stream_source* source_ = nullptr;
  std::unique_ptr<std::uint8_t[]> buffer_;
  std::unique_ptr<std::uint8_t[]> dump_;
  std::size_t dump_used_ = 0;
  std::uint64_t position_ = 0;
  bool block_kept_ = false;  // the last block read lies in the source, which keeps it
  std::uint64_t whole_objects_end_ = 0;
  std::uint64_t events_ = 0;
  std::optional<TraceObject> trace_;

  std::unordered_map<std::int32_t, metadata_entry> metadata_;
  std::int32_t last_metadata_id_ = -1;
  const metadata_entry* last_metadata_ = nullptr;

  // Stacks of the current sequence-point interval, addresses stored as read.
  // Each stack block is copied whole, once, and its stacks refer into the
  // copy. A block numbers its stacks consecutively and the blocks of an
  // interval follow one another, so stacks are found by their distance from
  // the interval's first id; ids out of that order go to a map.
  void clear_stacks() noexcept;
  void define_stack(std::int32_t id, stored_stack stack);
  // A copy of `size` bytes that stays put until the stacks are cleared.
  std::uint8_t* keep_stack_bytes(const std::uint8_t* data, std::size_t size);
  std::int32_t first_stack_id_ = 0;
  std::vector<stored_stack> stacks_;  // begin nullptr: undefined
  std::unordered_map<std::int32_t, stored_stack> scattered_stacks_;
  // The copies go into segments that later intervals reuse: no copy ever
  // moves, and the memory is touched for the first time only once.
  struct stack_segment {
    std::unique_ptr<std::uint8_t[]> bytes;
    std::size_t size;
  };
  std::vector<stack_segment> stack_segments_;
  std::size_t stack_segment_ = 0;
  std::size_t stack_segment_used_ = 0;
  std::uint32_t stack_element_size_ = 8;

  // The last sequence number of each capture thread; events of one thread
  // come in runs, so the last entry is kept at hand.
  std::unordered_map<std::int64_t, std::uint32_t> sequences_;
  std::int64_t last_capture_thread_ = -1;
  std::uint32_t* last_sequence_ = nullptr;
  std::uint64_t events_lost_ = 0;
  std::uint64_t timestamps_out_of_range_ = 0;
};

extern template class StreamParser<false>;
extern template class StreamParser<true>;

}  // namespace tarnwell::nettrace
