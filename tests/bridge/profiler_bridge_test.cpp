// The bridge driven by a host peer over loopback TCP: the handshake, every
// measure command, saving with file requests, and hosts that misbehave.

#include "bridge/profiler_bridge.h"
#include "collector/src/collector/multifile_snapshot.h"
#include "collector/src/collector/snapshot.h"
#include "bridge/test_prof/netcore_test_profiler_bridge_proto.h"
#include "tests/support/host_peer.h"
#include "tests/bridge/still_profiler.h"
#include "tests/support/scratch_folder.h"
#include "tools/snapshot_reader.h"

#include "tests/support/recordings.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <future>
#include <unistd.h>

using ::testing::ThrowsMessage;
using ::testing::HasSubstr;
using ::testing::StrEq;

namespace {

namespace fs = std::filesystem;
using namespace tw_prof;
using namespace test_support;
using clock_type = std::chrono::steady_clock;

// An alert's text, from its parameters.
std::string alert_text(const frame& f) {
  auto c = f.cursor();
  c.byte();
  c.read<std::uint32_t>();
  return read_sized_string(c);
}

class bridge_test : public testing::Test {
 protected:
  void SetUp() override { host_ = std::make_unique<host_peer>(dir_); }
  void TearDown() override { release_dropping(); }

  // Ends the bridge while the host serves what the drop asks of it.
  void release_dropping() {
    if (!bridge_) return;
    std::thread host([&] {
      if (host_) host_->drain();
    });
    bridge_->destroy(false);
    bridge_.reset();
    host.join();
  }

  // Waits for the bridge's end while the host serves it.
  std::vector<frame> drain_until_done() {
    auto done = bridge_->extract_done_future();
    auto frames = host_->drain();
    EXPECT_EQ(done.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    return frames;
  }

  // Creates the bridge against the host peer, which answers the handshake
  // and sends go; returns what go was answered with.
  frame connect(std::unique_ptr<prof_bridge_proto> proto, std::uint8_t control_kind = 0,
                bool collect_from_start = false) {
    frame after_go;
    std::thread host([&] {
      host_->accept();
      initialize_ = host_->handshake(control_kind, collect_from_start);
      host_->send(host_bridge_command::go);
      after_go = host_->next();
    });
    try {
      bridge_ = create_profiler_bridge_controller(std::move(proto), host_->endpoint());
    } catch (...) {
      host.join();
      throw;
    }
    host.join();
    return after_go;
  }
  frame connect() { return connect(std::make_unique<still_proto>()); }

  void start() {
    host_->send(host_bridge_command::measure_snapshot_start);
    EXPECT_EQ(host_->next().answer(), host_bridge_answer::measure_snapshot_started);
  }

  std::size_t files_left() const {
    return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()));
  }

  // The params of operation_started and snapshot_done begin with the session.
  static bytes session_prefix() {
    bridge_params p;
    p.guid(bridge_constants::test_session_1()).put(std::uint32_t{0}).guid(bridge_constants::test_session_2());
    return p.bytes();
  }

  // Saves the running snapshot as the host sees it; returns snapshot_done.
  frame save_and_expect_done(host_bridge_command command = host_bridge_command::measure_snapshot_stop_save) {
    host_->send(command);
    return expect_save();
  }
  frame expect_save() {
    auto started = host_->next_answer();
    EXPECT_EQ(started.answer(), host_bridge_answer::operation_started);
    bytes expected{1};
    const auto prefix = session_prefix();
    expected.insert(expected.end(), prefix.begin(), prefix.end());
    expected.push_back(0);
    EXPECT_EQ(started.params, expected);
    frame f = host_->next();
    while (f.answer() == host_bridge_answer::operation_progress) f = host_->next();
    EXPECT_EQ(f.answer(), host_bridge_answer::operation_finished);
    return host_->next();
  }

