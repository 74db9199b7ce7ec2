// Real recordings: the public corpus made by several runtime versions, and
// the recordings of tests/data made by the local runtime.

#include "event_pipe_api/src/dispatch.h"
#include "event_pipe_api/src/event_pipe_consumer_api.h"
#include "tools/trace_stats.h"

#include "tests/support/recordings.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>

namespace {

namespace fs = std::filesystem;
using namespace tarnwell;
using namespace tarnwell::collector;
using event_pipe::consumer_status;

fs::path corpus_dir() { return TW_CORPUS_DIR; }
fs::path corpus_source() { return TW_CORPUS_SOURCE; }
fs::path data_dir() { return fs::path(TW_SOURCE_DIR) / "tests" / "data"; }

using test_support::recordings_in;

// (provider, id) -> count, summed over versions.
std::map<std::pair<std::string, int>, std::uint64_t> counts_by_id(const tw::tools::trace_stats& s) {
  std::map<std::pair<std::string, int>, std::uint64_t> out;
  for (const auto& [id, c] : s.counts) out[{std::get<0>(id), std::get<1>(id)}] += c.count;
  return out;
}

// What the reference reader's event names stand for: (provider, id).
std::map<std::string, std::pair<std::string, int>> baseline_names() {
  std::map<std::string, std::pair<std::string, int>> out;
  std::ifstream in(corpus_source() / "baseline_names.txt");
  for (std::string line; std::getline(in, line);) {
    const auto a = line.find(", "), b = line.rfind(", ");
    if (line.empty() || line[0] == '#' || a == b) continue;
    out[line.substr(0, a)] = {line.substr(a + 2, b - a - 2), std::stoi(line.substr(b + 2))};
  }
  return out;
}

TEST(recordings, counts_equal_the_reference_baselines) {
  int compared = 0;
  const auto names = baseline_names();
  ASSERT_GE(names.size(), 40u);
  for (const auto& f : recordings_in(corpus_dir())) {
    const fs::path baseline = corpus_source() / (f.filename().string() + ".baseline.txt");
    if (!fs::exists(baseline)) continue;
    std::ifstream in(baseline);
    const auto counts = counts_by_id(tw::tools::collect_trace_stats(f.string()));
    std::string line;
    while (std::getline(in, line)) {
      if (line.rfind("\xEF\xBB\xBF", 0) == 0) line.erase(0, 3);
      const auto comma = line.find(", ");
      if (comma == std::string::npos) continue;
      const auto name = line.substr(0, comma);
      const auto expected = std::stoull(line.substr(comma + 2));
      const auto it = names.find(name);
      if (it == names.end()) continue;
      const auto found = counts.find(it->second);
      EXPECT_EQ(found == counts.end() ? 0 : found->second, expected) << f.filename() << " " << name;
      ++compared;
    }
  }
  EXPECT_GE(compared, 40);
}

TEST(recordings, counts_equal_the_reference_counts_by_version) {
  const auto file = corpus_dir() / "only_managed_samples.nettrace";
  std::ifstream in(corpus_source() / "only_managed_samples.nettrace.counts.txt");
  ASSERT_TRUE(in) << "counts file not found";
  const auto stats = tw::tools::collect_trace_stats(file.string());
  const std::regex row(R"(^(.+), event id (\d+), version (\d+), (\d+)$)");
  std::string line;
  int compared = 0;
  std::uint64_t total = 0;
  while (std::getline(in, line)) {
    std::smatch m;
    if (!std::regex_match(line, m, row)) continue;
    const tw::tools::event_id id{m[1], std::uint16_t(std::stoi(m[2])), std::uint8_t(std::stoi(m[3]))};
    const auto it = stats.counts.find(id);
    EXPECT_EQ(it == stats.counts.end() ? 0 : it->second.count, std::stoull(m[4])) << line;
    total += std::stoull(m[4]);
    ++compared;
  }
  EXPECT_EQ(compared, 18);
  EXPECT_EQ(stats.events, total);
}

// Runs a recording through the dispatcher with a typed handler.
template <class Handler>
consumer_status dispatch_file(const fs::path& file, Handler handler) {
  auto dispatcher = wrap_event_pipe_handler(all_providers{}, std::move(handler));
  auto handlers = std::make_shared<event_pipe::event_pipe_handlers<decltype(dispatcher)>>(std::move(dispatcher));
  return event_pipe::run_file(file, [](unsigned long, unsigned long, unsigned long) { return 1; }, handlers, false);
}

// The stream is ordered per thread buffer, not by time: tests that speak of
// order sort by timestamp first.
template <class T>
std::vector<T> by_time(std::vector<std::pair<std::int64_t, T>> v) {
  std::stable_sort(v.begin(), v.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<T> out;
  for (auto& [t, x] : v) out.push_back(std::move(x));
  return out;
}

TEST(recordings, kestrel_request_paths_are_what_the_client_asked_for) {
  std::vector<std::pair<std::int64_t, std::string>> started, stopped, methods;
  int connections = 0;
  dispatch_file(data_dir() / "net10-kestrel.nettrace", [&](auto p, auto& e) {
    using event = std::decay_t<decltype(e)>;
    if constexpr (std::is_same_v<decltype(p), Microsoft_AspNetCore_Server_Kestrel>) {
      if constexpr (event::key == 0x30000) {
        auto f = e.fields();
        started.emplace_back(e.header.timestamp, f.template get<3>().utf8());
        methods.emplace_back(e.header.timestamp, f.template get<4>().utf8());
      } else if constexpr (event::key == 0x40000) {
        stopped.emplace_back(e.header.timestamp, e.fields().template get<3>().utf8());
      } else if constexpr (event::key == 0x10000) {
        const auto local = e.fields().template get<1>().utf8();
        EXPECT_EQ(local.rfind("127.0.0.1:", 0), 0u) << local;
        ++connections;
      }
    }
  });
  const std::vector<std::string> requested = {"/hello", "/items/42", "/missing"};
  EXPECT_EQ(by_time(started), requested);
  EXPECT_EQ(by_time(stopped), requested);
  EXPECT_EQ(by_time(methods), std::vector<std::string>(3, "GET"));
  EXPECT_GE(connections, 1);
}

// Every field of a format lies inside the payload, and for the runtime's own
// providers the fields fill the payload exactly: a width that differs from
// the runtime's would leave bytes over or run short.
TEST(recordings, samples_carry_stacks_and_every_typed_payload_parses) {
  int samples_with_stacks = 0;
  int unparsed = 0;
  std::map<std::string, int> leftover;
  auto files = recordings_in(corpus_dir());
  const auto own = recordings_in(data_dir());
  files.insert(files.end(), own.begin(), own.end());
  for (const auto& f : files) {
    dispatch_file(f, [&](auto p, auto& e) {
      using event = std::decay_t<decltype(e)>;
      if constexpr (std::is_same_v<decltype(p), Microsoft_DotNETCore_SampleProfiler>) {
        if (!e.stack.empty()) ++samples_with_stacks;
      }
      constexpr std::size_t n = event::format::size;
      if constexpr (n > 0) {
        auto fields = e.fields();
        try {
          (void)fields.template get<n - 1>();
          using provider = decltype(p);
          if constexpr (std::is_same_v<provider, Microsoft_Windows_DotNETRuntime> ||
                        std::is_same_v<provider, Microsoft_Windows_DotNETRuntimeRundown> ||
                        std::is_same_v<provider, Microsoft_DotNETCore_SampleProfiler> ||
                        std::is_same_v<provider, Microsoft_DotNETCore_EventPipe>) {
            if (fields.template end_of<n - 1>() != e.payload.size())
              ++leftover[std::string(provider::name) + " " + event::name() + " " +
                         std::to_string(e.payload.size() - fields.template end_of<n - 1>())];
          }
        } catch (const std::exception&) {
          ++unparsed;
          ADD_FAILURE() << f.filename() << ": " << event::name() << " does not parse";
        }
      }
    });
  }
  EXPECT_GT(samples_with_stacks, 1000);
  EXPECT_EQ(unparsed, 0);
  for (const auto& [what, n] : leftover) ADD_FAILURE() << what << " bytes left over in " << n << " events";
}

}  // namespace

namespace {

// The field-type index the stream's own description would give a field.
template <class F>
constexpr int field_type_index() {
  using namespace tw::fields;
  if constexpr (std::is_same_v<F, integral<std::int8_t>>) return 0;
  else if constexpr (std::is_same_v<F, integral<std::uint8_t>>) return 1;
  else if constexpr (std::is_same_v<F, integral<std::int16_t>>) return 2;
  else if constexpr (std::is_same_v<F, integral<std::uint16_t>>) return 3;
  else if constexpr (std::is_same_v<F, integral<std::int32_t>>) return 4;
  else if constexpr (std::is_same_v<F, integral<std::uint32_t>>) return 5;
  else if constexpr (std::is_same_v<F, integral<std::int64_t>>) return 6;
  else if constexpr (std::is_same_v<F, integral<std::uint64_t>>) return 7;
  else if constexpr (std::is_same_v<F, integral<float>>) return 8;
  else if constexpr (std::is_same_v<F, integral<double>>) return 9;
  else if constexpr (std::is_same_v<F, utf16z>) return 12;
  else return -1;
}

template <class... F>
std::vector<int> format_indices(tw::field_list<F...>) {
  return {field_type_index<F>()...};
}

}  // namespace

// Event sources describe their payloads in the stream; the catalogue's
// layouts must agree with those descriptions field by field.
TEST(recordings, event_source_layouts_agree_with_the_stream_descriptions) {
  std::set<std::string> checked;
  for (const auto& f : recordings_in(data_dir())) {
    dispatch_file(f, [&](auto p, auto& e) {
      using provider = decltype(p);
      using event = std::decay_t<decltype(e)>;
      if constexpr (!std::is_same_v<provider, Microsoft_Windows_DotNETRuntime> &&
                    !std::is_same_v<provider, Microsoft_Windows_DotNETRuntimeRundown> &&
                    !std::is_same_v<provider, Microsoft_DotNETCore_SampleProfiler>) {
        const std::string what = std::string(provider::name) + " " + event::name();
        if (!checked.insert(what).second) return;
        const auto& described = (*e.metadata)->get_payload_description().fields;
        const auto ours = format_indices(typename event::format{});
        ASSERT_LE(ours.size(), described.size()) << what;
        for (std::size_t i = 0; i < ours.size(); ++i)
          EXPECT_EQ(static_cast<std::uint64_t>(ours[i]), described[i].second) << what << " field " << described[i].first;
      }
    });
  }
  // Kestrel 4, SqlClient 5, TPL 4 of 6 and process info appear in the recordings.
  EXPECT_GE(checked.size(), 13u);
}
