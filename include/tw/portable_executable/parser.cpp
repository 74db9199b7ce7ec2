#include "tw/portable_executable/parser.h"

#include "tw/log/log.h"
#include "tw/utility/byte_cursor.h"
#include "tw/utility/throw.h"

#include <cstdio>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>

namespace tw {

namespace {

using errinfo_signature = boost::error_info<struct tag_signature, std::uint32_t>;
using errinfo_file_name = boost::error_info<struct tag_file_name, std::string>;

// Reads at absolute offsets of the image, which its headers name.
class image_cursor {
 public:
  image_cursor(std::span<const std::uint8_t> bytes, const std::string& name)
      : cursor_(bytes.data(), bytes.data() + bytes.size(), "image"), name_(name) {}

  template <class T>
  T at(std::size_t offset) {
    try {
      cursor_.seek(offset);
      return cursor_.read<T>();
    } catch (const truncated_data&) {
      TW_THROW(boost::enable_error_info(std::runtime_error("The image is truncated at offset " +
                                                           std::to_string(offset)))
               << errinfo_file_name(name_));
    }
  }

 private:
  byte_cursor cursor_;
  const std::string& name_;
};

// Paths come from the trace: never read a device, a pipe or a giant.
void check_module_file(const std::string& path) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec))
    TW_THROW(boost::enable_error_info(std::runtime_error("Module file is not a regular file")) << tw::errinfo_path(path));
  constexpr std::uintmax_t max_module_size = std::uintmax_t{1} << 30;
  if (std::filesystem::file_size(path, ec) > max_module_size)
    TW_THROW(boost::enable_error_info(std::runtime_error("Module file is too large")) << tw::errinfo_path(path));
}

[[noreturn]] void fail(const char* message, const std::string& name) {
  TW_THROW(boost::enable_error_info(std::runtime_error(message)) << errinfo_file_name(name));
}

}  // namespace

portable_executable::portable_executable(std::vector<std::uint8_t> image, read_mode mode, std::string name)
    : mode_(mode), name_(std::move(name)) {
  auto bytes = std::make_shared<const std::vector<std::uint8_t>>(std::move(image));
  image_ = std::span<const std::uint8_t>(bytes->data(), bytes->size());
  owner_ = std::move(bytes);
  read_headers();
}

portable_executable::portable_executable(std::shared_ptr<const void> owner, std::span<const std::uint8_t> image,
                                         read_mode mode, std::string name)
    : owner_(std::move(owner)), image_(image), mode_(mode), name_(std::move(name)) {
  read_headers();
}

portable_executable portable_executable::map_file(const std::string& path) {
  check_module_file(path);
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) TW_THROW(boost::enable_error_info(std::runtime_error("Cannot open module file")) << tw::errinfo_path(path));
  struct stat st {};
  const bool sized = ::fstat(fd, &st) == 0;
  const std::size_t size = sized ? static_cast<std::size_t>(st.st_size) : 0;
  void* at = size > 0 ? ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0) : MAP_FAILED;
  ::close(fd);
  if (at == MAP_FAILED) TW_THROW(boost::enable_error_info(std::runtime_error("Cannot map module file")) << tw::errinfo_path(path));
  std::shared_ptr<const void> owner(at, [size](const void* p) { ::munmap(const_cast<void*>(p), size); });
  return portable_executable(std::move(owner), {static_cast<const std::uint8_t*>(at), size}, read_mode::file, path);
}

