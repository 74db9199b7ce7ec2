#include "tarnwell/diagnostics_ipc/ipc_message.h"

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/local/connect_pair.hpp>

#include <thread>

namespace {

using namespace tarnwell::diagnostics_ipc;
using tarnwell::collector::EventLevel;
using tarnwell::collector::event_pipe_provider;
using bytes = std::vector<std::uint8_t>;

bytes of(const ipc_message& m) { return bytes(m.data(), m.data() + m.size()); }

struct le {
  bytes b;
  le& raw(const void* p, std::size_t n) {
    const auto* c = static_cast<const std::uint8_t*>(p);
    b.insert(b.end(), c, c + n);
    return *this;
  }
  template <class T>
  le& put(T v) {
    return raw(&v, sizeof v);
  }
  le& header(std::uint16_t size, std::uint8_t set, std::uint8_t id) {
    raw("DOTNET_IPC_V1", 14);
    return put(size).put(set).put(id).put(std::uint16_t{0});
  }
  le& string(const std::u16string& s) {
    put(static_cast<std::uint32_t>(s.size() + 1));
    raw(s.data(), s.size() * 2);
    return put(std::uint16_t{0});
  }
};

TEST(ipc_message, header_layout) {
  const ipc_message m(make_header(0x04, 0x01));
  EXPECT_EQ(of(m), (le{}.header(20, 0x04, 0x01).b));
  EXPECT_EQ(std::string(DotnetIpcMagic_V1), "DOTNET_IPC_V1");
}

TEST(ipc_message, collect_tracing_without_providers_is_33_bytes) {
  session_configuration c{256, 1, false, {}};
  const ipc_message m(make_header(0x02, 0x03), c);
  EXPECT_EQ(m.size(), 33u);
  EXPECT_EQ(m.header().size, 33u);
  EXPECT_EQ(of(m), (le{}.header(33, 2, 3).put<std::uint32_t>(256).put<std::uint32_t>(1).put<std::uint8_t>(0).put<std::uint32_t>(0).b));
}

TEST(ipc_message, collect_tracing_with_providers) {
  session_configuration c{512, 1, true,
                          {event_pipe_provider(u"Microsoft-Windows-DotNETRuntime", EventLevel::verbose, 0x4001c0f9),
                           event_pipe_provider(u"P", EventLevel::informational, -1, {{u"k", u"v"}})}};
  const ipc_message m(make_header(0x02, 0x03), c);
  le expected;
  const std::uint16_t size = 20 + 13 + (20 + 32 * 2 + 2) + (20 + 2 * 2 + 4 * 2);
  expected.header(size, 2, 3).put<std::uint32_t>(512).put<std::uint32_t>(1).put<std::uint8_t>(1).put<std::uint32_t>(2);
  expected.put<std::uint64_t>(0x4001c0f9).put<std::uint32_t>(5).string(u"Microsoft-Windows-DotNETRuntime").string(u"");
  expected.put<std::uint64_t>(~0ull).put<std::uint32_t>(4).string(u"P").string(u"k=v");
  EXPECT_EQ(of(m), expected.b);
}

class exchange : public testing::Test {
 protected:
  void SetUp() override { boost::asio::local::connect_pair(ours, peer); }
  boost::asio::io_context io;
  ipc_socket ours{io}, peer{io};
};

TEST_F(exchange, a_header_only_answer_needs_no_second_read) {
  std::thread runtime([&] {
    std::array<std::uint8_t, 20> request;
    boost::asio::read(peer, boost::asio::buffer(request));
    const auto answer = le{}.header(20, 0xFF, 0x00).b;
    boost::asio::write(peer, boost::asio::buffer(answer));
  });
  const auto response = send_message_and_receive_response<20>(ours, ipc_message(make_header(0x04, 0x01)));
  runtime.join();
  EXPECT_EQ(response.size(), 20u);
  EXPECT_EQ(response.status(), status_ok);
}

TEST_F(exchange, process_info_answers_are_read_field_by_field) {
  std::thread runtime([&] {
    std::array<std::uint8_t, 20> request;
    boost::asio::read(peer, boost::asio::buffer(request));
    le body;
    body.put<std::uint64_t>(4711);
    for (int i = 0; i < 16; ++i) body.put<std::uint8_t>(0xCC);
    body.string(u"dotnet app.dll --flag").string(u"Linux").string(u"x64");
    auto answer = le{}.header(static_cast<std::uint16_t>(20 + body.b.size()), 0, 0).b;
    answer.insert(answer.end(), body.b.begin(), body.b.end());
    boost::asio::write(peer, boost::asio::buffer(answer));
  });
  const auto response = send_message_and_receive_response<10240>(ours, ipc_message(make_header(0x04, 0x00)));
  runtime.join();
  EXPECT_EQ(response.u64_at(20), 4711u);
  EXPECT_EQ(response.string_at(44), "dotnet app.dll --flag");
  EXPECT_THROW(response.u64_at(response.size() - 4), std::runtime_error);
}

TEST_F(exchange, damaged_answers_are_refused) {
  struct row {
    const char* name;
    bytes answer;
    bool close_early;
    const char* message;
  };
  const std::vector<row> rows = {
      {"size below 20", le{}.header(19, 0, 0).b, false, "header.size >= sizeof(ipc_header)"},
      {"larger than the exchange buffer", le{}.header(20 + 29, 0, 0).b, false, "does not fit the 28-byte"},
      {"peer closes mid-answer", le{}.header(28, 0, 0).put<std::uint32_t>(1).b, true, "End of file"},
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
    // A stop-tracing request: the header and the session id.
    const std::uint64_t session_id = 42;
    const ipc_message stop(make_header(2, 1, 28), reinterpret_cast<const std::uint8_t*>(&session_id), 8);
    try {
      send_message_and_receive_response<28>(a, stop);
      ADD_FAILURE() << "no error";
    } catch (const std::exception& e) {
      EXPECT_NE(std::string(e.what()).find(r.message), std::string::npos) << e.what();
    }
    runtime.join();
  }
}

TEST_F(exchange, a_request_larger_than_the_buffer_is_refused_before_writing) {
  session_configuration c{256, 1, false, {event_pipe_provider(u"Provider", EventLevel::verbose, 0)}};
  const ipc_message big(make_header(2, 3), c);
  try {
    send_message_and_receive_response<28>(ours, big);
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), "Buffer too small: message size is " + std::to_string(big.size()) +
                                         ", but buffer size is only 28");
  }
  EXPECT_EQ(peer.available(), 0u);
}

TEST_F(exchange, shutting_down_twice_or_a_closed_peer_never_throws) {
  peer.close();
  shutdown(ours);
  shutdown(ours);
  SUCCEED();
}

}  // namespace
