#include "tarnwell/diagnostics_ipc/ipc_message.h"
#include "tests/event_pipe_api/nettrace/stream_writer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/local/connect_pair.hpp>

#include <iostream>
#include <sstream>
#include <thread>

using ::testing::ThrowsMessage;
using ::testing::HasSubstr;
using ::testing::StrEq;

namespace {

using namespace tarnwell::diagnostics_ipc;
using tarnwell::collector::EventLevel;
using tarnwell::collector::event_pipe_provider;
using bytes = std::vector<std::uint8_t>;

bytes of(const ipc_message& m) { return bytes(m.data(), m.data() + m.size()); }

struct le : test_support::bytes {
  le& header(std::uint16_t size, std::uint8_t set, std::uint8_t id) {
    ascii(std::string("DOTNET_IPC_V1", 14)).put(size).put(set).put(id).put(std::uint16_t{0});
    return *this;
  }
  le& string(const std::u16string& s) {
    put(static_cast<std::uint32_t>(s.size() + 1)).utf16z(s);
    return *this;
  }
};

class exchange : public testing::Test {
 protected:
  void SetUp() override { boost::asio::local::connect_pair(ours, peer); }
  boost::asio::io_context io;
  ipc_socket ours{io}, peer{io};
};

// An answer with a payload, as the runtime would send it.
ipc_message answer_with(const bytes& payload) {
  const auto header = make_header(0, status_ok, static_cast<std::uint16_t>(20 + payload.size()));
  return ipc_message(header, payload.data(), payload.size());
}

TEST(ipc_answers, payloads_that_end_early_or_lie_about_lengths_are_refused) {
  struct row {
    const char* name;
    bytes payload;
    const char* message;
  };
  auto process_info_with = [](std::uint32_t count, std::size_t units) {
    le b;
    b.put<std::uint64_t>(7);
    for (int i = 0; i < 16; ++i) b.put<std::uint8_t>(0);
    b.put(count);
    for (std::size_t i = 0; i < units; ++i) b.put<std::uint16_t>(u'a');
    return b.data;
  };
  auto cut = [](bytes b, std::size_t size) {
    b.resize(size);
    return b;
  };
  const std::vector<row> rows = {
      {"no payload", {}, "8 bytes needed at offset 0 but only 0 left"},
      {"cookie cut short", le{}.put<std::uint64_t>(7).put<std::uint32_t>(0).data, "16 bytes needed at offset 8"},
      {"no string count", cut(process_info_with(0, 0), 24), "4 bytes needed at offset 24"},
      {"count of 0", process_info_with(0, 4), "a string's count of 0"},
      {"count past the end", process_info_with(6, 4), "a string of 6 units runs past the 8 bytes left"},
      {"count at the 32-bit limit", process_info_with(0xFFFFFFFF, 1), "a string of 4294967295 units"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    EXPECT_THAT([&] { read_process_info(answer_with(r.payload)); }, ThrowsMessage<tw::truncated_data>(HasSubstr(r.message)));
  }
  // A count that includes the NUL exactly reads the text and no further.
  EXPECT_EQ(read_process_info(answer_with(process_info_with(3, 3))).command_line, "aa");
  EXPECT_EQ(read_session_id(answer_with(le{}.put<std::uint64_t>(0x1122334455667788).data)), 0x1122334455667788u);
  EXPECT_EQ(read_error_code(answer_with(le{}.put<std::uint32_t>(0x80131384).data)), 0x80131384u);
  EXPECT_THROW(read_error_code(answer_with(le{}.put<std::uint16_t>(1).data)), tw::truncated_data);
}

TEST(ipc_answers, process_info_2_reads_the_version_and_takes_missing_strings_as_empty) {
  le b;
  b.put<std::uint64_t>(42);
  for (int i = 0; i < 16; ++i) b.put<std::uint8_t>(0);
  b.string(u"dotnet app.dll").string(u"Linux").string(u"x64").put<std::uint32_t>(0);
  b.string(u"10.0.12+abc");
  const auto info = read_process_info_2(answer_with(b.data));
  EXPECT_EQ(info.process_id, 42u);
  EXPECT_EQ(info.command_line, "dotnet app.dll");
  EXPECT_EQ(info.architecture, "x64");
  EXPECT_EQ(info.entrypoint_assembly, "");
  EXPECT_EQ(info.runtime_version, "10.0.12+abc");
  // An answer that stops early is refused, never read past.
  auto cut = b.data;
  cut.resize(cut.size() - 3);
  EXPECT_THROW(read_process_info_2(answer_with(cut)), tw::truncated_data);
}

TEST_F(exchange, damaged_answers_are_refused) {
  struct row {
    const char* name;
    bytes answer;
    bool close_early;
    const char* message;
  };
  const std::vector<row> rows = {
      {"size below 20", le{}.header(19, 0, 0).data, false, "header.size >= sizeof(ipc_header)"},
      {"larger than the exchange buffer", le{}.header(20 + 29, 0, 0).data, false, "does not fit the 28-byte"},
      {"peer closes mid-answer", le{}.header(28, 0, 0).put<std::uint32_t>(1).data, true, "End of file"},
      // A stopped process reads nothing and answers nothing.
      {"silent runtime", {}, false, "did not answer StopTracing within 200 ms"},
      {"silent after half a header", le{}.put<std::uint32_t>(0x4E544F44).data, false, "did not answer StopTracing"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    boost::asio::io_context io2;
    ipc_socket a(io2), b(io2);
    boost::asio::local::connect_pair(a, b);
    std::thread runtime([&] {
      std::array<std::uint8_t, 28> request;
      boost::asio::read(b, boost::asio::buffer(request));
      boost::asio::write(b, boost::asio::buffer(r.answer));
      if (r.close_early) b.close();
    });
    const auto stop = ipc_message::stop_tracing(42);
    EXPECT_EQ(of(stop), (le{}.header(28, 2, 1).put<std::uint64_t>(42).data));
    EXPECT_THAT([&] { send_message_and_receive_response<28>(a, stop, answer_deadline{std::chrono::milliseconds(200)}, "StopTracing"); },
                ThrowsMessage<std::exception>(HasSubstr(r.message)));
    runtime.join();
  }
}

TEST_F(exchange, a_request_larger_than_the_buffer_is_refused_before_writing) {
  session_configuration c{256, 1, false, {event_pipe_provider(u"Provider", EventLevel::verbose, 0)}};
  const ipc_message big(make_header(command_set::event_pipe, event_pipe_command::collect_tracing_2), c);
  EXPECT_THAT([&] { send_message_and_receive_response<28>(ours, big, answer_deadline{std::chrono::seconds(10)}, "CollectTracing"); },
              ThrowsMessage<std::runtime_error>(
                  StrEq("Buffer too small: message size is " + std::to_string(big.size()) + ", but buffer size is only 28")));
  EXPECT_EQ(peer.available(), 0u);
}

// A peer gone, a second call or a socket never opened: shutdown never throws.
TEST_F(exchange, shutdown_never_throws) {
  EXPECT_NO_THROW(shutdown(ours));
  peer.close();
  EXPECT_NO_THROW(shutdown(ours));
  ipc_socket never_opened(io);
  EXPECT_NO_THROW(shutdown(never_opened));
}

}  // namespace
