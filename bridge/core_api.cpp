#include "bridge/core_api.h"

#include "tw/log/log.h"
#include "tw/error/exception_text.h"
#include "tw/error/hresult.h"
#include "tw/system/proc_utils.h"
#include "tw/utility/throw.h"
#include "tw/utility/utf.h"

#include <dlfcn.h>

namespace tw_prof {

namespace {

std::string utf8(const char16_t* text) { return text ? kv521::utf::utf16_to_utf8(text) : std::string(); }

// Runs `body`; an exception becomes the HRESULT the module gets.
template <class F>
std::int32_t guarded(F body) noexcept {
  try {
    body();
    return 0;
  } catch (...) {
    try {
      TW_LOG(error) << "Core API error: " << tw::current_exception_to_string();
    } catch (...) {
    }
    return static_cast<std::int32_t>(tw::current_exception_to_hresult());
  }
}

}  // namespace

void core_api::start_if_needed() {
  if (started_) return;
  controller_.start_snapshot();
  started_ = true;
}

std::int32_t core_api::api_v1_check_active(measure_features* features) {
  return guarded([&] {
    TW_LOG(info) << "Core API, check_active";
    if (features) features->active = 1;
  });
}

std::int32_t core_api::api_v1_start_collecting(const char16_t* group_name) {
  return guarded([&] {
    const auto name = utf8(group_name);
    TW_LOG(info) << "Core API, start_collecting: group name = " << name;
    std::lock_guard lock(mutex_);
    if (!started_) {
      controller_.start_snapshot();
      started_ = true;
    } else {
      controller_.start_collecting();
    }
    if (name == group_) return;
    if (!group_.empty()) {
      controller_.end_group();
      group_.clear();
    }
    if (!name.empty()) {
      controller_.start_group(name.c_str());
      group_ = name;
    }
  });
}

std::int32_t core_api::api_v1_stop_collecting() {
  return guarded([&] {
    TW_LOG(info) << "Core API, stop_collecting";
    std::lock_guard lock(mutex_);
    start_if_needed();
    controller_.stop_collecting();
  });
}

std::int32_t core_api::api_v1_save(const char16_t* name) {
  return guarded([&] {
    TW_LOG(info) << "Core API, save: name = " << utf8(name);
    std::lock_guard lock(mutex_);
    start_if_needed();
    if (!group_.empty()) {
      controller_.end_group();
      group_.clear();
    }
    // Whatever the save's outcome, the snapshot is over.
    started_ = false;
    controller_.save_snapshot();
  });
}

std::int32_t core_api::api_v1_drop() {
  return guarded([&] {
    TW_LOG(info) << "Core API, drop";
    std::lock_guard lock(mutex_);
    group_.clear();
    if (started_) {
      started_ = false;
      controller_.reset_snapshot();
    }
  });
}

std::int32_t core_api::api_v1_detach(void*) {
  TW_LOG(info) << "Core API, detach";
  return static_cast<std::int32_t>(tw::e_notimpl);
}

template <class Tag>
std::atomic<bool> api_v1_proxy<Tag>::registered_{false};

template <class Tag>
std::unique_ptr<api_v1_proxy<Tag>> api_v1_proxy<Tag>::init(const std::filesystem::path& directory, unsigned id,
                                                           typename Tag::iface* iface) {
  if (registered_.exchange(true)) TW_THROW(std::runtime_error("Can't register API twice"));
  void* module = nullptr;
  try {
    module = ::dlopen(Tag::module_name, RTLD_NOW | RTLD_NOLOAD);
    if (!module) {
      const auto path = directory / Tag::module_name;
      module = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    }
    if (!module) {
      const char* why = ::dlerror();
      TW_THROW(std::runtime_error(std::string("Dynamic module error: ") + (why ? why : Tag::module_name)));
    }
    auto symbol = [module](const char* name) {
      ::dlerror();
      void* found = ::dlsym(module, name);
      if (!found) {
        const char* why = ::dlerror();
        TW_THROW(std::runtime_error(std::string("Dynamic module error: no symbol ") + name + " in " +
                                    Tag::module_name + (why ? std::string(": ") + why : std::string())));
      }
      return found;
    };
    auto register_api = reinterpret_cast<int (*)(unsigned, typename Tag::iface*)>(symbol(Tag::register_name));
    auto unregister_api = reinterpret_cast<unregister_fn>(symbol(Tag::unregister_name));
    if (const int hr = register_api(id, iface); hr != 0)
      TW_THROW(std::system_error(tw::make_hresult_code(static_cast<std::uint32_t>(hr)),
                                 "Failed to register profiler API"));
    return std::unique_ptr<api_v1_proxy>(new api_v1_proxy(module, unregister_api, id));
  } catch (...) {
    if (module) ::dlclose(module);
    registered_.store(false);
    throw;
  }
}

template <class Tag>
void api_v1_proxy<Tag>::unregister() {
  if (done_) return;
  done_ = true;
  const int hr = unregister_(id_);
  ::dlclose(module_);
  registered_.store(false);
  if (hr != 0)
    TW_THROW(std::system_error(tw::make_hresult_code(static_cast<std::uint32_t>(hr)),
                               "Failed to unregister profiler API"));
}

template <class Tag>
api_v1_proxy<Tag>::~api_v1_proxy() {
  try {
    unregister();
  } catch (...) {
    TW_LOG(error) << tw::current_exception_to_string();
  }
}

template class api_v1_proxy<tag_Measure>;

core_api_subscription_impl::~core_api_subscription_impl() {
  try {
    destroy();
  } catch (...) {
    TW_LOG(error) << tw::current_exception_to_string();
  }
}

void core_api_subscription_impl::destroy() {
  // The module stops calling before the interface goes.
  if (proxy_) {
    auto proxy = std::move(proxy_);
    proxy->unregister();
  }
  api_.reset();
}

std::unique_ptr<core_api_subscription> subscribe_core_api(profiler_bridge_controller& controller,
                                                          const std::filesystem::path& directory) {
  auto api = std::make_unique<core_api>(controller);
  auto where = directory;
  if (where.empty())
    where = std::filesystem::path(tw::get_module_filename(reinterpret_cast<const void*>(&subscribe_core_api)))
                .parent_path();
  auto proxy = api_v1_proxy<tag_Measure>::init(where, measure_api_id, api.get());
  return std::make_unique<core_api_subscription_impl>(std::move(api), std::move(proxy));
}

}  // namespace tw_prof
