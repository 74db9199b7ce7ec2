#include "event_pipe_api/src/nettrace/parse_stream.h"

#include "tw/log/log.h"
#include "tw/utility/hex_dump.h"
#include "tw/utility/throw.h"

#include <boost/format.hpp>

#include <cstring>
#include <stdexcept>

namespace tarnwell::nettrace {

namespace {

constexpr char nettrace_magic[] = "Nettrace";
constexpr char serializer_signature[] = "!FastSerialization.1";
// Type names of real streams are short; a long one means a damaged stream.
constexpr std::int32_t max_type_name_length = 1024;

std::string guid_low_text(const guid& g) {
  const auto bytes = g.bytes(tw::guid_byte_order::windows);
  std::uint64_t low;
  std::memcpy(&low, bytes.data(), 8);
  return (boost::format("%#016x") % low).str();
}

}  // namespace

std::string TraceObject::to_string() const {
  return (boost::format("%02d.%02d.%04d %02d:%02d:%02d:%03d. SyncTimeQPC is %ld, QPCFrequency is %ld, Pointer size is "
                        "%d, ProcessId is %d, #processors=%d, SamplingRate=%d") %
          day % month % year % hour % minute % second % milliseconds % sync_time_qpc % qpc_frequency % pointer_size %
          process_id % number_of_processors % expected_sampling_rate)
      .str();
}

std::string block_header::to_string() const {
  return (boost::format("Header size is %d, flags are %#02x, min timestamp is %ld, max timestamp is %ld") %
          header_size % flags % min_timestamp % max_timestamp)
      .str();
}

std::string event_blob_header::to_string() const {
  return (boost::format("metadata id is %d, sequence number is %d, thread id is %ld, capture thread id is %ld, "
                        "processor number is %d, stack id is %d, timestamp is %ld, activity id is %s, related "
                        "activity id is %s, payload size is %d, is_sorted is %d") %
          metadata_id % sequence_number % thread_id % capture_thread_id % processor_number % stack_id % timestamp %
          guid_low_text(activity_id) % guid_low_text(related_activity_id) % payload_size % is_sorted)
      .str();
}

TraceObject read_trace_object(byte_cursor& c) {
  TraceObject t;
  t.year = c.read<std::uint16_t>();
  t.month = c.read<std::uint16_t>();
  t.day_of_week = c.read<std::uint16_t>();
  t.day = c.read<std::uint16_t>();
  t.hour = c.read<std::uint16_t>();
  t.minute = c.read<std::uint16_t>();
  t.second = c.read<std::uint16_t>();
  t.milliseconds = c.read<std::uint16_t>();
  t.sync_time_qpc = c.read<std::int64_t>();
  t.qpc_frequency = c.read<std::int64_t>();
  t.pointer_size = c.read<std::int32_t>();
  t.process_id = c.read<std::int32_t>();
  t.number_of_processors = c.read<std::int32_t>();
  t.expected_sampling_rate = c.read<std::int32_t>();
  return t;
}

void decode_compressed_header(byte_cursor& c, event_blob_header& h) {
  const std::uint8_t flags = c.byte();
  if (flags & 0x01) h.metadata_id = static_cast<std::int32_t>(c.varint32());
  // Deltas wrap around, as the runtime's own counters do; a stream that
  // makes them overflow is wrong, but must not make the arithmetic undefined.
  const auto add32 = [](std::int32_t a, std::uint32_t b) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) + b);
  };
  if (flags & 0x02) h.sequence_number = add32(h.sequence_number, c.varint32());
  if (h.metadata_id != 0) h.sequence_number = add32(h.sequence_number, 1);
  if (flags & 0x02) {
    h.capture_thread_id = static_cast<std::int64_t>(c.varint64());
    h.processor_number = static_cast<std::int32_t>(c.varint32());
  }
  if (flags & 0x04) h.thread_id = static_cast<std::int64_t>(c.varint64());
  if (flags & 0x08) h.stack_id = static_cast<std::int32_t>(c.varint32());
  h.timestamp = static_cast<std::int64_t>(static_cast<std::uint64_t>(h.timestamp) + c.varint64());
  if (flags & 0x10) h.activity_id = c.guid(tw::guid_byte_order::windows);
  if (flags & 0x20) h.related_activity_id = c.guid(tw::guid_byte_order::windows);
  h.is_sorted = (flags & 0x40) != 0;
  if (flags & 0x80) h.payload_size = static_cast<std::int32_t>(c.varint32());
}