void portable_executable::read_headers() {
  if (mode_ != read_mode::file && mode_ != read_mode::mapped_image) fail("Unknown read metadata mode", name_);
  image_cursor c(image_, name_);
  const auto dos = c.at<std::uint16_t>(0);
  if (dos != 0x5A4D && dos != 0x454E && dos != 0x454C)
    TW_THROW(boost::enable_error_info(std::runtime_error("Invalid DOS header signature"))
             << errinfo_signature(dos) << errinfo_file_name(name_));
  if (dos != 0x5A4D)
    TW_THROW(boost::enable_error_info(std::runtime_error("Unexpected DOS header signature"))
             << errinfo_signature(dos) << errinfo_file_name(name_));
  const auto nt = static_cast<std::size_t>(c.at<std::uint32_t>(0x3C));
  const auto nt_signature = c.at<std::uint32_t>(nt);
  if (nt_signature != 0x00004550)
    TW_THROW(boost::enable_error_info(std::runtime_error("Invalid NT header signature"))
             << errinfo_signature(nt_signature) << errinfo_file_name(name_));
  const std::size_t file_header = nt + 4;
  machine_ = c.at<std::uint16_t>(file_header);
  const auto section_count = c.at<std::uint16_t>(file_header + 2);
  const auto optional_size = c.at<std::uint16_t>(file_header + 16);
  if (optional_size <= 1) fail("Invalid option header size", name_);
  const std::size_t optional = file_header + 20;
  const auto magic = c.at<std::uint16_t>(optional);
  std::size_t directories = 0, directory_count_at = 0;
  if (magic == 0x10B) {
    if (optional_size < 224) fail("Invalid 32-bit option header size", name_);
    directory_count_at = optional + 92;
    directories = optional + 96;
  } else if (magic == 0x20B) {
    if (optional_size < 240) fail("Invalid 64-bit option header size", name_);
    directory_count_at = optional + 108;
    directories = optional + 112;
  } else if (magic == 0x107) {
    if (optional_size < 56) fail("Invalid ROM option header size", name_);
  } else {
    TW_THROW(boost::enable_error_info(std::runtime_error("Invalid optional header signature"))
             << errinfo_signature(magic) << errinfo_file_name(name_));
  }
  const std::uint32_t directory_count = directories ? c.at<std::uint32_t>(directory_count_at) : 0;
  auto directory = [&](std::uint32_t index) -> std::pair<std::uint32_t, std::uint32_t> {
    if (index >= directory_count) return {0, 0};
    return {c.at<std::uint32_t>(directories + 8 * index), c.at<std::uint32_t>(directories + 8 * index + 4)};
  };

  const std::size_t table = optional + optional_size;
  for (std::uint16_t i = 0; i < section_count; ++i) {
    const std::size_t s = table + 40u * i;
    sections_.push_back({c.at<std::uint32_t>(s + 12), c.at<std::uint32_t>(s + 8), c.at<std::uint32_t>(s + 16),
                         c.at<std::uint32_t>(s + 20)});
  }

  // CLI header and metadata.
  const auto [cor_rva, cor_size] = directory(14);
  if (cor_rva == 0 || cor_size == 0) fail("Invalid cor image directory", name_);
  bool found = false;
  const std::size_t cor = offset_of(cor_rva, cor_size, found);
  if (!found) fail("Can't get cor image directory virtual address", name_);
  if (c.at<std::uint32_t>(cor) != 72) fail("Invalid cor header size, version 2.0 expected", name_);
  native_header_ = {c.at<std::uint32_t>(cor + 64), c.at<std::uint32_t>(cor + 68)};
  const auto md_rva = c.at<std::uint32_t>(cor + 8);
  const auto md_size = c.at<std::uint32_t>(cor + 12);
  if (md_rva == 0 || md_size == 0) fail("Invalid metadata image directory ", name_);
  if (md_size < 20) fail("Too small metadata size", name_);
  const std::size_t md = offset_of(md_rva, md_size, found);
  if (!found || md + md_size > image_.size()) fail("Can't get metadata virtual address", name_);
  const auto md_signature = c.at<std::uint32_t>(md);
  if (md_signature != 0x424A5342)
    TW_THROW(boost::enable_error_info(std::runtime_error("Invalid metadata signature"))
             << errinfo_signature(md_signature) << errinfo_file_name(name_));
  metadata_ = image_.subspan(md, md_size);

  // Debug directory.
  const auto [debug_rva, debug_size] = directory(6);
  if (debug_rva != 0 || debug_size != 0) {
    const std::size_t debug = offset_of(debug_rva, debug_size, found);
    if (!found) fail("Can't get debug data directory virtual address", name_);
    if (debug_size % 28 != 0 || debug + debug_size > image_.size()) fail("Invalid debug data directory", name_);
    for (std::size_t e = debug; e < debug + debug_size; e += 28) {
      debug_directory_entry entry;
      entry.characteristics = c.at<std::uint32_t>(e);
      entry.time_date_stamp = c.at<std::uint32_t>(e + 4);
      entry.major_version = c.at<std::uint16_t>(e + 8);
      entry.minor_version = c.at<std::uint16_t>(e + 10);
      entry.type = c.at<std::uint32_t>(e + 12);
      const auto size = c.at<std::uint32_t>(e + 16);
      const auto address = c.at<std::uint32_t>(e + 20);
      const auto pointer = c.at<std::uint32_t>(e + 24);
      // Entries without data (a reproducible-build marker) carry no pointer
      // either; only data that cannot be found is an error.
      if (size != 0) {
        if (pointer == 0) fail("RAW data pointer in image debug directory should be declared", name_);
        const std::size_t from = mode_ == read_mode::file ? pointer : address;
        if (from > image_.size() || image_.size() - from < size) fail("Invalid debug data directory", name_);
        entry.data.assign(image_.begin() + static_cast<std::ptrdiff_t>(from),
                          image_.begin() + static_cast<std::ptrdiff_t>(from + size));
      }
      debug_.push_back(std::move(entry));
    }
  }
}

