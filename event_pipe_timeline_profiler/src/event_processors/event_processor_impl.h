#pragma once

// The typed handlers of event_processor, instantiated per catalogue event.

#include "api/log.h"
#include "tw/error/exception_text.h"
#include "tw/utility/utf.h"

namespace tw_prof::netcore {

template <class Provider, std::size_t N>
void event_processor::operator()(Provider, const dispatched_event<Provider, N>& e) {
  if (!accepting_.load(std::memory_order_relaxed)) return;
  std::lock_guard lock(lock_);
  if (!collector_) return;
  constexpr bool runtime_session =
      !std::is_same_v<Provider, Microsoft_Windows_DotNETRuntimeRundown> && !std::is_same_v<Provider, Microsoft_DotNETCore_EventPipe>;
  try {
    if constexpr (runtime_session) {
      first_time_ = first_time_ ? std::min(*first_time_, e.header.timestamp) : e.header.timestamp;
      last_time_ = last_time_ ? std::max(*last_time_, e.header.timestamp) : e.header.timestamp;
      announce_thread(e.header.timestamp, e.header.thread_id);
    }
    TW_LOG(debug) << Provider::name << "::" << Provider::event_names[N] << ", time: " << e.header.timestamp;
    process(e);
  } catch (...) {
    TW_LOG(error) << "Can't serialize event, provider: " << Provider::name << ", event: " << Provider::event_names[N]
                  << ", version: " << int(e.header.version) << ", error: " << tw::current_exception_to_string();
  }
}

template <class Provider, std::size_t N>
void event_processor::process(const dispatched_event<Provider, N>& e) {
  namespace cs = tarnwell::etw_collector::callstacks;
  using format = typename dispatched_event<Provider, N>::format;
  constexpr std::uint32_t key = dispatched_event<Provider, N>::key;
  auto& c = *collector_;

  constexpr bool method_load =
      (std::is_same_v<Provider, Microsoft_Windows_DotNETRuntime> && (key >> 16) == 143) ||
      (std::is_same_v<Provider, Microsoft_Windows_DotNETRuntimeRundown> && (key >> 16) == 144);
  constexpr bool module_load =
      (std::is_same_v<Provider, Microsoft_Windows_DotNETRuntime> && (key >> 16) == 152) ||
      (std::is_same_v<Provider, Microsoft_Windows_DotNETRuntimeRundown> && (key >> 16) == 154);

  if constexpr (method_load) {
    auto f = e.fields();
    cs::managed_method m;
    m.method_id = f.template get<0>();
    m.module_id = f.template get<1>();
    m.start = f.template get<2>();
    m.size = f.template get<3>();
    m.token = f.template get<4>();
    m.flags = f.template get<5>();
    m.method_namespace = f.template get<6>().u16();
    m.name = f.template get<7>().u16();
    m.signature = f.template get<8>().u16();
    c.metadata().function_loaded(m);
    if constexpr (std::is_same_v<Provider, Microsoft_Windows_DotNETRuntime>)
      c.streams<Provider>().callstacks(e.header.timestamp, e.header.thread_id, e.stack);
  } else if constexpr (module_load) {
    auto f = e.fields();
    cs::managed_module m;
    m.module_id = f.template get<0>();
    m.assembly_id = f.template get<1>();
    m.flags = f.template get<2>();
    m.path = f.template get<4>().u16();
    m.native_path = f.template get<5>().u16();
    m.load_time = e.header.timestamp;
    c.metadata().module_loaded(m);
  } else if constexpr (std::is_same_v<Provider, Microsoft_Windows_DotNETRuntimeRundown>) {
    if constexpr (key == event_key(187, 0)) {
      auto f = e.fields();
      runtime_version(f.template get<1>(), {f.template get<2>(), f.template get<3>(), f.template get<4>(),
                                            f.template get<5>()});
    }
  } else if constexpr (std::is_same_v<Provider, Microsoft_DotNETCore_EventPipe>) {
    auto f = e.fields();
    if constexpr (format::size == 3) {
      const auto os = f.template get<1>();
      const auto arch = f.template get<2>();
      process_info(f.template get<0>(), &os, &arch);
    } else {
      process_info(f.template get<0>(), nullptr, nullptr);
    }
  } else if constexpr (std::is_same_v<Provider, Microsoft_DotNETCore_SampleProfiler>) {
    c.samples().sample(e.header.timestamp, e.header.thread_id, static_cast<std::uint8_t>(e.fields().template get<0>()));
    c.sample_stacks()(e.header.timestamp, e.header.thread_id, e.stack);
  } else {
    auto& streams = c.streams<Provider>();
    const bool written = streams.events(e);
    if constexpr (std::is_same_v<Provider, Microsoft_Windows_DotNETRuntime>) {
      if (written && carries_stack(key)) streams.callstacks(e.header.timestamp, e.header.thread_id, e.stack);
    }
  }
}

}  // namespace tw_prof::netcore
