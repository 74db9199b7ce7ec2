#pragma once

// The measure API: when the host hands snapshot control to the profiled
// application and the profiler runs inside it, the application's measure
// calls reach the bridge through an interface registered with a separate
// module ("libTarnwell.Profiler.CoreApi.so", beside this library). Every
// call answers with an HRESULT; no exception reaches the module.

#include "bridge/profiler_bridge.h"

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>

namespace tw_prof {

struct measure_features {
  std::uint32_t active = 0;
};

// The interface the module calls, laid out as the module sees it: a table
// of six functions, each taking the object first. No virtual destructor,
// which would add slots of its own: the module never deletes it.
class api_v1_measure_iface {
 public:
  virtual std::int32_t api_v1_check_active(measure_features* features) = 0;
  virtual std::int32_t api_v1_start_collecting(const char16_t* group_name) = 0;
  virtual std::int32_t api_v1_stop_collecting() = 0;
  virtual std::int32_t api_v1_save(const char16_t* name) = 0;
  virtual std::int32_t api_v1_drop() = 0;
  virtual std::int32_t api_v1_detach(void* semaphore) = 0;

 protected:
  ~api_v1_measure_iface() = default;
};

// Measure calls as bridge operations. Calls from several application
// threads are taken one at a time.
class core_api final : public api_v1_measure_iface {
 public:
  explicit core_api(profiler_bridge_controller& controller) : controller_(controller) {}
  virtual ~core_api() = default;

  std::int32_t api_v1_check_active(measure_features* features) override;
  std::int32_t api_v1_start_collecting(const char16_t* group_name) override;
  std::int32_t api_v1_stop_collecting() override;
  std::int32_t api_v1_save(const char16_t* name) override;
  std::int32_t api_v1_drop() override;
  std::int32_t api_v1_detach(void* semaphore) override;

 private:
  void start_if_needed();

  profiler_bridge_controller& controller_;
  std::string group_;  // empty: none
  bool started_ = false;
  std::mutex mutex_;
};

struct tag_Measure {
  using iface = api_v1_measure_iface;
  static constexpr const char* module_name = "libTarnwell.Profiler.CoreApi.so";
  static constexpr const char* register_name = "V1_MeasureApi_Register";
  static constexpr const char* unregister_name = "V1_MeasureApi_Unregister";
};

inline constexpr unsigned measure_api_id = 0x40000;

// One registration with the module; unregisters when it goes.
template <class Tag>
class api_v1_proxy {
 public:
  // Throws "Can't register API twice" while another registration lives,
  // "Dynamic module error: ..." when the module or one of its functions
  // cannot be found, and an HRESULT system error "Failed to register
  // profiler API" when the module refuses.
  static std::unique_ptr<api_v1_proxy> init(const std::filesystem::path& directory, unsigned id,
                                            typename Tag::iface* iface);
  ~api_v1_proxy();
  api_v1_proxy(const api_v1_proxy&) = delete;
  api_v1_proxy& operator=(const api_v1_proxy&) = delete;

  // Unregisters now; an HRESULT system error "Failed to unregister profiler
  // API" when the module refuses. Later calls do nothing.
  void unregister();

 private:
  using unregister_fn = int (*)(unsigned);
  api_v1_proxy(void* module, unregister_fn unregister, unsigned id)
      : module_(module), unregister_(unregister), id_(id) {}

  static std::atomic<bool> registered_;
  void* module_;
  unregister_fn unregister_;
  unsigned id_;
  bool done_ = false;
};

class core_api_subscription {
 public:
  virtual ~core_api_subscription() = default;
  virtual void destroy() = 0;
};

class core_api_subscription_impl final : public core_api_subscription {
 public:
  core_api_subscription_impl(std::unique_ptr<core_api> api, std::unique_ptr<api_v1_proxy<tag_Measure>> proxy)
      : api_(std::move(api)), proxy_(std::move(proxy)) {}
  ~core_api_subscription_impl() override;
  void destroy() override;

 private:
  std::unique_ptr<core_api> api_;
  std::unique_ptr<api_v1_proxy<tag_Measure>> proxy_;
};

// Registers a measure interface for `controller` with the module found in
// `directory`, or beside this library when it is empty.
std::unique_ptr<core_api_subscription> subscribe_core_api(profiler_bridge_controller& controller,
                                                          const std::filesystem::path& directory = {});

}  // namespace tw_prof