void decode_uncompressed_header(byte_cursor& c, event_blob_header& h) {
  c.read<std::int32_t>();  // the event's total size; the payload size below is what counts
  const auto id = c.read<std::uint32_t>();
  h.metadata_id = static_cast<std::int32_t>(id & 0x7FFFFFFF);
  h.is_sorted = (id & 0x80000000u) != 0;
  h.sequence_number = c.read<std::int32_t>();
  h.thread_id = c.read<std::int64_t>();
  h.capture_thread_id = c.read<std::int64_t>();
  h.processor_number = c.read<std::int32_t>();
  h.stack_id = c.read<std::int32_t>();
  h.timestamp = c.read<std::int64_t>();
  h.activity_id = c.guid(tw::guid_byte_order::windows);
  h.related_activity_id = c.guid(tw::guid_byte_order::windows);
  h.payload_size = c.read<std::int32_t>();
}

template <bool enable_hex_dump>
StreamParser<enable_hex_dump>::StreamParser(handlers_ptr handlers, progress_function progress,
                                            const std::atomic<bool>& stop)
    : handlers_(std::move(handlers)), progress_(std::move(progress)), stop_(stop) {}

template <bool enable_hex_dump>
const std::uint8_t* StreamParser<enable_hex_dump>::read(std::size_t count, std::size_t offset) {
  if (offset > read_buffer_size || count > read_buffer_size - offset)
    throw std::runtime_error("A read of " + std::to_string(count) + " bytes does not fit the " +
                             std::to_string(read_buffer_size) + "-byte read buffer");
  auto* destination = buffer_.get() + offset;
  source_->read_exact(destination, count);
  position_ += count;
  if constexpr (enable_hex_dump) {
    if (count > dump_buffer_size - dump_used_) throw std::runtime_error("dumping_reader internal buffer overflow");
    std::memcpy(dump_.get() + dump_used_, destination, count);
    dump_used_ += count;
  }
  return destination;
}

template <bool enable_hex_dump>
const std::uint8_t* StreamParser<enable_hex_dump>::read_block(std::size_t count) {
  if constexpr (!enable_hex_dump) {
    // The same limit as a copied block, so that the two paths refuse alike.
    if (count <= read_buffer_size) {
      if (const auto* in_place = source_->view(count)) {
        position_ += count;
        block_kept_ = source_->stable();
        return in_place;
      }
    }
  }
  block_kept_ = false;
  return read(count);
}

template <bool enable_hex_dump>
template <class T>
T StreamParser<enable_hex_dump>::read_value(std::size_t offset) {
  T value;
  std::memcpy(&value, read(sizeof(T), offset), sizeof(T));
  return value;
}

template <bool enable_hex_dump>
void StreamParser<enable_hex_dump>::hex_dump() {
  if constexpr (enable_hex_dump) {
    TW_LOG(debug) << tw::hex_dump(dump_.get(), dump_used_);
    dump_used_ = 0;
  }
}

template <bool enable_hex_dump>
void StreamParser<enable_hex_dump>::skip_alignment() {
  const std::size_t padding = (4 - position_ % 4) % 4;
  TW_LOG(debug) << "Skipping alignment << (" << 4 << ")";
  if (padding) read(padding);
}

template <bool enable_hex_dump>
collector::event_pipe::consumer_status StreamParser<enable_hex_dump>::parse(stream_source& source) {
  source_ = &source;
  if (!buffer_) buffer_.reset(new std::uint8_t[read_buffer_size]);
  if constexpr (enable_hex_dump) {
    if (!dump_) dump_.reset(new std::uint8_t[dump_buffer_size]);
  }
  TW_LOG(info) << "Start checking nettrace header";
  bool valid = std::memcmp(read(8), nettrace_magic, 8) == 0;
  valid = (read_value<std::int32_t>() == 20) && valid;
  valid = (std::memcmp(read(20), serializer_signature, 20) == 0) && valid;
  TW_LOG(info) << "Finish checking nettrace header (" << (valid ? "valid" : "invalid") << ")";
  hex_dump();
  if (!valid) {
    TW_LOG(error) << "Invalid stream header received";
    TW_THROW(std::runtime_error("Invalid stream header received"));
  }
  return parse_objects();
}

