// The event processor fed one event at a time: what each kind of event
// becomes in the snapshot, and that a processor told to stop accepting
// writes nothing more.

#include "tests/support/scratch_folder.h"
#include "api/path_file_factory.h"
#include "collector/src/collector/multifile_snapshot.h"
#include "event_pipe_timeline_profiler/src/event_processors/event_processor.h"
#include "tools/snapshot_reader.h"
#include "tools/snapshot_streams.h"
#include "tw/utility/le_writer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <atomic>
#include <pthread.h>
#include <thread>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using namespace tarnwell::collector;
using rt = Microsoft_Windows_DotNETRuntime;

template <std::uint32_t Key>
using runtime_event = dispatched_event<rt, rt::events::index_of(Key)>;

class processor_test : public testing::Test {
 protected:
  void SetUp() override { start(); }
  void start(std::shared_ptr<tw_prof::bridge_notifier> notifier = nullptr,
             std::uint32_t tree_limit = tarnwell::common::mapped_offset_limit) {
    processor_.reset();
    files_ = tw_prof::multifile_snapshot::create(std::make_unique<tw_prof::path_file_factory>((dir_ / "s").string()),
                                                 tw_prof::snapshot_format_id, 0);
    processor_.emplace(std::make_shared<tw_prof::environment>(), std::move(notifier), false);
    tarnwell::nettrace::TraceObject trace;
    trace.qpc_frequency = 1000000;
    trace.process_id = 42;
    processor_->set_trace(trace);
    processor_->attach(tw_prof::sections_gen(files_), nullptr, {}, tree_limit);
  }
  template <class Event>
  void feed(Event e, std::int64_t timestamp, const std::vector<std::uint8_t>& payload, bool with_stack = true,
            std::uint64_t leaf = 0x1000) {
    e.header.timestamp = timestamp;
    e.header.thread_id = 7;
    e.header.version = static_cast<std::uint8_t>(Event::key & 0xFF);
    e.payload = {payload.data(), payload.data() + payload.size()};
    const std::uint64_t frames[] = {leaf, 0x2000};
    e.stack = {reinterpret_cast<const std::uint8_t*>(frames), with_stack ? 2u : 0u, 8};
    (*processor_)(rt{}, e);
  }

  // The runtime stream's records, once the snapshot is written.
  template <class F>
  void for_each_runtime_record(F f) {
    processor_->detach();
    processor_.reset();
    files_.reset();
    const tw::tools::snapshot_reader reader(dir_ / "s");
    tw::tools::for_each_record(2121, reader.read(2121), 8, f);
  }
  // Their count by kind.
  std::map<std::uint16_t, int> runtime_records() {
    std::map<std::uint16_t, int> kinds;
    for_each_runtime_record([&](const tw::tools::stream_record& r) { ++kinds[r.kind]; });
    return kinds;
  }

  const test_support::scratch_folder dir_;
  std::shared_ptr<tw_prof::multifile_snapshot> files_;
  std::optional<tw_prof::netcore::event_processor> processor_;
};

std::vector<std::uint8_t> gc_end(std::uint32_t count) {
  std::vector<std::uint8_t> b;
  auto w = tw::write_to(b);
  w.put(count);
  w.put(std::uint32_t{2});
  w.put(std::uint16_t{1});
  return b;
}

std::vector<std::uint8_t> exception(std::u16string_view type) {
  std::vector<std::uint8_t> b;
  auto w = tw::write_to(b);
  w.utf16z(type);
  w.utf16z(u"message");
  w.put(std::uint64_t{0x1234});
  w.put(std::uint32_t{0x80131500});
  w.put(std::uint16_t{0});
  w.put(std::uint16_t{1});
  return b;
}

TEST_F(processor_test, events_become_their_records_and_call_stacks) {
  feed(runtime_event<event_key(2, 1)>{}, 10, gc_end(1), false);       // GC end: kind 2, recorded without a stack
  feed(runtime_event<event_key(2, 1)>{}, 15, gc_end(2));              // and with one: its stack follows
  feed(runtime_event<event_key(80, 1)>{}, 20, exception(u"E"));       // exception: kind 9 and a stack
  feed(runtime_event<event_key(80, 1)>{}, 25, exception(u"F"), false);  // always with a stack record
  feed(runtime_event<event_key(85, 0)>{}, 30, std::vector<std::uint8_t>(30));  // thread created: not kept
  EXPECT_EQ(runtime_records(), (std::map<std::uint16_t, int>{{2, 2}, {9, 2}, {0x2000, 3}}));
}

TEST_F(processor_test, nothing_is_written_once_it_stops_accepting) {
  feed(runtime_event<event_key(2, 1)>{}, 10, gc_end(1), false);
  processor_->stop_accepting();
  feed(runtime_event<event_key(2, 1)>{}, 20, gc_end(2));
  feed(runtime_event<event_key(80, 1)>{}, 30, exception(u"E"));
  EXPECT_EQ(runtime_records(), (std::map<std::uint16_t, int>{{2, 1}}));
}

// A full call tree costs the stacks of what comes after, never the events:
// each keeps its record, with a stack record that says there was no room,
// and the host hears of it once, with the count.
TEST_F(processor_test, a_full_call_tree_keeps_every_event_and_says_so_once) {
  struct warnings : tw_prof::bridge_notifier {
    std::vector<std::string> said;
    void on_warning(const std::string& text) override { said.push_back(text); }
  };
  auto heard = std::make_shared<warnings>();
  start(heard, 4096);  // room for about 250 nodes
  constexpr int events = 1000;
  const auto payload = exception(u"E");
  for (int i = 0; i < events; ++i)  // a new leaf each time
    feed(runtime_event<event_key(80, 1)>{}, 1000000 + i * 1000, payload, true, 0x1000u + static_cast<std::uint64_t>(i));
  int records = 0, without_room = 0;
  for_each_runtime_record([&](const tw::tools::stream_record& r) {
    if (r.kind == 9) ++records;
    if (r.kind == 0x2000 && tw::tools::load_at<std::uint32_t>(r.body, 8) == format::no_room_for_stack) ++without_room;
  });
  EXPECT_EQ(records, events);
  EXPECT_GT(without_room, events / 2);
  ASSERT_EQ(heard->said.size(), 1u);
  EXPECT_NE(heard->said[0].find("the call tree reached its limit at "), std::string::npos) << heard->said[0];
  EXPECT_NE(heard->said[0].find("; " + std::to_string(without_room) + " events after it have no stack"),
            std::string::npos)
      << heard->said[0];
}

}  // namespace

// A thread that ends before the processor meets its first event keeps the
// name it had; a thread never seen has none.
TEST(process_watcher, remembers_the_name_of_a_thread_that_has_ended) {
  std::atomic<pid_t> tid{0};
  std::atomic<bool> named{false}, leave{false};
  std::thread short_lived([&] {
    ::pthread_setname_np(::pthread_self(), "tw-short");
    tid = ::gettid();
    named = true;
    while (!leave) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  });
  while (!named) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  tw_prof::netcore::process_watcher watcher(::getpid());
  EXPECT_EQ(watcher.name(tid), "tw-short");
  leave = true;
  short_lived.join();
  // The kernel drops the thread's entry a moment after the join returns.
  const auto gone = [&] {
    try {
      tw_prof::netcore::read_thread_name(::getpid(), tid);
      return false;
    } catch (const std::exception&) {
      return true;
    }
  };
  for (int i = 0; i < 5000 && !gone(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_TRUE(gone());
  EXPECT_EQ(watcher.name(tid), "tw-short");
  EXPECT_EQ(watcher.name(0x3FFFFFFF), std::nullopt);
}