  void expect_done_lists_the_files(const frame& done) {
    ASSERT_EQ(done.answer(), host_bridge_answer::snapshot_done);
    bridge_params expected;
    expected.guid(bridge_constants::test_session_1()).put(std::uint32_t{0}).guid(bridge_constants::test_session_2());
    const auto& ids = host_->identifiers();
    ASSERT_GE(ids.size(), 2u);
    expected.guid(ids[0]).counter(static_cast<std::uint32_t>(ids.size() - 1));
    for (std::size_t i = 1; i < ids.size(); ++i) expected.guid(ids[i]);
    EXPECT_EQ(done.params, expected.bytes());
    const tw::tools::snapshot_reader reader(host_->paths()[0]);  // the index names files beside it
    EXPECT_EQ(reader.format(), snapshot_format_id);
    EXPECT_EQ(reader.read(2121).size(), 7u);
    for (const auto& p : host_->paths()) EXPECT_TRUE(fs::exists(p)) << p;
  }

  const scratch_folder scratch_;
  const fs::path dir_ = scratch_.path();
  std::unique_ptr<host_peer> host_;
  std::unique_ptr<profiler_bridge_controller> bridge_;
  frame initialize_;
};

// The handshake announces the profiler; go starts nothing (or, under the
// measure API, is unsupported); answers are exact frames.
TEST_F(bridge_test, handshake_and_answers_are_exact_frames) {
  EXPECT_EQ(raw(connect()), (bytes{0x91, 0x00}));  // go: measure_snapshot_stopped
  EXPECT_EQ(host_->announcements(), (std::vector<std::uint8_t>{0xFC, 0xA3, 0xD1}));
  auto c = initialize_.cursor();
  EXPECT_EQ(c.guid(tw::guid_byte_order::windows), bridge_constants::host_bridge_version());
  EXPECT_EQ(c.read<std::int32_t>(), ::getpid());
  EXPECT_EQ(c.guid(tw::guid_byte_order::windows), bridge_constants::profiler_kind());
  EXPECT_EQ(files_left(), 0u);
  host_->send(host_bridge_command::measure_snapshot_start);
  EXPECT_EQ(raw(host_->next()), (bytes{0x90, 0x00}));
  host_->send(host_bridge_command::measure_snapshot_stop_drop);
  EXPECT_EQ(raw(host_->next()), (bytes{0x91, 0x00}));
  host_->send(host_bridge_command::memory_dump);
  const auto alert = host_->next();
  bridge_params expected;
  expected.put(std::uint8_t{1}).put(std::uint32_t{0x80004005}).sized_string(alert_text(alert));
  EXPECT_EQ(alert.params, expected.bytes()) << "error severity, E_FAIL, the text";
  EXPECT_EQ(alert_text(alert).rfind("Unknown command: memory_dump", 0), 0u) << alert_text(alert);
  release_dropping();

  host_ = std::make_unique<host_peer>(dir_);
  EXPECT_EQ(connect(std::make_unique<still_proto>(), 1, true).answer(), host_bridge_answer::measure_unsupported);
  EXPECT_EQ(files_left(), 0u);
}

TEST_F(bridge_test, start_then_save_writes_every_file_where_the_host_said) {
  connect();
  start();
  const auto done = save_and_expect_done();
  expect_done_lists_the_files(done);
  EXPECT_EQ(host_->next().answer(), host_bridge_answer::measure_snapshot_stopped);
}

// Two snapshots writing one file would corrupt both: a host that names, for
// another bridge's snapshot, a file the running one writes is refused.
TEST_F(bridge_test, a_file_that_a_running_snapshot_writes_is_refused_to_another) {
  connect();
  start();
  host_peer other(dir_);  // names its files as the first host did
  std::thread serve([&] {
    other.accept();
    other.handshake(0, false);
    other.send(host_bridge_command::go);
    other.next();
  });
  auto second = create_profiler_bridge_controller(std::make_unique<still_proto>(), other.endpoint());
  serve.join();
  other.send(host_bridge_command::measure_snapshot_start);
  const auto alert = other.next();
  ASSERT_EQ(alert.answer(), host_bridge_answer::alert);
  EXPECT_NE(alert_text(alert).find("a running snapshot still writes it"), std::string::npos) << alert_text(alert);
  EXPECT_EQ(other.next().answer(), host_bridge_answer::measure_snapshot_stopped);
  // The running snapshot is whole.
  expect_done_lists_the_files(save_and_expect_done());
  EXPECT_EQ(host_->next().answer(), host_bridge_answer::measure_snapshot_stopped);
  std::thread drain([&] { other.drain(); });
  second->destroy(false);
  second.reset();
  drain.join();
}

