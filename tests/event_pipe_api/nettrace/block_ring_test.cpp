// A recording's blocks kept in a ring and read back as a stream of their
// own: whole, or the most recent stretch once older segments are gone.

#include "event_pipe_api/src/event_pipe_consumer_api.h"
#include "event_pipe_api/src/nettrace/block_ring.h"
#include "tests/support/recordings.h"
#include "tests/support/scratch_folder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace {

using namespace tarnwell;
using collector::event_pipe::consumer_status;

// What a stream delivers: each event's timestamp, and the sample types read
// beside its blocks.
struct seen {
  std::vector<std::int64_t> events;
  std::vector<std::uint8_t> types;
};

class recorder final : public collector::event_pipe::event_pipe_handlers_base {
 public:
  explicit recorder(nettrace::block_ring* ring) : ring_(ring) {}
  void handle_event(const nettrace::event_trace_record& r, bool) override {
    got.events.push_back(r.header.timestamp);
    ++in_block_;
  }
  void handle_trace_object(const nettrace::TraceObject& t) override {
    if (ring_) ring_->trace(t);
  }
  void handle_sequence_point(const nettrace::sp_block&) override {}
  void handle_block(nettrace::block_kind kind, std::span<const std::uint8_t> block) override {
    // A made-up type per event, numbered in stream order.
    std::vector<std::uint8_t> types;
    for (int i = 0; i < in_block_; ++i) types.push_back(static_cast<std::uint8_t>(numbered_++));
    in_block_ = 0;
    if (ring_) ring_->append(kind, block, kind == nettrace::block_kind::event ? types : std::vector<std::uint8_t>{});
  }
  seen got;

 private:
  nettrace::block_ring* ring_;
  int in_block_ = 0;
  int numbered_ = 0;
};

seen read(nettrace::stream_source& source, nettrace::block_ring* ring = nullptr) {
  auto handlers = std::make_shared<recorder>(ring);
  const auto status = collector::event_pipe::run_source(source, nullptr, handlers);
  EXPECT_EQ(status.status, consumer_status::finished) << (status.error ? "failed" : "");
  return handlers->got;
}

TEST(block_ring, a_window_reads_back_as_a_stream_of_its_own) {
  const test_support::scratch_folder scratch;
  struct row {
    std::uint64_t max_bytes, segment_bytes;
    bool whole;  // nothing was evicted
  };
  for (const auto& r : {row{64 << 20, 0, true}, row{1200 << 10, 128 << 10, false}}) {
    SCOPED_TRACE(r.max_bytes);
    nettrace::block_ring ring({scratch / "ring", r.max_bytes, 0, r.segment_bytes});
    nettrace::file_source original(test_support::recording("net10-kestrel"));
    const auto all = read(original, &ring);
    EXPECT_LE(ring.bytes(), r.max_bytes);
    std::vector<std::uint8_t> types;
    auto window = ring.open(ring.oldest(), [&](std::span<const std::uint8_t> t) { types.insert(types.end(), t.begin(), t.end()); });
    const auto back = read(*window);
    if (r.whole) {
      EXPECT_EQ(back.events, all.events);
    } else {
      // The newest stretch is there, every event's stack found.
      EXPECT_GT(back.events.size(), 100u);
      EXPECT_LT(back.events.size(), all.events.size());
      EXPECT_EQ(back.events.back(), all.events.back());
    }
    // Each event's type came back beside it: the window's events are a run
    // of the recording's, numbered one after another.
    ASSERT_EQ(types.size(), back.events.size());
    for (std::size_t i = 1; i < types.size(); ++i) ASSERT_EQ(types[i], std::uint8_t(types[i - 1] + 1)) << i;
  }
}

}  // namespace
