// The handshake against a host peer on loopback TCP that speaks the host's
// side: it checks the initialize frame byte for byte, then accepts or
// refuses.

#include "bridge/handshake.h"
#include "tests/bridge/fixed_target.h"
#include "tests/support/host_peer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <thread>

namespace {

namespace fs = std::filesystem;
using namespace tw_prof;
using namespace test_support;
using boost::asio::ip::tcp;

// The initialize frame the fixed target must produce, built from the
// protocol's description; the two snapshot identifiers are random and are
// taken from the frame itself.
bytes expected_initialize(const bytes& got) {
  // got is the whole frame; its parameters are short enough for a one-byte counter.
  bridge_params p;
  p.guid(bridge_constants::host_bridge_version()).put(std::int32_t{4711}).guid(bridge_constants::profiler_kind());
  bytes b = p.bytes();
  b.insert(b.end(), got.begin() + 2 + b.size(), got.begin() + 2 + b.size() + 32);  // identifiers 4 and 3
  bridge_params rest;
  rest.sized_string("").sized_string("/usr/bin/dotnet").sized_string("dotnet app.dll").sized_string("/srv");
  rest.put(std::uint8_t{2}).put(std::uint16_t{10}).put(std::uint16_t{0}).put(std::uint16_t{1}).put(std::uint16_t{2});
  rest.put(std::uint16_t{9}).sized_string("me").boolean(false);
  b.insert(b.end(), rest.bytes().begin(), rest.bytes().end());
  return encode_frame(0xD0, b);
}

// Runs the handshake against `host`, which sees the initialize frame.
init_data handshake(fixed_target& target, const std::function<void(host_peer&, const bytes&)>& host) {
  host_peer peer(fs::temp_directory_path());
  std::thread host_thread([&] {
    peer.accept();
    host(peer, raw(peer.read_frame()));
  });
  struct joiner {
    std::thread& t;
    ~joiner() { t.join(); }
  } join{host_thread};
  boost::asio::io_context io;
  bridge_socket socket(io);
  socket.connect(tcp::endpoint(boost::asio::ip::address_v4::loopback(), peer.port()));
  std::vector<std::uint8_t> buffer(bridge_constants::receive_buffer_size);
  return init_bridge(&target, socket, buffer, target);
}

TEST(handshake, initialize_is_exact_and_accepted_yields_the_settings) {
  fixed_target target;
  bytes initialize;
  const auto data = handshake(target, [&](host_peer& host, const bytes& frame) {
    initialize = frame;
    host.send_raw(accepted_frame(0, {"TW_HANDSHAKE_TEST_VAR"}));
  });
  EXPECT_EQ(initialize, expected_initialize(initialize));
  EXPECT_EQ(data.env.session_id_1, bridge_constants::test_session_1());
  EXPECT_EQ(data.env.session_id_2, bridge_constants::test_session_2());
  EXPECT_EQ(data.env.id_kind, 0u);
  EXPECT_NE(data.env.snapshot_id_3, data.env.snapshot_id_4);
  EXPECT_EQ(data.env.pid, 4711u);
  EXPECT_EQ(data.env.os_id, 4);
  EXPECT_GT(data.env.processor_count, 0u);
  EXPECT_FALSE(data.use_api);
  EXPECT_TRUE(data.use_bridge);
  EXPECT_TRUE(data.info.collect_from_start);
  EXPECT_EQ(data.host_text_1, "one");
  EXPECT_EQ(data.host_text_2, "two");
  ASSERT_EQ(data.env_vars.size(), 1u);
  EXPECT_EQ(data.env_vars[0].name, "TW_HANDSHAKE_TEST_VAR");
}

TEST(handshake, control_kinds_choose_the_api_or_the_bridge) {
  struct row {
    std::uint8_t control_kind;
    const char* core_first;  // nullptr: unset
    bool use_api;
  };
  for (const auto& r : {row{0, nullptr, false}, row{1, nullptr, true}, row{2, nullptr, false}, row{2, "1", true},
                        row{2, "0", false}, row{0, "1", false}}) {
    SCOPED_TRACE(std::to_string(r.control_kind) + " " + (r.core_first ? r.core_first : "unset"));
    if (r.core_first)
      ::setenv("TARNWELL_PROFILER_CORE_FIRST", r.core_first, 1);
    else
      ::unsetenv("TARNWELL_PROFILER_CORE_FIRST");
    fixed_target target;
    bool core_first_sent = false;
    const auto data = handshake(target, [&](host_peer& host, const bytes& frame) {
      core_first_sent = frame.back() == 1;
      host.send_raw(accepted_frame(r.control_kind));
    });
    EXPECT_EQ(core_first_sent, r.core_first && std::string(r.core_first) == "1");
    EXPECT_EQ(data.use_api, r.use_api);
    EXPECT_EQ(data.use_bridge, !r.use_api);
  }
  ::unsetenv("TARNWELL_PROFILER_CORE_FIRST");
}

TEST(handshake, an_in_process_profiler_removes_the_listed_variables) {
  ::setenv("TW_HANDSHAKE_CLEANED", "x", 1);
  ::setenv("TW_HANDSHAKE_KEPT", "y", 1);
  fixed_target in_process(false);
  handshake(in_process, [](host_peer& host, const bytes&) { host.send_raw(accepted_frame(0, {"TW_HANDSHAKE_CLEANED"})); });
  EXPECT_EQ(std::getenv("TW_HANDSHAKE_CLEANED"), nullptr);
  EXPECT_NE(std::getenv("TW_HANDSHAKE_KEPT"), nullptr);

  ::setenv("TW_HANDSHAKE_CLEANED", "x", 1);
  fixed_target out_of_process(true);
  handshake(out_of_process, [](host_peer& host, const bytes&) { host.send_raw(accepted_frame(0, {"TW_HANDSHAKE_CLEANED"})); });
  EXPECT_NE(std::getenv("TW_HANDSHAKE_CLEANED"), nullptr) << "an out-of-process profiler keeps them";
  ::unsetenv("TW_HANDSHAKE_CLEANED");
  ::unsetenv("TW_HANDSHAKE_KEPT");
}

TEST(handshake, refusals_and_hostile_answers_end_it_with_their_message) {
  struct row {
    const char* name;
    bytes answer;
    bool close_after;
    const char* message;
  };
  bytes oversized = {0xD0, 0xC0, 0x10, 0x00, 0x01};  // 1 MiB + 1 of parameters announced
  const row rows[] = {
      {"invalid protocol", {0xD1, 0x00}, false, "unaccepted_invalid_protocol"},
      {"invalid version", {0xD2, 0x00}, false, "unaccepted_invalid_version"},
      {"invalid info", {0xD3, 0x00}, false, "unaccepted_invalid_info"},
      {"canceled", {0xD4, 0x00}, false, "unaccepted_canceled"},
      {"another command", {0xDF, 0x00}, false, "Unexpected command"},
      {"control kind 3", accepted_frame(3), false, "Control kind isn't supported: 3"},
      {"counter starting with 111", {0xD0, 0xE0, 0x00, 0x00, 0x00}, false, "Invalid counter encoding"},
      {"parameters beyond 1 MiB", oversized, false, "exceed the 1048576-byte receive buffer"},
      {"accepted cut short", {0xD0, 0x02, 0x00, 0x05}, false, "bytes needed"},
      {"a four-byte counter for a small size", {0xD0, 0xC0, 0x00, 0x00, 0x02, 0x00, 0x05}, false, "bytes needed"},
      {"host closes mid-handshake", {0xD0, 0x10, 0x00}, true, "End of file"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    fixed_target target;
    EXPECT_THAT([&] {
      handshake(target, [&](host_peer& host, const bytes&) {
        host.send_raw(r.answer);
        if (r.close_after) host.socket().close();
      });
    }, testing::ThrowsMessage<std::exception>(testing::HasSubstr(r.message)));
  }
}

}  // namespace