TEST_F(bridge_test, save_start_and_drop_start_chain_snapshots) {
  connect();
  start();
  const auto done = save_and_expect_done(host_bridge_command::measure_snapshot_stop_save_start);
  expect_done_lists_the_files(done);
  const auto first = host_->paths();
  host_->forget_files();
  EXPECT_EQ(host_->next().answer(), host_bridge_answer::measure_snapshot_started);
  const auto dropped = host_->paths();
  host_->send(host_bridge_command::measure_snapshot_stop_drop_start);
  EXPECT_EQ(host_->next().answer(), host_bridge_answer::measure_snapshot_started);
  for (const auto& p : dropped) EXPECT_FALSE(fs::exists(p)) << "dropped: " << p;
  for (const auto& p : first) EXPECT_TRUE(fs::exists(p)) << "saved before: " << p;
  // Releasing the bridge saves the running one.
  std::thread release([&] { bridge_->destroy(true); });
  const auto last = expect_save();
  host_->drain();
  release.join();
  EXPECT_EQ(last.answer(), host_bridge_answer::snapshot_done);
}

TEST_F(bridge_test, cancel_operation_during_a_save_leaves_no_file_and_no_snapshot_done) {
  connect(std::make_unique<still_proto>(std::chrono::milliseconds(700)));
  start();
  host_->send(host_bridge_command::measure_snapshot_stop_save);
  EXPECT_EQ(host_->next().answer(), host_bridge_answer::operation_started);
  // The end of the snapshot asks for its last file; the cancellation comes after.
  const auto request = host_->read_frame();
  ASSERT_EQ(request.answer(), host_bridge_answer::handle_request);
  host_->answer_file_request(request.cursor().read<std::uint32_t>());
  bridge_params way;
  way.put(std::uint8_t{1});  // kill
  host_->send(host_bridge_command::cancel_operation, way);
  std::vector<host_bridge_answer> seen;
  for (frame f = host_->next(); f.answer() != host_bridge_answer::measure_snapshot_stopped; f = host_->next()) {
    seen.push_back(f.answer());
    if (f.answer() == host_bridge_answer::operation_progress) {
      auto c = f.cursor();
      const auto done = c.read<std::uint32_t>();
      EXPECT_LE(done, c.read<std::uint32_t>());
      EXPECT_EQ(read_sized_string(c), "");
      EXPECT_EQ(c.compressed_uint(), 0u);
      EXPECT_TRUE(c.at_end());
    }
  }
  ASSERT_GE(seen.size(), 2u);
  EXPECT_EQ(seen.front(), host_bridge_answer::operation_progress);
  EXPECT_EQ(seen.back(), host_bridge_answer::operation_finished);
  EXPECT_EQ(std::count(seen.begin(), seen.end(), host_bridge_answer::snapshot_done), 0);
  EXPECT_EQ(files_left(), 0u);
}

TEST_F(bridge_test, measure_operations_run_in_the_loop_and_return_once_done) {
  connect();
  std::vector<frame> seen;
  std::thread host([&] { seen = host_->drain(); });
  bridge_->start_snapshot();
  EXPECT_GT(files_left(), 0u) << "the snapshot's files exist when the call returns";
  bridge_->start_group("group");
  bridge_->end_group();
  bridge_->start_collecting();
  bridge_->stop_collecting();
  bridge_->save_snapshot();
  EXPECT_THAT([&] { bridge_->save_snapshot(); }, ThrowsMessage<std::runtime_error>(StrEq("No snapshot"))) << "saved twice";
  bridge_->reset_snapshot();  // nothing to drop: no error
  bridge_->destroy(false);
  host.join();
  // One progress report at least; a slow machine gives one per 200 ms more.
  std::vector<host_bridge_answer> answers;
  int progress = 0;
  for (const auto& f : seen) {
    if (f.answer() == host_bridge_answer::operation_progress)
      ++progress;
    else
      answers.push_back(f.answer());
  }
  EXPECT_GE(progress, 1);
  EXPECT_EQ(answers, (std::vector<host_bridge_answer>{host_bridge_answer::operation_started,
                                                      host_bridge_answer::operation_finished,
                                                      host_bridge_answer::snapshot_done}));
  EXPECT_THROW(bridge_->start_snapshot(), std::runtime_error) << "the loop has ended";
}

