// The measure API end to end: a bridge whose profiler runs in this process,
// a host peer that hands snapshot control to the application, and the
// module of measure calls built by the tests, called from application
// threads; then the registration's own failures.

#include "tests/support/scratch_folder.h"
#include "bridge/core_api.h"
#include "tests/support/host_peer.h"
#include "tests/bridge/still_profiler.h"
#include "tw/error/hresult.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <algorithm>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

namespace {

namespace fs = std::filesystem;
using namespace tw_prof;
using namespace test_support;

const fs::path module_path = fs::path(TW_CORE_API_DIR) / tag_Measure::module_name;

// The module's test entry points, found in the loaded module; none when
// nobody loaded it (this handle must not keep it loaded either).
struct module_calls {
  void* handle = ::dlopen(module_path.c_str(), RTLD_NOW | RTLD_NOLOAD);
  template <class F>
  F* get(const char* name) const {
    return handle ? reinterpret_cast<F*>(::dlsym(handle, name)) : nullptr;
  }
  std::int32_t (*check_active)(std::uint32_t*) = get<std::int32_t(std::uint32_t*)>("CoreApiTest_CheckActive");
  std::int32_t (*start_collecting)(const char16_t*) = get<std::int32_t(const char16_t*)>("CoreApiTest_StartCollecting");
  std::int32_t (*stop_collecting)() = get<std::int32_t()>("CoreApiTest_StopCollecting");
  std::int32_t (*save)(const char16_t*) = get<std::int32_t(const char16_t*)>("CoreApiTest_Save");
  std::int32_t (*drop)() = get<std::int32_t()>("CoreApiTest_Drop");
  std::int32_t (*detach)() = get<std::int32_t()>("CoreApiTest_Detach");
  unsigned (*registered_id)() = get<unsigned()>("CoreApiTest_RegisteredId");
  void (*refuse_next_register)(std::int32_t) = get<void(std::int32_t)>("CoreApiTest_RefuseNextRegister");
  void (*refuse_next_unregister)(std::int32_t) = get<void(std::int32_t)>("CoreApiTest_RefuseNextUnregister");

  module_calls() = default;
  module_calls(const module_calls&) = delete;
  module_calls& operator=(const module_calls&) = delete;
  ~module_calls() {
    if (handle) ::dlclose(handle);
  }
};

// The profiler's side of what the measure calls did.
struct profiler_log {
  std::mutex mutex;
  std::vector<std::string> events;
  void add(std::string e) {
    std::lock_guard lock(mutex);
    events.push_back(std::move(e));
  }
  std::vector<std::string> take() {
    std::lock_guard lock(mutex);
    return std::exchange(events, {});
  }
};

class recording_profiler final : public prof_api_base {
 public:
  explicit recording_profiler(profiler_log& log) : log_(log) {}
  void start_collecting() override { log_.add("start_collecting"); }
  void stop_collecting() override { log_.add("stop_collecting"); }
  void start_group(const char* name) override { log_.add(std::string("group ") + name); }
  void end_group() override { log_.add("end_group"); }
  std::unique_ptr<snapshot> start_snapshot(std::unique_ptr<file_factory> f, const environment& env) override {
    log_.add("snapshot");
    return inner_.start_snapshot(std::move(f), env);
  }
  void destroy() override { inner_.destroy(); }
  bool is_active() const override { return inner_.is_active(); }
  tarnwell::collector::event_pipe::consumer_status stream_status() const override { return {}; }

 private:
  profiler_log& log_;
  still_profiler inner_;
};

// A protocol object for a profiler inside this process.
class in_process_proto final : public netcore_test_profiler_bridge_proto {
 public:
  explicit in_process_proto(profiler_log& log)
      : netcore_test_profiler_bridge_proto(static_cast<std::uint32_t>(::getpid())), log_(log) {}
  bool is_outprocess() const override { return false; }
  std::shared_ptr<prof_api_base> create_prof(const timeline_info&, bool, const init_data&,
                                             std::unique_ptr<bridge_notifier>) override {
    return std::make_shared<recording_profiler>(log_);
  }