template <bool enable_hex_dump>
collector::event_pipe::consumer_status StreamParser<enable_hex_dump>::parse_objects() {
  using collector::event_pipe::consumer_status;
  for (;;) {
    whole_objects_end_ = position_;
    if (progress_(position_) == 0) return {consumer_status::stopped, nullptr, events_lost_};

    const std::uint8_t begin_tag = read_value<std::uint8_t>();
    TW_LOG(debug) << "Begin tag or NullReference tag expected";
    if (begin_tag == NullReferenceTag) break;
    if (begin_tag != BeginPrivateObjectTag)
      TW_THROW(std::runtime_error("begin_tag == BeginPrivateObjectTag || begin_tag == NullReferenceTag"));

    read(1);
    // The type's own header: a begin tag, a null reference tag, the version,
    // the minimum reader version, then the name's length.
    const auto* type_header = read(13);
    byte_cursor type(type_header, type_header + 13, "type header");
    type.skip(9);
    const auto name_length = type.read<std::int32_t>();
    if (name_length < 0 || name_length > max_type_name_length)
      TW_THROW(std::runtime_error("Invalid type name length " + std::to_string(name_length)));
    const auto* name_bytes = read(static_cast<std::size_t>(name_length));
    const std::string name(reinterpret_cast<const char*>(name_bytes),
                           strnlen(reinterpret_cast<const char*>(name_bytes), static_cast<std::size_t>(name_length)));
    read(1);
    TW_LOG(debug) << "Processing TypeOfType";
    TW_LOG(debug) << "Processing " << name << " object";

    if (name == "Trace") {
      const auto* p = read(TraceObject::wire_size);
      byte_cursor c(p, p + TraceObject::wire_size, "Trace object");
      const TraceObject t = read_trace_object(c);
      if (trace_ && trace_->pointer_size != t.pointer_size) clear_stacks();
      trace_ = t;
      handlers_->handle_trace_object(t);
      TW_LOG(debug) << "Data size: " << TraceObject::wire_size << " bytes";
      TW_LOG(info) << t.to_string();
    } else {
      const auto block_size = read_value<std::int32_t>();
      TW_LOG(debug) << "Data size: " << block_size << " bytes";
      if (block_size < 0) TW_THROW(std::runtime_error("Invalid block size " + std::to_string(block_size)));
      skip_alignment();
      const auto size = static_cast<std::size_t>(block_size);
      if (name == "EventBlock" || name == "MetadataBlock" || name == "StackBlock" || name == "SPBlock") {
        if (!trace_ && name != "MetadataBlock")
          TW_THROW(std::runtime_error("A " + name + " arrived before the Trace object"));
        if (name == "StackBlock" && trace_->pointer_size != 4 && trace_->pointer_size != 8) {
          TW_LOG(error) << "Invalid pointer size: " << trace_->pointer_size;
        } else {
          const auto* block = read_block(size);
          block_kind kind;
          if (name == "EventBlock") {
            kind = block_kind::event;
            process_event_block(block, size);
          } else if (name == "MetadataBlock") {
            kind = block_kind::metadata;
            process_metadata_block(block, size);
          } else if (name == "StackBlock") {
            kind = block_kind::stack;
            process_stack_block(block, size);
          } else {
            kind = block_kind::sequence_point;
            process_sequence_point_block(block, size);
          }
          handlers_->handle_block(kind, {block, size});
        }
      }
    }
    hex_dump();

    const std::uint8_t end_tag = read_value<std::uint8_t>();
    TW_LOG(debug) << "End tag expected";
    if (end_tag != EndObjectTag) TW_THROW(std::runtime_error("end_tag == EndObjectTag"));
  }
  hex_dump();
  whole_objects_end_ = position_;
  TW_LOG(debug) << "NullReference tag received, the end of the stream";
  if (stop_.load()) {
    TW_LOG(debug) << "Returning Stopped status";
    return {consumer_status::stopped, nullptr, events_lost_};
  }
  TW_LOG(debug) << "Returning Finished status";
  return {consumer_status::finished, nullptr, events_lost_};
}

