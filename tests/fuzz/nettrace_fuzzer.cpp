// libFuzzer target: any byte string through the stream parser and the typed
// dispatch, with every field of every dispatched event read. The run must end
// with a status or an exception, never a crash, a leak or an overrun.

#include "event_pipe_api/src/dispatch.h"
#include "event_pipe_api/src/nettrace/parse_stream.h"

#include <cstddef>
#include <cstdint>

namespace {

using namespace tarnwell;

struct read_everything {
  template <class Provider, class Event>
  void operator()(Provider, const Event& e) const {
    constexpr std::size_t n = Event::format::size;
    if constexpr (n > 0) {
      auto fields = e.fields();
      read<0, n>(fields);
    }
    for (std::size_t i = 0; i < e.stack.size(); ++i) sink += e.stack[i];
  }

  template <std::size_t I, std::size_t N, class Fields>
  static void read(Fields& fields) {
    if constexpr (I < N) {
      using value = decltype(fields.template get<I>());
      const value v = fields.template get<I>();
      if constexpr (std::is_same_v<value, tw::utf16_text>) sink += v.utf8().size();
      else if constexpr (std::is_same_v<value, tw::array_view>) sink += v.size() ? v[v.size() - 1] : 0;
      else if constexpr (std::is_arithmetic_v<value>) sink += static_cast<std::uint64_t>(v);
      read<I + 1, N>(fields);
    }
  }

  static inline std::uint64_t sink = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto dispatcher = collector::wrap_event_pipe_handler(collector::all_providers{}, read_everything{});
  auto on_event = [&](const nettrace::event_trace_record& r, bool sorted) {
    try {
      (*r.metadata)->get_payload_description();
    } catch (const std::exception&) {
    }
    dispatcher(r, sorted);
  };
  auto handlers = std::make_shared<collector::event_pipe::event_pipe_handlers<decltype(on_event)>>(on_event);
  std::atomic<bool> stop{false};
  nettrace::StreamParser<false> parser(handlers, [](unsigned long) { return 1; }, stop);
  // Allocating and poisoning 128 MiB per input would dominate the run.
  static std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[nettrace::read_buffer_size]);
  parser.lend_buffer(std::move(buffer));
  nettrace::memory_source source(data, size);
  try {
    parser.parse(source);
  } catch (const std::exception&) {
  }
  buffer = parser.take_buffer();
  return 0;
}
