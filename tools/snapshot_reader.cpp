#include "tools/snapshot_reader.h"

#include "collector/src/collector/snapshot_format.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <stdexcept>
#include <utility>

namespace tw::tools {

namespace {

std::vector<std::uint8_t> slurp(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  if (!in) throw std::runtime_error("Cannot open " + p.string() + ": " + std::strerror(errno));
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

snapshot_reader::snapshot_reader(std::filesystem::path index) : index_(std::move(index)) {
  const auto bytes = slurp(index_);
  std::size_t at = 0;
  auto take = [&](auto& value) {
    if (bytes.size() - at < sizeof value)
      throw std::runtime_error(index_.string() + ": the index ends early at byte " + std::to_string(at));
    std::memcpy(&value, bytes.data() + at, sizeof value);
    at += sizeof value;
  };
  std::uint16_t signature = 0;
  take(signature);
  if (signature != 0x464D) throw std::runtime_error(index_.string() + ": not a snapshot index (bad signature)");
  take(format_);
  std::uint32_t count = 0;
  take(count);
  if (count & 0x80000000u) {
    std::uint16_t v = 0;
    take(v);
    version_ = v;
    count &= 0x7FFFFFFFu;
  }
  if (count > (bytes.size() - at) / 14)
    throw std::runtime_error(index_.string() + ": " + std::to_string(count) + " sections do not fit the index");
  std::map<std::uint16_t, std::uint64_t> file_sizes;
  for (std::uint32_t i = 0; i < count; ++i) {
    section_entry e;
    take(e.id);
    take(e.version);
    take(e.length);
    take(e.file);
    e.offset = file_sizes[e.file];
    file_sizes[e.file] += e.length;
    sections_.push_back(e);
  }
  std::uint16_t end = 0;
  take(end);
  if (end != 0xFFFF) throw std::runtime_error(index_.string() + ": the end marker is missing");
  if (at != bytes.size()) throw std::runtime_error(index_.string() + ": bytes follow the end marker");
  for (const auto& [file, size] : file_sizes) {
    const auto path = file_path(file);
    std::error_code ec;
    const auto actual = std::filesystem::file_size(path, ec);
    if (ec) throw std::runtime_error("Section file " + path.string() + " is missing");
    if (actual != size)
      throw std::runtime_error("Section file " + path.string() + " holds " + std::to_string(actual) +
                               " bytes, the index says " + std::to_string(size));
  }
}

std::filesystem::path snapshot_reader::file_path(std::uint16_t file) const {
  return tarnwell::collector::format::section_file_path(index_.string(), file);
}

std::vector<std::uint8_t> snapshot_reader::read(std::uint16_t id) const {
  for (const auto& e : sections_)
    if (e.id == id) return read(e);
  throw std::runtime_error("The snapshot has no section " + std::to_string(id));
}

std::vector<std::uint8_t> snapshot_reader::read(const section_entry& e) const {
  std::ifstream in(file_path(e.file), std::ios::binary);
  in.seekg(static_cast<std::streamoff>(e.offset));
  std::vector<std::uint8_t> out(e.length);
  in.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(e.length));
  if (static_cast<std::uint64_t>(in.gcount()) != e.length) throw std::runtime_error("A section file ends early");
  return out;
}

mapped_section snapshot_reader::map(std::uint16_t id) const {
  for (const auto& e : sections_)
    if (e.id == id) return mapped_section(file_path(e.file), e.offset, e.length);
  return {};
}

mapped_section::mapped_section(const std::filesystem::path& file, std::uint64_t offset, std::uint64_t length)
    : length_(length) {
  if (length == 0) return;
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error("Cannot open " + file.string() + ": " + std::strerror(errno));
  const auto page = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
  const std::uint64_t start = offset / page * page;
  map_length_ = static_cast<std::size_t>(offset - start + length);
  map_ = ::mmap(nullptr, map_length_, PROT_READ, MAP_PRIVATE, fd, static_cast<off_t>(start));
  const int error = errno;
  ::close(fd);
  if (map_ == MAP_FAILED) {
    map_ = nullptr;
    throw std::runtime_error("Cannot map " + file.string() + ": " + std::strerror(error));
  }
  // The reader checked every file's size against the index, so the range is
  // inside the file. Sections are read front to back.
  ::madvise(map_, map_length_, MADV_SEQUENTIAL);
  data_ = static_cast<const std::uint8_t*>(map_) + (offset - start);
}

mapped_section::mapped_section(mapped_section&& other) noexcept
    : map_(std::exchange(other.map_, nullptr)),
      map_length_(std::exchange(other.map_length_, 0)),
      data_(std::exchange(other.data_, nullptr)),
      length_(std::exchange(other.length_, 0)) {}

mapped_section& mapped_section::operator=(mapped_section&& other) noexcept {
  if (this != &other) {
    if (map_) ::munmap(map_, map_length_);
    map_ = std::exchange(other.map_, nullptr);
    map_length_ = std::exchange(other.map_length_, 0);
    data_ = std::exchange(other.data_, nullptr);
    length_ = std::exchange(other.length_, 0);
  }
  return *this;
}

mapped_section::~mapped_section() {
  if (map_) ::munmap(map_, map_length_);
}

}  // namespace tw::tools