// Commands while a snapshot runs: what the host hears; a loop that ends
// drops the snapshot and leaves no file, one that goes on still starts the
// next.
TEST_F(bridge_test, commands_that_end_the_loop_and_commands_that_only_alert) {
  using cmd = host_bridge_command;
  using ans = host_bridge_answer;
  struct row {
    const char* name;
    std::vector<cmd> commands;
    std::vector<ans> answers;
    const char* alert;
    bool ends;
  };
  const row rows[] = {
      {"kill", {cmd::kill}, {ans::kill_accepted}, nullptr, true},
      {"detach: no answer", {cmd::detach}, {}, nullptr, true},
      {"a second start", {cmd::measure_snapshot_start}, {ans::alert}, "Snapshot already exists", true},
      {"unknown commands",
       {cmd::memory_force_gc, cmd::throw_exception, cmd::handle, cmd{0x77}},
       {ans::alert, ans::alert, ans::alert, ans::alert},
       "Unknown command",
       false},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    host_ = std::make_unique<host_peer>(dir_);
    connect();
    start();
    for (const auto c : r.commands) host_->send(c);
    for (const auto expected : r.answers) {
      const auto f = host_->next();
      ASSERT_EQ(f.answer(), expected);
      if (expected == ans::alert) {
        EXPECT_NE(alert_text(f).find(r.alert), std::string::npos) << alert_text(f);
      }
    }
    if (r.ends) {
      EXPECT_TRUE(drain_until_done().empty());
      EXPECT_EQ(files_left(), 0u);
      bridge_.reset();
    } else {
      host_->send(cmd::measure_snapshot_stop_drop);
      EXPECT_EQ(host_->next().answer(), ans::measure_snapshot_stopped);
      start();
      release_dropping();
    }
  }
}

