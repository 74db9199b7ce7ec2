#pragma once

// The typed handlers of event_processor, instantiated per catalogue event;
// what each event does is its row of the timeline table.

#include "tw/log/log.h"
#include "collector/src/collector/streams/timeline_events.h"
#include "event_pipe_timeline_profiler/src/event_processors/loads.h"
#include "tw/error/exception_text.h"
#include "tw/error/file_write_error.h"
#include "tw/utility/utf.h"

namespace tw_prof::netcore {

template <class Provider, std::size_t N>
void event_processor::operator()(Provider, const dispatched_event<Provider, N>& e) {
  using inproc::role;
  constexpr inproc::timeline_event row = inproc::timeline_event_of<Provider>(dispatched_event<Provider, N>::key);
  if (!accepting_.load(std::memory_order_relaxed)) return;
  std::lock_guard lock(lock_);
  if (!collector_) return;
  if (capture_) {
    // Each sample takes its type in turn, kept or not.
    if constexpr (row.what == role::thread_sample) {
      given_type_.reset();
      if (capture_->sample_types && !capture_->sample_types->empty()) {
        given_type_ = capture_->sample_types->front();
        capture_->sample_types->pop_front();
      }
    }
    // Before the window: the runtime's description of itself alone; the
    // loads were replayed ahead of the stream, and anything else would
    // stretch the window back.
    if constexpr (row.what != role::runtime_information && row.what != role::process_info)
      if (e.header.timestamp < capture_->from) return;
  }
  try {
    if constexpr (inproc::timeline<Provider>::spans_session) {
      first_time_ = first_time_ ? std::min(*first_time_, e.header.timestamp) : e.header.timestamp;
      last_time_ = last_time_ ? std::max(*last_time_, e.header.timestamp) : e.header.timestamp;
      announce_thread(e.header.timestamp, e.header.thread_id);
    }
    TW_LOG(debug) << Provider::name << "::" << Provider::event_names[N] << ", time: " << e.header.timestamp;
    process(e);
  } catch (const tw::file_write_error&) {
    throw;  // the snapshot is lost, not one event: its save must fail
  } catch (...) {
    TW_LOG(error) << "Can't serialize event, provider: " << Provider::name << ", event: " << Provider::event_names[N]
                  << ", version: " << int(e.header.version) << ", error: " << tw::current_exception_to_string();
  }
}

template <class Provider, std::size_t N>
void event_processor::process(const dispatched_event<Provider, N>& e) {
  namespace cs = tarnwell::etw_collector::callstacks;
  using inproc::role;
  using format = typename dispatched_event<Provider, N>::format;
  constexpr inproc::timeline_event row = inproc::timeline_event_of<Provider>(dispatched_event<Provider, N>::key);
  constexpr bool with_stack = row.call_stack == inproc::stack::written;
  auto& c = *collector_;

  if constexpr (row.what == role::method_load) {
    method_loaded(method_of(e));
    if constexpr (with_stack) c.streams<Provider>().callstacks(e.header.timestamp, e.header.thread_id, e.stack);
  } else if constexpr (row.what == role::module_load) {
    c.metadata().module_loaded(module_of(e));
  } else if constexpr (row.what == role::runtime_information) {
    auto f = e.fields();
    runtime_version(f.template get<1>(),
                    {f.template get<2>(), f.template get<3>(), f.template get<4>(), f.template get<5>()});
  } else if constexpr (row.what == role::process_info) {
    auto f = e.fields();
    if constexpr (format::size == 3) {
      const auto os = f.template get<1>();
      const auto arch = f.template get<2>();
      process_info(f.template get<0>(), &os, &arch);
    } else {
      process_info(f.template get<0>(), nullptr, nullptr);
    }
  } else if constexpr (row.what == role::thread_sample) {
    const auto flag = static_cast<std::uint8_t>(e.fields().template get<0>());
    if (given_type_)
      c.sample(e.header.timestamp, e.header.thread_id, *given_type_ & 0x0F, static_cast<std::uint8_t>(*given_type_ >> 4),
               e.stack);
    else if (watcher_)
      live_sample(e.header.timestamp, e.header.thread_id, flag, e.stack);
    else
      c.flagged_sample(e.header.timestamp, e.header.thread_id, flag, e.stack);
  } else if constexpr (row.kind != 0) {
    auto& streams = c.streams<Provider>();
    const bool written = streams.events(e);
    // A crash's exception, when its throw reached the stream, is not told
    // twice by the program's crash report.
    if constexpr (std::is_same_v<Provider, tarnwell::collector::Microsoft_Windows_DotNETRuntime> &&
                  dispatched_event<Provider, N>::key == tarnwell::collector::event_key(80, 1))
      if (live_) last_exception_[e.header.thread_id] = e.fields().template get<0>().utf8();
    if constexpr (with_stack) {
      if (written) streams.callstacks(e.header.timestamp, e.header.thread_id, e.stack);
    } else if constexpr (row.call_stack == inproc::stack::when_recorded) {
      if (written && e.stack.count != 0) streams.callstacks(e.header.timestamp, e.header.thread_id, e.stack);
    }
  }
}

}  // namespace tw_prof::netcore