std::size_t portable_executable::offset_of(std::uint32_t rva, std::uint32_t size, bool& found) const {
  found = false;
  if (mode_ == read_mode::mapped_image) {
    found = rva <= image_.size() && image_.size() - rva >= size;
    return rva;
  }
  for (const auto& s : sections_) {
    const std::uint64_t extent = s.virtual_size ? s.virtual_size : s.raw_size;
    if (rva >= s.virtual_address && std::uint64_t{rva} + size <= std::uint64_t{s.virtual_address} + extent) {
      found = true;
      return std::size_t{rva} - s.virtual_address + s.raw_pointer;
    }
  }
  return 0;
}

const std::uint8_t* portable_executable::at_rva(std::uint32_t rva, std::uint32_t size) const {
  bool found = false;
  const std::size_t offset = offset_of(rva, size, found);
  if (!found || offset > image_.size() || image_.size() - offset < size) return nullptr;
  return image_.data() + offset;
}

guid extract_mvid(std::span<const std::uint8_t> md) {
  const std::string name = "metadata";
  image_cursor c(md, name);
  std::size_t at = 12;
  const auto version_length = c.at<std::uint32_t>(at);
  at += 4 + ((std::size_t{version_length} + 3) & ~std::size_t{3});
  at += 2;  // flags
  const auto stream_count = c.at<std::uint16_t>(at);
  at += 2;
  std::map<std::string, std::pair<std::uint32_t, std::uint32_t>> streams;
  for (std::uint16_t i = 0; i < stream_count; ++i) {
    const auto offset = c.at<std::uint32_t>(at);
    const auto size = c.at<std::uint32_t>(at + 4);
    at += 8;
    std::string stream_name;
    while (c.at<char>(at + stream_name.size()) != '\0' && stream_name.size() < 32)
      stream_name += c.at<char>(at + stream_name.size());
    at += (stream_name.size() + 1 + 3) & ~std::size_t{3};
    streams.emplace(stream_name, std::make_pair(offset, size));
  }
  const auto [tables, tables_size] = streams.at("#~");
  const auto [guids, guids_size] = streams.at("#GUID");
  const auto heap_sizes = c.at<std::uint8_t>(tables + 6);
  const auto valid = c.at<std::uint64_t>(tables + 8);
  const std::size_t string_index = (heap_sizes & 0x01) ? 4 : 2;
  const std::size_t guid_index_size = (heap_sizes & 0x02) ? 4 : 2;
  const std::size_t rows = tables + 24 + 4 * static_cast<std::size_t>(__builtin_popcountll(valid));
  // The Module table comes first; its row is Generation, Name, Mvid, ...
  const std::size_t mvid_at = rows + 2 + string_index;
  const std::uint32_t index =
      guid_index_size == 4 ? c.at<std::uint32_t>(mvid_at) : std::uint32_t{c.at<std::uint16_t>(mvid_at)};
  if (index == 0) TW_THROW(std::runtime_error("Guid index should be positive"));
  if (std::uint64_t{index} * 16 > guids_size) TW_THROW(std::runtime_error("Invalid GUID offset"));
  const std::size_t from = guids + (std::size_t{index} - 1) * 16;
  const auto low = c.at<std::array<std::uint8_t, 16>>(from);
  const auto mvid = guid::from_bytes(low, guid_byte_order::windows);
  TW_LOG(info) << "mvid is " << mvid.to_string();
  return mvid;
}

std::vector<std::uint8_t> read_module_file(const std::string& path) {
  check_module_file(path);
  std::ifstream in(path, std::ios::binary);
  if (!in) TW_THROW(boost::enable_error_info(std::runtime_error("Cannot open module file")) << tw::errinfo_path(path));
  // In one read: a framework image is megabytes.
  in.seekg(0, std::ios::end);
  const auto size = static_cast<std::streamoff>(in.tellg());
  in.seekg(0);
  std::vector<std::uint8_t> bytes(size > 0 ? static_cast<std::size_t>(size) : 0);
  if (!bytes.empty() && !in.read(reinterpret_cast<char*>(bytes.data()), size))
    TW_THROW(boost::enable_error_info(std::runtime_error("Cannot read module file")) << tw::errinfo_path(path));
  return bytes;
}

}  // namespace tw

namespace tw_prof {

image_data get_image_data(const std::string& path) {
  const auto pe = tw::portable_executable::map_file(path);
  image_data data;
  data.owner = pe.bytes_owner();
  data.metadata = pe.metadata();
  data.debug_entries = pe.debug_entries();
  data.mvid = tw::extract_mvid(data.metadata);
  return data;
}

}  // namespace tw_prof