// Hostile answers to a file request: each ends the loop with the documented
// message as an alert, and leaves no file of the snapshot.
TEST_F(bridge_test, hostile_handle_answers_end_the_loop_with_their_message) {
  // A handle answer with the request id shifted by `id_shift`, or another
  // command in its place.
  struct row {
    const char* name;
    std::uint32_t id_shift;
    std::uint8_t type;
    const char* path;
    const char* message;
  };
  const row rows[] = {
      {"stale request id", 7, 1, "/tmp/x", "Unexpected handle request id: "},
      {"file type 2", 0, 2, "/tmp/x", "Unexpected file type. Identified file was expected: 2"},
      {"another command", 0, 0, nullptr, "Unexpected command: go"},
      {"a path that cannot be created", 0, 1, "/proc/self/no/such/file", "Fail to create file"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    host_ = std::make_unique<host_peer>(dir_);
    connect();
    host_->send(host_bridge_command::measure_snapshot_start);
    // Serve the first request (the index), spoil the second.
    auto f = host_->read_frame();
    ASSERT_EQ(f.answer(), host_bridge_answer::handle_request);
    host_->answer_file_request(f.cursor().read<std::uint32_t>());
    f = host_->read_frame();
    ASSERT_EQ(f.answer(), host_bridge_answer::handle_request);
    if (r.path) {
      bridge_params p;
      p.put(f.cursor().read<std::uint32_t>() + r.id_shift).put(r.type).sized_string(r.path).guid(tw::guid::random());
      host_->send(host_bridge_command::handle, p);
    } else {
      host_->send(host_bridge_command::go);
    }
    const auto alert = host_->read_frame();
    ASSERT_EQ(alert.answer(), host_bridge_answer::alert);
    EXPECT_NE(alert_text(alert).find(r.message), std::string::npos) << alert_text(alert);
    drain_until_done();
    bridge_.reset();
    EXPECT_EQ(files_left(), 0u);
    host_->forget_files();
  }
}

TEST_F(bridge_test, a_host_that_never_answers_a_file_request_cannot_hold_up_destroy) {
  connect();
  host_->send(host_bridge_command::measure_snapshot_start);
  ASSERT_EQ(host_->read_frame().answer(), host_bridge_answer::handle_request);  // and never answered
  const auto begin = clock_type::now();
  bridge_->destroy(true);
  const auto took = clock_type::now() - begin;
  EXPECT_LT(took, std::chrono::seconds(13));
  EXPECT_GE(took, std::chrono::seconds(9)) << "the bridge waits 10 s before closing by force";
  bridge_.reset();
  EXPECT_EQ(files_left(), 0u);
}

TEST_F(bridge_test, a_host_gone_while_a_file_request_waits_ends_the_bridge_at_once) {
  connect();
  host_->send(host_bridge_command::measure_snapshot_start);
  auto f = host_->read_frame();
  ASSERT_EQ(f.answer(), host_bridge_answer::handle_request);
  host_->answer_file_request(f.cursor().read<std::uint32_t>());
  ASSERT_EQ(host_->read_frame().answer(), host_bridge_answer::handle_request);
  const auto begin = clock_type::now();
  host_->socket().close();
  EXPECT_EQ(bridge_->extract_done_future().wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_LT(clock_type::now() - begin, std::chrono::seconds(5));
  bridge_.reset();
  EXPECT_EQ(files_left(), 0u) << "the index the host had named is removed";
}

TEST_F(bridge_test, a_host_gone_mid_save_or_mid_handshake_ends_the_bridge) {
  connect();
  start();
  host_->send(host_bridge_command::measure_snapshot_stop_save);
  EXPECT_EQ(host_->read_frame().answer(), host_bridge_answer::operation_started);
  host_->socket().close();
  EXPECT_EQ(bridge_->extract_done_future().wait_for(std::chrono::seconds(5)), std::future_status::ready);
  bridge_.reset();
  EXPECT_EQ(files_left(), 0u) << "a save the host abandoned leaves nothing";

  host_ = std::make_unique<host_peer>(dir_);
  std::thread host([&] {
    host_->accept();
    host_->read_frame();  // initialize
    host_->socket().close();
  });
  EXPECT_THROW(create_profiler_bridge_controller(std::make_unique<still_proto>(), host_->endpoint()),
               std::exception);
  host.join();
}

TEST(bridge_endpoint, only_loopback_addresses_are_accepted_and_nothing_is_sent_elsewhere) {
  for (const char* endpoint : {"10.1.2.3:5000", "192.168.0.1:80", "8.8.8.8:53"}) {
    EXPECT_THAT([&] { create_profiler_bridge_controller(std::make_unique<still_proto>(), endpoint); },
                ThrowsMessage<std::invalid_argument>(HasSubstr("loopback")))
        << endpoint;
  }
  for (const char* endpoint : {"5000", ":5000", ""}) {
    if (*endpoint == 0) continue;  // empty: listening, checked below
    EXPECT_THAT([&] { create_profiler_bridge_controller(std::make_unique<still_proto>(), endpoint); },
                ThrowsMessage<std::invalid_argument>(StrEq("Invalid address parameter")))
        << endpoint;
  }
  auto listening = create_profiler_bridge_controller(std::make_unique<still_proto>(), "");
  EXPECT_EQ(listening->get_endpoint().rfind("127.0.0.1:", 0), 0u) << listening->get_endpoint();
  EXPECT_NE(listening->get_endpoint(), "127.0.0.1:0");
  const auto begin = clock_type::now();
  listening.reset();
  EXPECT_LT(clock_type::now() - begin, std::chrono::seconds(2)) << "nobody came: nothing to wait for";
}

TEST_F(bridge_test, a_recording_profiled_through_the_bridge_is_saved_when_its_stream_ends) {
  connect(std::make_unique<netcore_test_profiler_bridge_proto>(
      static_cast<std::uint32_t>(::getpid()), test_support::recording("net10-core")));
  start();
  // The file ends as a target exits: the bridge saves what it holds.
  const auto done = expect_save();
  ASSERT_EQ(done.answer(), host_bridge_answer::snapshot_done);
  drain_until_done();
  const tw::tools::snapshot_reader reader(host_->paths()[0]);
  EXPECT_GT(reader.read(2121).size(), 1000u);
  // The recording's rundown names its runtime: the host hears of it, before
  // the save, though the rundown ends the recording.
  ASSERT_FALSE(host_->notifications.empty());
  auto runtime = host_->notifications.front().cursor();
  EXPECT_EQ(host_->notifications.front().answer(), host_bridge_answer::runtime_updated);
  EXPECT_EQ(runtime.byte(), static_cast<std::uint8_t>(runtime_type::core_clr));
  EXPECT_EQ(runtime.read<std::uint16_t>(), 10) << "major version";
  for (const auto& p : host_->paths()) EXPECT_TRUE(fs::exists(p)) << p;
}

}  // namespace
