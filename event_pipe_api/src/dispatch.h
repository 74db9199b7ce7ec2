#pragma once

// Routes each decoded event to a typed handler by provider name and event
// key: the decoder's records become the catalogue's dispatched events. A handler is called as handler(Provider{}, dispatched_event<Provider, N>)
// and must accept every (provider, event) of the lists it is wrapped with.

#include "tw/log/log.h"
#include "event_pipe_api/src/nettrace/event_trace_record.h"
#include "event_pipe_api/src/nettrace/metadata.h"
#include "event_pipe_api/src/providers/dispatched_event.h"
#include "event_pipe_api/src/providers/providers.h"
#include "tw/error/exception_text.h"
#include "tw/error/file_write_error.h"

#include <cstring>
#include <memory>
#include <set>
#include <string_view>
#include <utility>

namespace tarnwell::collector {

// Fallback for events of providers outside the list, when enabled.
struct no_unknown_handler {
  void operator()(const nettrace::event_trace_record&) const noexcept {}
};

template <class ProviderList, class Handler, bool with_unknown = false, class Unknown = no_unknown_handler>
class event_dispatcher;

template <class... P, class Handler, bool with_unknown, class Unknown>
class event_dispatcher<provider_list<P...>, Handler, with_unknown, Unknown> {
 public:
  explicit event_dispatcher(Handler handler, Unknown unknown = {})
      : handler_(std::move(handler)), unknown_(std::move(unknown)) {}

  void operator()(const nettrace::event_trace_record& record, bool /*is_sorted*/) {
    const auto* reader = record.metadata ? record.metadata->get() : nullptr;
    // Events of one metadata id come in runs; remember the last provider match.
    if (reader != last_reader_) {
      last_reader_ = reader;
      last_provider_ = reader ? match(reader->provider_name()) : -1;
    }
    if (last_provider_ < 0) {
      // Once per event type rather than per event: a recording full of an
      // application's own events would otherwise write a log line (and a
      // flush) for each of millions of events.
      if (reader != nullptr && warned_.insert(reader).second)
        TW_LOG(warning) << "Provider not found for \"" << reader->provider_name() << "\"";
      if constexpr (with_unknown) unknown_(record);
      return;
    }
    dispatch_to(record, std::index_sequence_for<P...>{});
  }

 private:
  static int match(std::string_view name) noexcept {
    int index = 0;
    int found = -1;
    ((found < 0 && P::name == name ? (found = index) : 0, ++index), ...);
    return found;
  }

  template <std::size_t... I>
  void dispatch_to(const nettrace::event_trace_record& record, std::index_sequence<I...>) {
    ((static_cast<int>(I) == last_provider_ ? (dispatch_provider<P>(record), 0) : 0), ...);
  }

  template <class Provider>
  void dispatch_provider(const nettrace::event_trace_record& record) {
    using events = typename Provider::events;
    const std::size_t n = events::index_of(record.header.key());
    if (n == events::size) return;  // known provider, event not in the catalogue
    call<Provider>(record, n, std::make_index_sequence<events::size>{});
  }

  template <class Provider, std::size_t... N>
  void call(const nettrace::event_trace_record& record, std::size_t n, std::index_sequence<N...>) {
    ((n == N ? (invoke<Provider, N>(record), 0) : 0), ...);
  }

  template <class Provider, std::size_t N>
  void invoke(const nettrace::event_trace_record& record) {
    dispatched_event<Provider, N> event{record.header, record.payload, record.stack, record.pointer_size,
                                        record.metadata};
    try {
      handler_(Provider{}, event);
    } catch (const tw::file_write_error&) {
      throw;  // the handler's output failed, not this event
    } catch (...) {
      TW_LOG(error) << tw::current_exception_to_string();
    }
  }

  Handler handler_;
  Unknown unknown_;
  const nettrace::event_pipe_metadata_reader* last_reader_ = nullptr;
  int last_provider_ = -1;
  std::set<const nettrace::event_pipe_metadata_reader*> warned_;
};

template <class ProviderList, class Handler>
auto wrap_event_pipe_handler(ProviderList, Handler handler) {
  return event_dispatcher<ProviderList, Handler>(std::move(handler));
}

template <class ProviderList, class Handler, class Unknown>
auto wrap_event_pipe_handler(ProviderList, Handler handler, Unknown unknown) {
  return event_dispatcher<ProviderList, Handler, true, Unknown>(std::move(handler), std::move(unknown));
}

}  // namespace tarnwell::collector
