#pragma once

// Per-provider event streams: each kept event becomes one record in its
// provider's section, and an event with a call stack is followed by a
// call-stack record naming the stack's leaf in the shared call tree.
//
// Threads: a collector and its writers belong to the event-processing
// thread; only the call tree underneath is shared.

#include "tw/log/log.h"
#include "collector/src/collector/callstacks/calltree_builder.h"
#include "collector/src/collector/multifile_snapshot.h"
#include "collector/src/collector/streams/record_writer.h"
#include "collector/src/collector/streams/timeline_events.h"
#include "event_pipe_api/src/providers/dispatched_event.h"
#include "tw/error/exception_text.h"
#include "tw/error/file_write_error.h"

#include <array>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <tuple>

namespace tarnwell::collector::inproc {

// Counts per event type and version, reported when the writer goes.
template <class Provider>
class event_logger {
 public:
  void count(const char* format_name, std::uint8_t version) { ++counts_[{format_name, version}]; }
  ~event_logger() {
    if (counts_.empty()) return;
    try {
      std::string report = "\nEvents from provider " + std::string(Provider::name) + ":";
      for (const auto& [what, n] : counts_)
        report += "\n        Event: " + what.first + ", version: " + std::to_string(what.second) +
                  ", count: " + std::to_string(n);
      TW_LOG(info) << report;
    } catch (...) {
    }
  }
  std::uint64_t total() const {
    std::uint64_t n = 0;
    for (const auto& [what, c] : counts_) n += c;
    return n;
  }

 private:
  std::map<std::pair<std::string, int>, std::uint64_t> counts_;
};

template <class Provider>
class event_stream_writer {
 public:
  explicit event_stream_writer(std::shared_ptr<std::ostream> stream) : stream_(std::move(stream)) {}

  // Writes the event's record; false when the stream does not keep this
  // event. A serialisation error is logged and loses only this record.
  template <std::size_t N>
  bool operator()(const dispatched_event<Provider, N>& e) {
    constexpr timeline_event layout = timeline_event_of<Provider>(dispatched_event<Provider, N>::key);
    if constexpr (layout.kind == 0) {
      return false;
    } else {
      try {
        record_writer w(*stream_);
        auto fields = e.fields();
        std::size_t length = 0;
        if constexpr (layout.last_field >= 0) length = fields.template end_of<layout.last_field>();
        w.header(e.header.timestamp, e.header.thread_id, e.header.version, layout.kind);
        if constexpr (layout.form == body::raw) {
          w.raw(e.payload.begin, length);
        } else if constexpr (layout.form == body::prefixed) {
          w.prefixed(e.payload.begin, length);
        } else if constexpr (layout.form == body::one_byte_prefixed) {
          // The allocation kind's low byte: small, large or pinned.
          w.put(static_cast<std::uint8_t>(fields.template get<1>()));
          w.prefixed(e.payload.begin, length);
        } else if constexpr (layout.form == body::activity) {
          w.guid(e.header.activity_id);
        } else if constexpr (layout.form == body::fields) {
          write_fields(w, fields, std::make_index_sequence<layout.last_field + 1>{});
        }
        logger_.count(Provider::format_names[N], e.header.version);
        return true;
      } catch (const tw::file_write_error&) {
        throw;  // not this event's fault: the snapshot cannot be written
      } catch (...) {
        TW_LOG(warning) << "Can't serialize event, provider: " << Provider::name << ", event: " << Provider::event_names[N]
                        << ", version: " << int(e.header.version) << ", error: " << tw::current_exception_to_string();
        return false;
      }
    }
  }

  const event_logger<Provider>& logger() const noexcept { return logger_; }

  // A record made here rather than from a trace event (what a crash report
  // says): its body, length-prefixed.
  void prefixed(std::int64_t timestamp, std::uint32_t thread_id, std::uint8_t version, std::uint16_t kind,
                std::span<const std::uint8_t> body) {
    record_writer w(*stream_);
    w.header(timestamp, thread_id, version, kind);
    w.prefixed(body.data(), body.size());
  }

 private:
  template <class Fields, std::size_t... I>
  static void write_fields(record_writer& w, Fields& fields, std::index_sequence<I...>) {
    (write_field(w, fields.template get<I>()), ...);
  }
  static void write_field(record_writer& w, const tw::utf16_text& text) { w.utf16(text.data, text.units); }
  template <class T>
  static void write_field(record_writer& w, T value) {
    w.put(value);
  }

  std::shared_ptr<std::ostream> stream_;
  event_logger<Provider> logger_;
};

template <class Provider>
class callstack_logger {
 public:
  void count() noexcept { ++count_; }
  std::uint64_t total() const noexcept { return count_; }
  ~callstack_logger() {
    if (count_ != 0) TW_LOG(info) << "Call-stacks from provider " << Provider::name << ": " << count_;
  }

 private:
  std::uint64_t count_ = 0;
};

template <class Provider>
class callstack_stream_writer {
 public:
  callstack_stream_writer(std::shared_ptr<std::ostream> stream, std::shared_ptr<call_tree_data> tree)
      : stream_(std::move(stream)), tree_(tree), walker_(tree, std::make_shared<calltree_builder>()) {}