template <bool enable_hex_dump>
block_header StreamParser<enable_hex_dump>::read_block_header(byte_cursor& c, std::size_t block_size) {
  TW_LOG(debug) << "Processing block_header";
  block_header h;
  h.header_size = c.read<std::uint16_t>();
  h.flags = c.read<std::uint16_t>();
  h.min_timestamp = c.read<std::int64_t>();
  h.max_timestamp = c.read<std::int64_t>();
  if (h.header_size >= 0x8000) throw std::length_error("Invalid block header size " + std::to_string(h.header_size));
  if (h.header_size > block_size)
    TW_THROW(std::runtime_error("Block header size " + std::to_string(h.header_size) + " exceeds the block size " +
                                std::to_string(block_size)));
  if (h.header_size > 20) c.take(h.header_size - 20u);
  TW_LOG(debug) << "Processing EventBlobs";
  TW_LOG(debug) << ((h.flags & 1) ? "EventBlobs headers are compressed" : "EventBlobs headers are uncompressed");
  return h;
}

namespace {

// Reads the next blob header; for uncompressed blobs first the padding that
// follows the previous payload. False when only padding was left.
inline bool next_header(byte_cursor& c, bool compressed, event_blob_header& h) {
  if (compressed) {
    decode_compressed_header(c, h);
  } else {
    const std::size_t misalignment = c.consumed() % 4;
    if (misalignment) c.take(std::min(4 - misalignment, c.remaining()));
    if (c.at_end()) return false;
    decode_uncompressed_header(c, h);
  }
  if (h.payload_size < 0) throw std::runtime_error("Negative payload size " + std::to_string(h.payload_size));
  return true;
}

}  // namespace

template <bool enable_hex_dump>
void StreamParser<enable_hex_dump>::process_metadata_block(const std::uint8_t* block, std::size_t size) {
  byte_cursor c(block, block + size, "metadata block");
  const auto header = read_block_header(c, size);
  const bool compressed = header.flags & 1;
  event_blob_header h;
  while (!c.at_end()) {
    if (!next_header(c, compressed, h)) break;
    const auto* payload = c.take(static_cast<std::size_t>(h.payload_size));
    std::size_t description_offset = 0;
    auto meta = read_metadata_header(payload, payload + h.payload_size, description_offset);
    if (h.timestamp < header.min_timestamp || h.timestamp > header.max_timestamp) {
      ++timestamps_out_of_range_;
      TW_LOG(warning) << "MetadataBlock: Timestamp " << h.timestamp << " is out of range [ " << header.min_timestamp
                      << "; " << header.max_timestamp << "]";
    }
    TW_LOG(debug) << "\t\tBlob header: " << h.to_string();
    TW_LOG(debug) << "\t\tMetadata header: " << meta.to_string();
    if (metadata_.count(meta.metadata_id)) continue;  // the first definition of an id stays
    metadata_entry entry;
    entry.reader = std::make_shared<event_pipe_metadata_reader>(
        std::vector<std::uint8_t>(payload, payload + h.payload_size), meta.provider_name, meta.event_name,
        description_offset);
    entry.event_id = static_cast<std::uint16_t>(meta.event_id);
    entry.version = static_cast<std::uint8_t>(meta.version);
    metadata_.emplace(meta.metadata_id, std::move(entry));
  }
  // Rehashing may have moved nothing (nodes are stable), but keep the cache honest.
  last_metadata_id_ = -1;
  last_metadata_ = nullptr;
}

template <bool enable_hex_dump>
const typename StreamParser<enable_hex_dump>::metadata_entry& StreamParser<enable_hex_dump>::find_metadata(
    std::int32_t id) {
  if (id == last_metadata_id_ && last_metadata_) return *last_metadata_;
  const auto it = metadata_.find(id);
  if (it == metadata_.end())
    TW_THROW(boost::enable_error_info(std::out_of_range("map::at:  key not found"))
             << tw::errinfo_cause("an event refers to metadata id " + std::to_string(id) + ", which is not defined"));
  last_metadata_id_ = id;
  last_metadata_ = &it->second;
  return it->second;
}

