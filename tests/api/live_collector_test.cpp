// Live profiling from start to finish as a front end does it: a real .NET
// program, the library through its exported functions, and the host's side
// of the bridge over loopback TCP.

#include "tests/support/live_target.h"
#include "tests/support/host_peer.h"
#include "tests/support/scratch_folder.h"
#include "tests/support/small_filesystem.h"
#include "tools/snapshot_inspect.h"
#include "tools/snapshot_reader.h"
#include "tools/snapshot_samples.h"

#include "bridge/protocol.h"
#include "event_pipe_api/src/dispatch.h"
#include "event_pipe_api/src/session.h"
#include "event_pipe_timeline_profiler/src/netcore_profiler_api.h"

#include <gtest/gtest.h>

#include <pwd.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <set>
#include <thread>

namespace {

namespace fs = std::filesystem;
using namespace test_support;
using tw_prof::host_bridge_answer;
using tw_prof::host_bridge_command;
using clock_type = std::chrono::steady_clock;

class live_collector : public testing::Test {
 protected:
  void SetUp() override {
    // Race detectors start a thread of their own with the first thread of
    // the process; it must not count as the collector's.
    std::thread([] {}).join();
  }

  // A collector on `target` whose bridge has been answered and told go.
  struct session {
    std::unique_ptr<host_peer> host;
    void* handle = nullptr;

    frame next() { return host->next_answer(); }
    void start_snapshot() { ASSERT_TRUE(host->start_snapshot()); }
    fs::path save() {
      const auto index = host->save_snapshot();
      EXPECT_FALSE(index.empty()) << "the save did not end as a front end expects";
      return index;
    }
  };

  session open(const live_target& target, const std::string& host_dir = {}, bool test_mode = false) {
    session s;
    s.host = std::make_unique<host_peer>(host_dir.empty() ? dir_ : fs::path(host_dir));
    std::string error;
    s.handle = create_collector(s.host->endpoint(), target.pid(), test_mode, error);
    EXPECT_EQ(error, "");
    EXPECT_NE(s.handle, nullptr);
    s.host->accept();
    s.host->handshake(0, false);
    s.host->send(host_bridge_command::go);
    EXPECT_EQ(s.next().answer(), host_bridge_answer::measure_snapshot_stopped);
    return s;
  }

  // Releases the collector while the host serves what the release asks of
  // it; returns the release's error and the frames that came.
  static std::pair<std::string, std::vector<frame>> release(session& s) {
    std::vector<frame> frames;
    std::thread host([&] { frames = s.host->drain(); });
    auto error = release_collector(s.handle);
    host.join();
    return {error, frames};
  }

  static bool eptl_accepts(const fs::path& index) {
    for (const char* command : {"sections", "inspect"}) {
      const std::string line = quoted(TW_EPTL_PATH) + " " + command + " " + quoted(index.string()) + " >/dev/null 2>&1";
      if (std::system(line.c_str()) != 0) return false;
    }
    return true;
  }