  // Inserts the stack (leaf first, as the trace has it) and writes the
  // record; an empty stack gets leaf 0xFFFFFFFF.
  std::uint32_t operator()(std::int64_t timestamp, std::uint32_t thread_id, const stack_view& stack,
                           std::uint8_t stack_kind = 0) {
    const std::uint32_t leaf = insert(timestamp, thread_id, stack);
    write(timestamp, thread_id, leaf, stack_kind);
    return leaf;
  }
  // The two halves, for a record written later than its stack is inserted.
  // A full call tree costs the stack, never the event.
  std::uint32_t insert(std::int64_t timestamp, std::uint32_t thread_id, const stack_view& stack) {
    try {
      return walker_.walk(thread_id, stack);
    } catch (const std::bad_alloc&) {
      tree_->note_no_room(timestamp);
      return format::no_room_for_stack;
    }
  }
  void write(std::int64_t timestamp, std::uint32_t thread_id, std::uint32_t leaf, std::uint8_t stack_kind = 0) {
    record_writer(*stream_).callstack(timestamp, thread_id, stack_kind, leaf);
    logger_.count();
  }

  const callstack_logger<Provider>& logger() const noexcept { return logger_; }
  const stack_walker& walker() const noexcept { return walker_; }

 private:
  std::shared_ptr<std::ostream> stream_;
  std::shared_ptr<call_tree_data> tree_;
  stack_walker walker_;
  callstack_logger<Provider> logger_;
};

// The collector's own streams, written from values the processor derives.
class sample_stream_writer {
 public:
  explicit sample_stream_writer(std::shared_ptr<std::ostream> stream) : stream_(std::move(stream)) {}
  void thread_start(std::int64_t timestamp, std::uint32_t thread_id) {
    record_writer(*stream_).header(timestamp, thread_id, 0, format::sample_kind::thread_start);
  }
  void sample(std::int64_t timestamp, std::uint32_t thread_id, std::uint8_t sample_type, std::uint8_t source) {
    record_writer w(*stream_);
    w.header(timestamp, thread_id, source, format::sample_kind::sample);
    w.put(sample_type);
  }

 private:
  std::shared_ptr<std::ostream> stream_;
};

class session_stream_writer {
 public:
  explicit session_stream_writer(std::shared_ptr<std::ostream> stream) : stream_(std::move(stream)) {}
  void session_start(std::int64_t timestamp, std::uint32_t thread_id, std::uint32_t pid, std::uint64_t timer_resolution,
                     std::uint64_t tick) {
    record_writer w(*stream_);
    w.header(timestamp, thread_id, 0, format::session_kind::session_start);
    w.put(pid);
    w.put(timer_resolution);
    w.put(tick);
  }
  void session_stop(std::int64_t timestamp, std::uint32_t thread_id, std::uint64_t tick) {
    record_writer w(*stream_);
    w.header(timestamp, thread_id, 0, format::session_kind::session_stop);
    w.put(tick);
  }
  void thread_name(std::int64_t timestamp, std::uint32_t thread_id, std::u16string_view name) {
    record_writer w(*stream_);
    w.header(timestamp, thread_id, 0, format::session_kind::thread_name);
    w.utf16(name);
  }
  void capture(std::int64_t timestamp, std::uint32_t ms_into_recording, std::u16string_view what) {
    record_writer w(*stream_);
    w.header(timestamp, 0, 0, format::session_kind::capture);
    w.put(ms_into_recording);
    w.utf16(what);
  }
  void crash(std::int64_t timestamp, std::uint32_t thread_id, std::u16string_view exception_type) {
    record_writer w(*stream_);
    w.header(timestamp, thread_id, 0, format::session_kind::crash);
    w.utf16(exception_type);
  }

 private:
  std::shared_ptr<std::ostream> stream_;
};

// One provider's stream with its event and call-stack writers on it.
template <class Provider>
struct snapshot_collector {
  event_stream_writer<Provider> events;
  callstack_stream_writer<Provider> callstacks;
};

template <class Provider>
snapshot_collector<Provider> create_snapshot_collector(const tw_prof::sections_gen& gen,
                                                        std::shared_ptr<call_tree_data> tree) {
  constexpr auto section = timeline<Provider>::stream;
  auto stream = gen(tw_prof::stream_kind{}, section.id, section.version);
  return snapshot_collector<Provider>{event_stream_writer<Provider>(stream),
                                      callstack_stream_writer<Provider>(stream, std::move(tree))};
}

// The per-provider collectors of a snapshot, reached by provider.
template <class... Providers>
class merged_collectors {
 public:
  merged_collectors(const tw_prof::sections_gen& gen, const std::shared_ptr<call_tree_data>& tree)
      // Braces: the sections are created, and numbered, in provider order.
      : collectors_{create_snapshot_collector<Providers>(gen, tree)...} {}
  template <class Provider>
  snapshot_collector<Provider>& get() {
    return std::get<snapshot_collector<Provider>>(collectors_);
  }

 private:
  std::tuple<snapshot_collector<Providers>...> collectors_;
};

}  // namespace tarnwell::collector::inproc