template <bool enable_hex_dump>
stack_view StreamParser<enable_hex_dump>::find_stack(std::int32_t id) {
  const std::int64_t index = std::int64_t{id} - first_stack_id_;
  const stored_stack* found = nullptr;
  if (index >= 0 && static_cast<std::uint64_t>(index) < stacks_.size()) {
    found = &stacks_[static_cast<std::size_t>(index)];
    if (found->begin == nullptr) found = nullptr;
  }
  if (found == nullptr && !scattered_stacks_.empty()) {
    const auto it = scattered_stacks_.find(id);
    if (it != scattered_stacks_.end()) found = &it->second;
  }
  if (found == nullptr) {
    // The runtime writes id 0 for events that carry no stack.
    if (id == 0) return {nullptr, 0, stack_element_size_};
    TW_THROW(boost::enable_error_info(std::out_of_range("map::at:  key not found"))
             << tw::errinfo_cause("an event refers to stack id " + std::to_string(id) + ", which is not defined"));
  }
  return {found->begin, found->count, stack_element_size_};
}

template <bool enable_hex_dump>
bool StreamParser<enable_hex_dump>::process_event_block(const std::uint8_t* block, std::size_t size) {
  byte_cursor c(block, block + size, "event block");
  const auto header = read_block_header(c, size);
  const bool compressed = header.flags & 1;
  const TraceObject& trace = *trace_;
  event_trace_record record;
  record.pointer_size = trace.pointer_size;
  record.header.process_id = static_cast<std::uint32_t>(trace.process_id);
  event_blob_header h;
  while (!c.at_end()) {
    if (!next_header(c, compressed, h)) break;
    const auto* payload = c.take(static_cast<std::size_t>(h.payload_size));
    const auto& meta = find_metadata(h.metadata_id);
    record.header.event_id = meta.event_id;
    record.header.version = meta.version;
    record.header.thread_id = static_cast<std::uint32_t>(h.thread_id);
    record.header.timestamp = h.timestamp;
    record.header.processor_number = static_cast<std::uint8_t>(h.processor_number);
    record.header.activity_id = h.activity_id;
    record.activity_id = h.activity_id;
    record.related_activity_id = h.related_activity_id;
    record.sequence_number = h.sequence_number;
    record.capture_thread_id = h.capture_thread_id;
    record.payload = {payload, payload + h.payload_size};
    record.metadata = &meta.reader;
    if (h.timestamp < header.min_timestamp || h.timestamp > header.max_timestamp) {
      ++timestamps_out_of_range_;
      TW_LOG(warning) << "EventBlock: Timestamp " << h.timestamp << " is out of range [ " << header.min_timestamp
                      << "; " << header.max_timestamp << "]";
    }
    record.stack = find_stack(h.stack_id);
    note_sequence(h.capture_thread_id, static_cast<std::uint32_t>(h.sequence_number), false);
    if (progress_(position_) == 0) return false;
    TW_LOG(debug) << h.to_string();
    handlers_->handle_event(record, h.is_sorted);
    ++events_;
  }
  return true;
}

template <bool enable_hex_dump>
void StreamParser<enable_hex_dump>::process_stack_block(const std::uint8_t* block, std::size_t size) {
  byte_cursor c(block, block + size, "stack block");
  const auto first_id = c.read<std::uint32_t>();
  const auto count = c.read<std::uint32_t>();
  TW_LOG(debug) << "Header: first_id = " << first_id << ", count = " << count;
  const std::size_t element = static_cast<std::size_t>(trace_->pointer_size);
  stack_element_size_ = static_cast<std::uint32_t>(element);
  // One copy of the rest of the block, unless the source keeps it where it
  // is; the stacks are read from there.
  const std::size_t rest = c.remaining();
  const std::uint8_t* kept = block_kept_ ? c.take(rest) : keep_stack_bytes(c.take(rest), rest);
  byte_cursor copy(kept, kept + rest, "stack block");
  for (std::uint32_t n = 0; n < count; ++n) {
    const auto stack_size = copy.read<std::uint32_t>();
    const auto id = static_cast<std::int32_t>(first_id + n);
    TW_LOG(debug) << "Stack #" << id << ", stack size is " << stack_size;
    const std::size_t frames = stack_size / element;
    const auto* data = copy.take(stack_size);
    define_stack(id, stored_stack{data, frames});
  }
}