  const scratch_folder scratch_;
  const fs::path dir_ = scratch_.path();
};

// The summary's managed-code samples, checked against the target's threads.
void expect_busy_threads_sampled_and_named(const tw::tools::snapshot_summary& s) {
  std::set<std::string> named;
  for (const auto& [tid, name] : s.thread_names) {
    if (name.rfind("tw-busy-", 0) != 0) continue;
    named.insert(name);
    const auto it = s.samples_per_thread.find(tid);
    EXPECT_TRUE(it != s.samples_per_thread.end() && it->second > 10) << name << " has too few samples";
  }
  std::string all;
  for (const auto& [tid, name] : s.thread_names) all.append(std::to_string(tid)).append("=").append(name).append(" ");
  EXPECT_EQ(named, (std::set<std::string>{"tw-busy-0", "tw-busy-1", "tw-busy-2", "tw-busy-3"})) << all;
}

bool has_method(const std::vector<tw::tools::method_samples>& methods, const std::string& name) {
  return std::any_of(methods.begin(), methods.end(),
                     [&](const auto& m) { return m.name.find(name) != std::string::npos && m.exclusive > 0; });
}

TEST_F(live_collector, a_snapshot_holds_what_the_target_did_and_a_second_one_saves_on_release) {
  live_target target;
  const auto before = held_resources::now(dir_);
  auto s = open(target);

  s.start_snapshot();
  const std::vector<std::string> paths{"/a", "/b/c", "/d", "/e", "/f"};
  for (const auto& p : paths) EXPECT_EQ(http_get(target.port(), p), "HTTP/1.1 200 OK");
  target.work();
  const auto first = s.save();
  ASSERT_FALSE(first.empty());
  EXPECT_TRUE(eptl_accepts(first));
  const auto summary = tw::tools::inspect_snapshot(first.string());

  EXPECT_EQ(summary.pid, static_cast<std::uint32_t>(target.pid()));
  EXPECT_EQ(summary.runtime_version.rfind("10.", 0), 0u) << summary.runtime_version;
  // One connection per request, each start paired with its stop.
  EXPECT_EQ(summary.kestrel_requests.size(), paths.size());
  auto starts = summary.kestrel_requests, stops = summary.kestrel_request_stops;
  std::sort(starts.begin(), starts.end());
  std::sort(stops.begin(), stops.end());
  EXPECT_EQ(starts, stops);
  EXPECT_EQ(std::set<std::string>(starts.begin(), starts.end()).size(), paths.size());
  auto connections = summary.kestrel_connections, connection_stops = summary.kestrel_connection_stops;
  std::sort(connections.begin(), connections.end());
  std::sort(connection_stops.begin(), connection_stops.end());
  EXPECT_EQ(connections.size(), paths.size());
  EXPECT_EQ(connections, connection_stops);

  EXPECT_EQ(summary.exceptions.at("System.InvalidOperationException"), 5u);
  EXPECT_EQ(summary.exceptions.at("System.FormatException"), 3u);
  EXPECT_GT(summary.contentions, 0u);
  // Every collection, numbered one after another (the stream holds them in
  // the order the runtime's buffers were sent, not always by time).
  auto gcs = summary.gc_numbers;
  std::sort(gcs.begin(), gcs.end());
  ASSERT_GE(gcs.size(), 3u);
  for (std::size_t i = 1; i < gcs.size(); ++i) EXPECT_EQ(gcs[i], gcs[i - 1] + 1);
  std::uint64_t allocation_ticks = 0, task_records = 0;
  for (const auto& [what, n] : summary.records) {
    if (what.first == 2121 && (what.second == 6 || what.second == 21 || what.second == 22)) allocation_ticks += n;
    if (what.first == 2120) task_records += n;
  }
  EXPECT_GT(allocation_ticks, 10u);
  EXPECT_GT(task_records, 0u);

  expect_busy_threads_sampled_and_named(summary);
  // Every frame of a runtime sample is managed code: compiled before the
  // session (known through rundown), during it, or precompiled into a
  // framework image (known from the image itself: Thread.Join, where the
  // work waits for its threads, is never compiled).
  ASSERT_GT(summary.samples_with_stack, 1000u);
  EXPECT_GE(summary.samples_resolved_managed * 100, summary.samples_with_stack * 99)
      << summary.samples_resolved_managed << " of " << summary.samples_with_stack << " resolved";
  EXPECT_TRUE(has_method(summary.methods, "BeforeSession"));
  EXPECT_TRUE(has_method(summary.methods, "AfterSession"));
  // The thread waiting for the others is sampled outside managed code (now
  // and then also in it, on its way to the wait).
  EXPECT_TRUE(has_method(summary.waits, "System.Threading.Thread.Join"));
  // The stacks of Kestrel and task events name managed code, every one: a
  // live snapshot finds precompiled framework code in its images.
  for (const std::uint16_t section : {2055, 2120}) {
    const auto [stacks, named] = summary.stacks_naming_a_method.at(section);
    EXPECT_GT(stacks, 0u) << section;
    EXPECT_EQ(named, stacks) << section;
  }
  // The lifetime session told the runtime's version.
  EXPECT_TRUE(has_answer(s.host->notifications, host_bridge_answer::runtime_updated));

  // Drop one, then a snapshot that the release saves.
  s.start_snapshot();
  s.host->send(host_bridge_command::measure_snapshot_stop_drop);
  EXPECT_EQ(s.next().answer(), host_bridge_answer::measure_snapshot_stopped);
  s.start_snapshot();
  target.work();
  const auto [error, frames] = release(s);
  EXPECT_EQ(error, "");
  EXPECT_TRUE(has_answer(frames, host_bridge_answer::snapshot_done));
  ASSERT_FALSE(s.host->paths().empty());
  const auto last = s.host->paths()[0];
  EXPECT_TRUE(eptl_accepts(last));
  const auto second = tw::tools::inspect_snapshot(last.string());
  EXPECT_EQ(second.exceptions.at("System.FormatException"), 3u);
  expect_busy_threads_sampled_and_named(second);
  EXPECT_TRUE(has_method(second.methods, "AfterSession"));

  // Nothing of the collector is left in this process once the host's own
  // sockets are gone.
  EXPECT_TRUE(target.alive());
  s.host.reset();
  EXPECT_EQ(held_resources::now(dir_), before);
}


// The share of the samples of threads named `prefix...` that found them on a
// CPU.
double running_share(const fs::path& index, const std::string& prefix) {
  const tw::tools::snapshot_model model(index.string());
  std::uint64_t all = 0, running = 0;
  for (const auto& sample : tw::tools::collect_samples(model)) {
    if (tw::tools::thread_name(model, sample.thread).rfind(prefix, 0) != 0) continue;
    ++all;
    running += tw::tools::on_cpu(sample.type) ? 1 : 0;
  }
  return all ? static_cast<double>(running) / static_cast<double>(all) : 0;
}

// .NET 8, 9 and 10 alike, profiled by pid: what the target did is in the
// snapshot, and its busy threads run while the thread that joins them waits,
// also where the runtime flags nearly every sample as outside managed code
// (.NET 9): the kernel's accounting of each thread's CPU time says.
TEST_F(live_collector, every_runtime_is_profiled_by_pid) {
  for (const auto& runtime : every_runtime()) {
    SCOPED_TRACE(".NET " + runtime.name);
    live_target target(std::nullopt, runtime);
    auto s = open(target);
    s.start_snapshot();
    for (const char* path : {"/a", "/b", "/c"}) EXPECT_EQ(http_get(target.port(), path), "HTTP/1.1 200 OK");
    target.work();
    const auto index = s.save();
    ASSERT_FALSE(index.empty());
    const auto summary = tw::tools::inspect_snapshot(index.string());
    EXPECT_EQ(summary.runtime_version.rfind(runtime.name + ".", 0), 0u) << summary.runtime_version;
    EXPECT_EQ(summary.exceptions.at("System.InvalidOperationException"), 5u);
    EXPECT_EQ(summary.exceptions.at("System.FormatException"), 3u);
    EXPECT_EQ(summary.kestrel_requests.size(), 3u);
    expect_busy_threads_sampled_and_named(summary);
    // Stopped for the collections the target forces, and by the sampler
    // itself, they wait a little; on a machine with more runnable threads
    // than cores (seen: 0.66 with the suite and builds beside it), more.
    // The runtime's flag alone gives .NET 9 under 0.3.
    EXPECT_GE(running_share(index, "tw-busy-"), 0.6);
    // The program's own method with the most samples is its busy threads'.
    const auto own = std::find_if(summary.methods.begin(), summary.methods.end(), [](const auto& m) {
      return m.name.rfind("System.", 0) != 0 && m.name.rfind("Microsoft.", 0) != 0 && m.name.rfind("Interop", 0) != 0;
    });
    ASSERT_NE(own, summary.methods.end());
    EXPECT_TRUE(own->name.find("Session.") != std::string::npos || own->name.find("LiveTarget") != std::string::npos ||
                own->name == "HotLoop.SpinPrimes")
        << own->name;
    EXPECT_TRUE(has_method(summary.waits, "System.Threading.Thread.Join"));
    EXPECT_EQ(release(s).first, "");
  }
}

// A front end that gives its snapshot a window and a trigger hears when the
// trigger fires, and its save is a capture of the window.
TEST_F(live_collector, a_window_and_a_trigger_given_by_the_host_make_a_capture_the_host_hears_of) {
  live_target target;
  const auto before = held_resources::now(dir_);
  auto s = open(target);
  tw_prof::window_settings window;
  window.last = std::chrono::seconds(30);
  window.after = std::chrono::milliseconds(0);
  window.triggers = {"exception=System.FormatException"};
  tw_prof::bridge_params params;
  tw_prof::put_window_settings(params, window);
  s.host->forget_files();
  s.host->send(host_bridge_command::measure_snapshot_start, params);
  ASSERT_EQ(s.next().answer(), host_bridge_answer::measure_snapshot_started);
  target.work();
  const auto told = s.next();
  ASSERT_EQ(told.answer(), host_bridge_answer::snapshot_triggered);
  auto what = told.cursor();
  EXPECT_EQ(tw_prof::read_sized_string(what), "exception System.FormatException");
  const auto index = s.save();
  ASSERT_FALSE(index.empty());
  const auto summary = tw::tools::inspect_snapshot(index.string());
  ASSERT_TRUE(summary.capture);
  EXPECT_EQ(summary.capture->what, "exception System.FormatException");
  EXPECT_EQ(summary.exceptions.at("System.InvalidOperationException"), 5u);
  EXPECT_EQ(release(s).first, "");
  s.host.reset();
  EXPECT_EQ(held_resources::now(dir_), before);
}

// However the target ends, what it sent before is saved: a crash or a kill
// is when its recording is wanted most.
TEST_F(live_collector, a_target_that_ends_mid_snapshot_leaves_what_it_sent) {
  struct ending {
    const char* how;
    bool killed;
  };
  for (const auto& e : {ending{"exits", false}, ending{"is killed", true}}) {
    SCOPED_TRACE(e.how);
    live_target target;
    auto s = open(target);
    s.start_snapshot();
    for (const char* path : {"/a", "/b", "/c"}) EXPECT_EQ(http_get(target.port(), path), "HTTP/1.1 200 OK");
    target.work();
    if (e.killed) {
      // The runtime hands its events over every few tenths of a second.
      std::this_thread::sleep_for(std::chrono::seconds(1));
      ::kill(target.pid(), SIGKILL);
    } else {
      target.exit();
    }
    // The bridge saves on its own and ends; a kill is first told as a warning.
    const auto frames = s.host->drain();
    EXPECT_TRUE(has_answer(frames, host_bridge_answer::snapshot_done));
    const auto warning = std::find_if(frames.begin(), frames.end(), [](const frame& f) {
      return f.answer() == host_bridge_answer::alert && f.params.at(0) == 0;
    });
    EXPECT_EQ(warning != frames.end(), e.killed);
    EXPECT_FALSE(has_answer(frames, host_bridge_answer::alert) && warning == frames.end()) << "an error alert";
    ASSERT_FALSE(s.host->paths().empty());
    EXPECT_TRUE(eptl_accepts(s.host->paths()[0]));
    const auto summary = tw::tools::inspect_snapshot(s.host->paths()[0].string());
    EXPECT_EQ(summary.exceptions.at("System.InvalidOperationException"), 5u);
    EXPECT_EQ(summary.kestrel_requests.size(), 3u);
    expect_busy_threads_sampled_and_named(summary);
    EXPECT_EQ(release_collector(s.handle), "");
  }
}

// A target stopped (SIGSTOP, a debugger's break, a paused container) never
// answers: the save and the release each cost a deadline, keep what came,
// and leave a target that runs on once continued.
TEST_F(live_collector, a_frozen_target_costs_the_save_and_the_release_a_deadline_and_runs_on_unharmed) {
  live_target target;
  auto s = open(target);
  s.start_snapshot();
  target.work();
  std::this_thread::sleep_for(std::chrono::seconds(1));
  ASSERT_EQ(::kill(target.pid(), SIGSTOP), 0);
  auto started = clock_type::now();
  const auto index = s.save();
  EXPECT_LT(clock_type::now() - started, std::chrono::seconds(15));
  started = clock_type::now();
  EXPECT_EQ(release(s).first, "");
  EXPECT_LT(clock_type::now() - started, std::chrono::seconds(15));
  ASSERT_FALSE(index.empty());
  const auto summary = tw::tools::inspect_snapshot(index.string());
  EXPECT_EQ(summary.exceptions.at("System.InvalidOperationException"), 5u);
  ASSERT_EQ(::kill(target.pid(), SIGCONT), 0);
  target.work();
  EXPECT_EQ(target.exit(), 0);
}

// A full disk costs the snapshot that met it, told to the host as an alert,
// and nothing else: no file stays, the target runs on, and the next snapshot
// goes where there is room.
TEST_F(live_collector, a_full_disk_fails_one_snapshot_with_an_alert_and_the_next_goes_elsewhere) {
  small_filesystem small(dir_ / "small", 3072);
  if (!small.mounted()) GTEST_SKIP() << "mounting a tmpfs needs root";
  live_target target;
  auto s = open(target, small.path().string());
  s.start_snapshot();
  target.work();
  s.host->send(host_bridge_command::measure_snapshot_stop_save);
  std::vector<frame> frames;
  do {
    frames.push_back(s.next());
  } while (frames.back().answer() != host_bridge_answer::measure_snapshot_stopped);
  EXPECT_FALSE(has_answer(frames, host_bridge_answer::snapshot_done));
  const auto alert = std::find_if(frames.begin(), frames.end(),
                                  [](const frame& f) { return f.answer() == host_bridge_answer::alert; });
  ASSERT_NE(alert, frames.end());
  auto c = alert->cursor();
  c.byte();
  c.read<std::uint32_t>();
  EXPECT_EQ(tw_prof::read_sized_string(c), "Cannot write the snapshot " + (small.path() / "snapshot1").string() +
                                               ": No space left on device");
  EXPECT_TRUE(small.empty());
  EXPECT_TRUE(target.alive());

  s.host->name_files_in(dir_);
  s.start_snapshot();
  target.work();
  const auto index = s.save();
  ASSERT_FALSE(index.empty());
  EXPECT_EQ(tw::tools::inspect_snapshot(index.string()).exceptions.at("System.InvalidOperationException"), 5u);
  EXPECT_EQ(release(s).first, "");
}

// Containers run programs under numeric user ids that have no passwd entry.
TEST_F(live_collector, a_target_whose_user_has_no_name_is_profiled_and_shown_by_its_id) {
  constexpr unsigned nameless = 54321;
  ASSERT_EQ(::getpwuid(nameless), nullptr);
  // The target's runtime must be able to make its socket where we look, at
  // a path short enough for a socket's name.
  const test_support::scratch_folder shared("u");
  fs::permissions(shared.path(), fs::perms::all | fs::perms::sticky_bit);
  const test_support::scoped_tmpdir pointed(shared.path());
  live_target target(nameless);
  auto s = open(target);
  s.start_snapshot();
  target.work();
  const auto index = s.save();
  ASSERT_FALSE(index.empty());
  const auto summary = tw::tools::inspect_snapshot(index.string());
  EXPECT_EQ(summary.user_name, std::to_string(nameless));
  EXPECT_EQ(summary.exceptions.at("System.InvalidOperationException"), 5u);
  EXPECT_EQ(release(s).first, "");
}

// Events of a fresh session to the target, counted for a second.
int events_of_a_fresh_session(pid_t pid) {
  using namespace tarnwell::collector;
  using namespace tarnwell::collector::event_pipe;
  session_configuration c;
  c.providers = {event_pipe_provider(u"Microsoft-DotNETCore-SampleProfiler", EventLevel::informational, 0)};
  event_pipe_session fresh(pid, c);
  fresh.start();
  std::atomic<int> events{0};
  auto on_event = [&events](const tarnwell::nettrace::event_trace_record&, bool) { ++events; };
  auto result =
      consume_live(&fresh, nullptr, std::make_shared<event_pipe_handlers<decltype(on_event)>>(on_event), false, nullptr);
  std::this_thread::sleep_for(std::chrono::seconds(1));
  fresh.stop_async();
  if (result.wait_for(std::chrono::seconds(30)) != std::future_status::ready) return -1;
  return events.load();
}

TEST_F(live_collector, a_host_that_vanishes_leaves_no_thread_and_no_wedged_runtime) {
  live_target target;
  const auto before = held_resources::now(dir_);
  auto s = open(target);
  s.start_snapshot();
  // A reset, not a close: nothing more is said.
  ::linger hard{1, 0};
  ::setsockopt(s.host->socket().native_handle(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  s.host->socket().close();
  const auto deadline = clock_type::now() + std::chrono::seconds(15);
  while (held_resources::now(dir_).threads > before.threads && clock_type::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(held_resources::now(dir_).threads, before.threads);
  EXPECT_TRUE(target.alive());
  EXPECT_GT(events_of_a_fresh_session(target.pid()), 100);
  EXPECT_EQ(release_collector(s.handle), "");
  s.host.reset();
  EXPECT_EQ(held_resources::now(dir_), before);
}

TEST_F(live_collector, release_ends_a_bridge_whose_host_never_answered_and_one_in_the_middle_of_a_save) {
  live_target target;
  const auto before = held_resources::now(dir_);
  {
    // The host listens but says nothing.
    host_peer silent(dir_);
    std::string error;
    void* handle = create_collector(silent.endpoint(), target.pid(), false, error);
    ASSERT_EQ(error, "");
    silent.accept();
    const auto start = clock_type::now();
    EXPECT_EQ(release_collector(handle), "");
    EXPECT_LT(clock_type::now() - start, std::chrono::seconds(10));
  }
  {
    // Nobody listens at all.
    std::string error;
    void* handle = create_collector("127.0.0.1:1", target.pid(), false, error);
    ASSERT_EQ(error, "");
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const auto message = release_collector(handle);
    EXPECT_NE(message.find("refused"), std::string::npos) << message;
  }
  {
    auto s = open(target);
    s.start_snapshot();
    target.work();
    s.host->send(host_bridge_command::measure_snapshot_stop_save);
    EXPECT_EQ(s.next().answer(), host_bridge_answer::operation_started);
    const auto [error, frames] = release(s);
    EXPECT_EQ(error, "");
    EXPECT_TRUE(has_answer(frames, host_bridge_answer::snapshot_done));
  }
  EXPECT_TRUE(target.alive());
  EXPECT_EQ(held_resources::now(dir_), before);
}

TEST_F(live_collector, two_collectors_on_two_processes_save_their_own_snapshots) {
  live_target one, two;
  fs::create_directories(dir_ / "a");
  fs::create_directories(dir_ / "b");
  auto a = open(one, (dir_ / "a").string());
  auto b = open(two, (dir_ / "b").string());
  a.start_snapshot();
  b.start_snapshot();
  std::thread work_one([&] { one.work(); });
  two.work();
  work_one.join();
  auto saved_b = std::async(std::launch::async, [&] { return b.save(); });
  const auto index_a = a.save();
  const auto index_b = saved_b.get();
  for (const auto& [index, target] : {std::pair{index_a, &one}, std::pair{index_b, &two}}) {
    ASSERT_FALSE(index.empty());
    const auto summary = tw::tools::inspect_snapshot(index.string());
    EXPECT_EQ(summary.pid, static_cast<std::uint32_t>(target->pid()));
    EXPECT_EQ(summary.exceptions.at("System.InvalidOperationException"), 5u);
    expect_busy_threads_sampled_and_named(summary);
  }
  EXPECT_EQ(release(a).first, "");
  EXPECT_EQ(release(b).first, "");
}

// The test variant: fixed session identifiers on the bridge and snapshots of
// a format of their own, of the same live target.
TEST_F(live_collector, the_test_variant_profiles_live_with_fixed_identifiers_and_its_own_format) {
  live_target target;
  auto s = open(target, {}, true);
  s.start_snapshot();
  target.work();
  s.host->send(host_bridge_command::measure_snapshot_stop_save);
  const auto started = s.next();
  ASSERT_EQ(started.answer(), host_bridge_answer::operation_started);
  tw_prof::bridge_params session_ids;
  session_ids.guid(tw_prof::bridge_constants::test_session_1()).put(std::uint32_t{0});
  session_ids.guid(tw_prof::bridge_constants::test_session_2());
  const auto& expected = session_ids.bytes();
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), started.params.begin() + 1));
  auto f = s.next();
  while (f.answer() == host_bridge_answer::operation_progress) f = s.next();
  EXPECT_EQ(s.next().answer(), host_bridge_answer::snapshot_done);
  EXPECT_EQ(s.next().answer(), host_bridge_answer::measure_snapshot_stopped);
  const tw::tools::snapshot_reader reader(s.host->paths().at(0));
  EXPECT_EQ(reader.format(), tw_prof::test_snapshot_format_id);
  EXPECT_EQ(tw::tools::inspect_snapshot(s.host->paths()[0].string()).exceptions.at("System.FormatException"), 3u);
  EXPECT_EQ(release(s).first, "");
}

}  // namespace