 private:
  profiler_log& log_;
};

std::size_t count(const std::vector<frame>& frames, host_bridge_answer a) {
  return static_cast<std::size_t>(
      std::count_if(frames.begin(), frames.end(), [&](const frame& f) { return f.answer() == a; }));
}

// A controller for registrations that are never called.
class idle_controller final : public profiler_bridge_controller {
 public:
  void destroy(bool) override {}
  std::future<void> extract_done_future() override { return {}; }
  std::string get_endpoint() const override { return {}; }
  void start_collecting() override {}
  void stop_collecting() override {}
  void start_snapshot() override {}
  void save_snapshot() override {}
  void reset_snapshot() override {}
  void start_group(const char*) override {}
  void end_group() override {}
};

class measure_api : public testing::Test {
 protected:
  const test_support::scratch_folder scratch_{"measure"};
  const fs::path& dir_ = scratch_.path();
};

TEST_F(measure_api, calls_from_application_threads_drive_the_snapshots_and_errors_come_back_as_hresults) {
  host_peer host(dir_);
  profiler_log log;
  std::unique_ptr<profiler_bridge_controller> bridge;
  std::thread connect([&] {
    bridge = create_profiler_bridge_controller(std::make_unique<in_process_proto>(log), host.endpoint());
  });
  host.accept();
  host.handshake(1, false);  // the application controls the snapshots
  host.send(host_bridge_command::go);
  EXPECT_EQ(host.next().answer(), host_bridge_answer::measure_unsupported);
  connect.join();
  ASSERT_TRUE(bridge);

  module_calls m;
  ASSERT_NE(m.handle, nullptr) << "the bridge did not load the module";
  EXPECT_EQ(m.registered_id(), measure_api_id);

  std::vector<frame> frames;
  std::thread serve([&] { frames = host.drain(); });
  auto on_app_thread = [](auto call) { return std::async(std::launch::async, call).get(); };

  std::uint32_t features = 0;
  EXPECT_EQ(on_app_thread([&] { return m.check_active(&features); }), 0);
  EXPECT_EQ(features, 1u);
  // The same group twice: one snapshot, one group; another group ends it.
  EXPECT_EQ(on_app_thread([&] { return m.start_collecting(u"warm-up"); }), 0);
  EXPECT_EQ(on_app_thread([&] { return m.start_collecting(u"warm-up"); }), 0);
  EXPECT_EQ(on_app_thread([&] { return m.start_collecting(u"steady"); }), 0);
  EXPECT_EQ(on_app_thread([&] { return m.save(u"first"); }), 0);
  EXPECT_EQ(log.take(), (std::vector<std::string>{"snapshot", "group warm-up", "start_collecting",
                                                  "start_collecting", "end_group", "group steady", "end_group"}));
  // A save with nothing started starts a snapshot and saves it at once.
  EXPECT_EQ(on_app_thread([&] { return m.save(nullptr); }), 0);
  EXPECT_EQ(log.take(), (std::vector<std::string>{"snapshot"}));
  // A drop with nothing started does nothing; a stop starts a snapshot.
  EXPECT_EQ(on_app_thread([&] { return m.drop(); }), 0);
  EXPECT_EQ(on_app_thread([&] { return m.stop_collecting(); }), 0);
  EXPECT_EQ(on_app_thread([&] { return m.drop(); }), 0);
  EXPECT_EQ(log.take(), (std::vector<std::string>{"snapshot", "stop_collecting"}));
  EXPECT_EQ(on_app_thread([&] { return m.detach(); }), static_cast<std::int32_t>(tw::e_notimpl));

  // Several application threads at once: each call waits its turn.
  std::vector<std::future<std::int32_t>> saves;
  for (int t = 0; t < 4; ++t)
    saves.push_back(std::async(std::launch::async, [&] {
      std::int32_t worst = 0;
      for (int i = 0; i < 5; ++i) worst = std::min(worst, m.save(u"burst"));
      return worst;
    }));
  for (auto& s : saves) EXPECT_EQ(s.get(), 0);
  EXPECT_EQ(log.take().size(), 20u);

  // A bridge error ("Snapshot already exists": a snapshot was started
  // behind the interface's back) comes back as an HRESULT.
  EXPECT_EQ(on_app_thread([&] { return m.start_collecting(u""); }), 0);
  EXPECT_EQ(on_app_thread([&] { return m.save(u"again"); }), 0);
  bridge->start_snapshot();
  EXPECT_EQ(on_app_thread([&] { return m.start_collecting(u"late"); }), static_cast<std::int32_t>(tw::e_fail));

  bridge->destroy(false);
  bridge.reset();
  serve.join();
  EXPECT_EQ(count(frames, host_bridge_answer::snapshot_done), 1u + 1u + 20u + 1u);
  // Unregistered with the bridge's end: the module calls nobody now.
  EXPECT_EQ(m.registered_id(), 0u);
  EXPECT_NE(m.save(u"after"), 0);
}

// The HRESULT a refused call threw, with its text; 0 when none was thrown.
std::pair<std::uint32_t, std::string> refusal(const std::function<void()>& call) {
  try {
    call();
  } catch (const std::system_error& e) {
    EXPECT_EQ(&e.code().category(), &tw::hresult_category());
    return {static_cast<std::uint32_t>(e.code().value()), e.what()};
  }
  return {0, ""};
}

TEST_F(measure_api, registration_failures_are_reported_and_leave_no_registration_behind) {
  using testing::HasSubstr;
  idle_controller controller;
  core_api api(controller);
  const auto here = fs::path(TW_CORE_API_DIR);
  const auto init = [&](const fs::path& dir) { return api_v1_proxy<tag_Measure>::init(dir, measure_api_id, &api); };

  EXPECT_THAT([&] { init(dir_); }, testing::ThrowsMessage<std::exception>(testing::AllOf(
                                       testing::StartsWith("Dynamic module error: "), HasSubstr(tag_Measure::module_name))));
  EXPECT_THAT([&] { init(here / "core_api_without_unregister"); },
              testing::ThrowsMessage<std::exception>(HasSubstr("V1_MeasureApi_Unregister")));
  {
    auto first = init(here);
    EXPECT_THAT([&] { init(here); }, testing::ThrowsMessage<std::exception>(testing::StrEq("Can't register API twice")));
    module_calls m;
    ASSERT_NE(m.handle, nullptr);
    EXPECT_EQ(m.registered_id(), measure_api_id);
    m.refuse_next_unregister(static_cast<std::int32_t>(tw::e_accessdenied));
    const auto [unregistered, unregister_text] = refusal([&] { first->unregister(); });
    EXPECT_EQ(unregistered, tw::e_accessdenied);
    EXPECT_THAT(unregister_text, HasSubstr("Failed to unregister profiler API"));
    m.refuse_next_register(static_cast<std::int32_t>(tw::e_outofmemory));
    const auto [registered, register_text] = refusal([&] { init(here); });
    EXPECT_EQ(registered, tw::e_outofmemory);
    EXPECT_THAT(register_text, HasSubstr("Failed to register profiler API"));
  }
  // Each failure let go of the module and of the registration.
  EXPECT_EQ(::dlopen(module_path.c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr);
  auto again = init(here);
  EXPECT_EQ(module_calls().registered_id(), measure_api_id);
}

}  // namespace