template <bool enable_hex_dump>
void StreamParser<enable_hex_dump>::note_sequence(std::int64_t capture_thread, std::uint32_t sequence,
                                                  bool at_sequence_point) {
  if (capture_thread != last_capture_thread_ || last_sequence_ == nullptr) {
    last_sequence_ = &sequences_.try_emplace(capture_thread, 0).first->second;
    last_capture_thread_ = capture_thread;
  }
  // An event follows the one before it; a sequence point repeats the number
  // of the thread's last event.
  const std::uint32_t expected = at_sequence_point ? *last_sequence_ : *last_sequence_ + 1;
  if (sequence > expected) events_lost_ += sequence - expected;
  if (sequence > *last_sequence_) *last_sequence_ = sequence;
}

template <bool enable_hex_dump>
void StreamParser<enable_hex_dump>::process_sequence_point_block(const std::uint8_t* block, std::size_t size) {
  byte_cursor c(block, block + size, "sequence point block");
  sp_block sp;
  sp.timestamp = c.read<std::int64_t>();
  const auto count = c.read<std::int32_t>();
  TW_LOG(debug) << "Header: TimeStamp = " << sp.timestamp << ", ThreadCount = " << count;
  if (count < 0 || static_cast<std::size_t>(count) > c.remaining() / 12)
    TW_THROW(std::runtime_error("Sequence point thread count " + std::to_string(count) + " exceeds its block"));
  sp.threads.reserve(static_cast<std::size_t>(count));
  for (std::int32_t i = 0; i < count; ++i) {
    const auto thread = c.read<std::int64_t>();
    const auto number = c.read<std::uint32_t>();
    TW_LOG(debug) << "ThreadId = " << thread << ", SequenceNumber = " << number;
    sp.threads.emplace_back(thread, number);
    note_sequence(thread, number, true);
  }
  handlers_->handle_sequence_point(sp);
  clear_stacks();
}

template <bool enable_hex_dump>
void StreamParser<enable_hex_dump>::clear_stacks() noexcept {
  stacks_.clear();
  scattered_stacks_.clear();
  stack_segment_ = 0;
  stack_segment_used_ = 0;
}

template <bool enable_hex_dump>
std::uint8_t* StreamParser<enable_hex_dump>::keep_stack_bytes(const std::uint8_t* data, std::size_t size) {
  constexpr std::size_t segment_size = 4 << 20;
  while (stack_segment_ < stack_segments_.size() && stack_segments_[stack_segment_].size - stack_segment_used_ < size) {
    ++stack_segment_;
    stack_segment_used_ = 0;
  }
  if (stack_segment_ == stack_segments_.size()) {
    const std::size_t bytes = std::max(size, segment_size);
    stack_segments_.push_back(stack_segment{std::unique_ptr<std::uint8_t[]>(new std::uint8_t[bytes]), bytes});
  }
  std::uint8_t* at = stack_segments_[stack_segment_].bytes.get() + stack_segment_used_;
  if (size != 0) std::memcpy(at, data, size);
  stack_segment_used_ += size;
  return at;
}

template <bool enable_hex_dump>
void StreamParser<enable_hex_dump>::define_stack(std::int32_t id, stored_stack stack) {
  // The first definition of an id holds. An id far past the others goes to
  // the map, so that a stray id cannot make the table huge.
  constexpr std::int64_t largest_gap = 1 << 16;
  if (stacks_.empty() && scattered_stacks_.empty()) first_stack_id_ = id;
  const std::int64_t index = std::int64_t{id} - first_stack_id_;
  if (index >= 0 && index < static_cast<std::int64_t>(stacks_.size()) + largest_gap) {
    const auto i = static_cast<std::size_t>(index);
    if (i >= stacks_.size()) stacks_.resize(std::max(i + 1, stacks_.size() * 2));
    // An id may have gone to the map while it lay too far ahead.
    if (stacks_[i].begin == nullptr && (scattered_stacks_.empty() || !scattered_stacks_.count(id))) stacks_[i] = stack;
    return;
  }
  scattered_stacks_.try_emplace(id, stack);
}

template class StreamParser<false>;
template class StreamParser<true>;

}  // namespace tarnwell::nettrace
