#include "tools/snapshot_profiles.h"

#include "profile.pb.h"  // generated from tools/pprof/profile.proto
#include "tools/snapshot_samples.h"

#include <zlib.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tw::tools {

namespace {

// Samples that cpu counts: a thread running managed or native code, or one
// the sampler gave no known type.
bool on_cpu(const sample_entry& s) { return tools::on_cpu(s.type); }

void write_all(std::FILE* out, const void* data, std::size_t size) {
  if (size != 0 && std::fwrite(data, 1, size, out) != size)
    throw std::runtime_error(std::string("Cannot write the export: ") + std::strerror(errno));
}

// `bytes` gzipped (as pprof files are) into `out`.
void write_gzipped(std::FILE* out, const std::string& bytes) {
  z_stream z{};
  // 16 + 15: the gzip wrapper around a 32 KiB window.
  if (deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
    throw std::runtime_error("Cannot start compressing the export");
  struct end {
    z_stream& z;
    ~end() { deflateEnd(&z); }
  } ending{z};
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
  z.avail_in = static_cast<uInt>(bytes.size());
  std::vector<unsigned char> chunk(1 << 20);
  int status = Z_OK;
  do {
    z.next_out = chunk.data();
    z.avail_out = static_cast<uInt>(chunk.size());
    status = deflate(&z, Z_FINISH);
    if (status == Z_STREAM_ERROR) throw std::runtime_error("Cannot compress the export");
    write_all(out, chunk.data(), chunk.size() - z.avail_out);
  } while (status != Z_STREAM_END);
}

// The string table: index 0 is the empty string, as the format wants.
class string_table {
 public:
  explicit string_table(perftools::profiles::Profile& p) : p_(p) { (*this)(""); }
  std::int64_t operator()(std::string_view s) {
    const auto [it, added] = index_.try_emplace(std::string(s), static_cast<std::int64_t>(index_.size()));
    if (added) p_.add_string_table(it->first);
    return it->second;
  }

 private:
  perftools::profiles::Profile& p_;
  std::unordered_map<std::string, std::int64_t> index_;
};

// FILETIME (100 ns since 1601) to nanoseconds since 1970.
std::int64_t unix_nanos(std::uint64_t filetime) {
  constexpr std::uint64_t epoch = 116444736000000000ull;
  return filetime > epoch ? static_cast<std::int64_t>((filetime - epoch) * 100) : 0;
}

}  // namespace

void write_pprof(const snapshot_model& model, std::FILE* out) {
  const auto samples = collect_samples(model);
  const auto period = static_cast<std::int64_t>(std::llround(sampling_period_ms(model, samples) * 1e6));
  sample_stacks stacks(model);

  perftools::profiles::Profile p;
  string_table str(p);
  const auto nanoseconds = str("nanoseconds");
  for (const char* type : {"cpu", "wall"}) {
    auto* t = p.add_sample_type();
    t->set_type(str(type));
    t->set_unit(nanoseconds);
  }
  p.mutable_period_type()->set_type(str("cpu"));
  p.mutable_period_type()->set_unit(nanoseconds);
  p.set_period(period);
  p.set_default_sample_type(str("cpu"));
  p.set_time_nanos(unix_nanos(model.process().start_filetime));
  p.set_duration_nanos(
      static_cast<std::int64_t>(std::llround(model.ms_between(model.first_tick(), model.last_tick()) * 1e6)));

  // A mapping per module, a function and a location per frame, made as the
  // samples first name them.
  std::unordered_map<std::string, std::uint64_t> mappings;
  auto mapping_of = [&](std::string_view path) {
    auto [it, added] = mappings.try_emplace(std::string(path), mappings.size() + 1);
    if (added) {
      auto* m = p.add_mapping();
      m->set_id(it->second);
      m->set_filename(str(path));
      m->set_has_functions(true);
    }
    return it->second;
  };
  // pprof takes the first mapping for the program: the application's module.
  const auto program = model.process().process_name + ".dll";
  for (std::uint32_t f = 0; f < model.frames().size(); ++f) {
    if (model.frames()[f].module != program) continue;
    mapping_of(stacks.module_file(f));
    break;
  }
  std::vector<std::uint64_t> locations(stacks.count(), 0);
  auto location_of = [&](std::uint32_t frame) {
    if (locations[frame] != 0) return locations[frame];
    const auto id = static_cast<std::uint64_t>(p.location_size() + 1);
    std::uint64_t mapping = 0;
    const auto path = stacks.module_file(frame);
    if (!path.empty()) mapping = mapping_of(path);
    auto* f = p.add_function();
    f->set_id(id);
    f->set_name(str(stacks.name(frame)));
    f->set_system_name(f->name());
    f->set_filename(str(path));
    auto* l = p.add_location();
    l->set_id(id);
    l->set_mapping_id(mapping);
    l->add_line()->set_function_id(id);
    return locations[frame] = id;
  };

  // One sample per distinct (thread, state, stack), its values summed.
  std::unordered_map<std::string, int> distinct;
  std::unordered_map<std::uint32_t, std::int64_t> thread_names;
  const auto thread_id_key = str("thread id"), thread_name_key = str("thread name"), state_key = str("state");
  std::string key;
  for (const auto& s : samples) {
    const auto& frames = stacks.of(s);
    key.assign(reinterpret_cast<const char*>(&s.thread), sizeof s.thread);
    key.push_back(static_cast<char>(s.type));
    key.append(reinterpret_cast<const char*>(frames.data()), frames.size() * sizeof frames[0]);
    auto [it, added] = distinct.try_emplace(key, p.sample_size());
    if (added) {
      auto* sample = p.add_sample();
      for (auto f = frames.rbegin(); f != frames.rend(); ++f) sample->add_location_id(location_of(*f));
      sample->add_value(0);
      sample->add_value(0);
      auto* id = sample->add_label();
      id->set_key(thread_id_key);
      id->set_num(s.thread);
      auto [name, named] = thread_names.try_emplace(s.thread, 0);
      if (named) name->second = str(thread_name(model, s.thread));
      auto* label = sample->add_label();
      label->set_key(thread_name_key);
      label->set_str(name->second);
      auto* state = sample->add_label();
      state->set_key(state_key);
      state->set_str(str(sample_state(s.type)));
    }
    auto* sample = p.mutable_sample(it->second);
    if (on_cpu(s)) sample->set_value(0, sample->value(0) + period);
    sample->set_value(1, sample->value(1) + period);
  }

  std::string bytes;
  if (!p.SerializeToString(&bytes)) throw std::runtime_error("Cannot encode the profile");
  write_gzipped(out, bytes);
}

void write_folded(const snapshot_model& model, bool wall, std::FILE* out) {
  const auto samples = collect_samples(model);
  sample_stacks stacks(model);
  // Folded lines separate frames with ';' and end with a blank and the count.
  auto frame_text = [](std::string_view name) {
    std::string text(name);
    for (auto& c : text)
      if (c == ';' || c == '\n' || c == '\r') c = ':';
    return text;
  };
  std::map<std::string, std::uint64_t> lines;
  std::unordered_map<std::uint32_t, std::string> threads;
  std::string line;
  for (const auto& s : samples) {
    if (!wall && !on_cpu(s)) continue;
    auto [thread, added] = threads.try_emplace(s.thread);
    if (added) thread->second = frame_text(thread_label(model, s.thread));
    line = thread->second;
    for (const auto f : stacks.of(s)) line.append(1, ';').append(frame_text(stacks.name(f)));
    ++lines[line];
  }
  std::string text;
  for (const auto& [stack, count] : lines) {
    text.append(stack).append(1, ' ').append(std::to_string(count)).append(1, '\n');
    if (text.size() >= (1u << 20)) {
      write_all(out, text.data(), text.size());
      text.clear();
    }
  }
  write_all(out, text.data(), text.size());
}

}  // namespace tw::tools
