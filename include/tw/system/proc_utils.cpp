#include "tw/system/proc_utils.h"

#include "tw/system/linux/detail_proc_utils.h"
#include "tw/utility/throw.h"

#include <cerrno>
#include <dlfcn.h>
#include <fcntl.h>
#include <iomanip>
#include <sstream>
#include <system_error>
#include <unistd.h>

namespace tw {

std::string concat_args(const std::vector<std::string>& arguments) {
  std::ostringstream out;
  bool first = true;
  for (const auto& a : arguments) {
    if (!first) out << ' ';
    first = false;
    if (!a.empty() && a.find_first_of(" \t\n\v\b\\\"") == std::string::npos)
      out << a;
    else
      out << std::quoted(a);
  }
  return out.str();
}

std::string get_command_line(pid_t pid) { return concat_args(detail_proc_utils::get_command_line(pid)); }

namespace {

std::uint16_t load16(const std::uint8_t* p, bool big) {
  return big ? static_cast<std::uint16_t>(p[0] << 8 | p[1]) : static_cast<std::uint16_t>(p[1] << 8 | p[0]);
}

std::uint32_t load32(const std::uint8_t* p, bool big) {
  return big ? (std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3])
             : (std::uint32_t{p[3]} << 24 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[1]} << 8 | p[0]);
}

}  // namespace

elf_info parse_elf_header(const std::uint8_t* h, std::size_t size) {
  if (size < 64) TW_THROW(std::runtime_error("File is too short for an ELF header"));
  if (h[0] != 0x7F || h[1] != 'E' || h[2] != 'L' || h[3] != 'F') {
    std::ostringstream magic;
    magic << "0x" << std::hex << std::setfill('0') << std::setw(8) << load32(h, true);
    TW_THROW(std::runtime_error("File has invalid ELF magic number: " + magic.str()));
  }
  elf_info info;
  info.elf_class = h[4];
  info.encoding = h[5];
  if (info.elf_class != 1 && info.elf_class != 2)
    TW_THROW(std::runtime_error("Unexpected Elf class: " + std::to_string(info.elf_class)));
  if (info.encoding != 1 && info.encoding != 2)
    TW_THROW(std::runtime_error("Unexpected endianness: " + std::to_string(info.encoding)));
  if (h[6] != 1) TW_THROW(std::runtime_error("Unexpected Elf version: " + std::to_string(h[6])));
  info.os_abi = h[7];
  info.abi_version = h[8];
  const bool big = info.encoding == 2;
  info.type = load16(h + 16, big);
  info.machine = load16(h + 18, big);
  // e_flags follows e_version, e_entry, e_phoff and e_shoff, whose widths differ.
  info.flags = load32(h + (info.elf_class == 1 ? 36 : 48), big);
  return info;
}

elf_info get_elf_info(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    TW_THROW(boost::enable_error_info(std::system_error(errno, std::system_category(), "Failed to open file"))
             << errinfo_path(path));
  std::uint8_t header[64] = {};
  const ssize_t n = ::read(fd, header, sizeof header);
  const int err = errno;
  ::close(fd);
  if (n < 0)
    TW_THROW(boost::enable_error_info(std::system_error(err, std::system_category(), "Failed to read from file"))
             << errinfo_path(path));
  if (n != static_cast<ssize_t>(sizeof header))
    TW_THROW(boost::enable_error_info(
                 std::system_error(EIO, std::system_category(), "Failed to read from file"))
             << errinfo_path(path));
  return parse_elf_header(header, sizeof header);
}

std::string to_string(const elf_info& i) {
  std::ostringstream out;
  out << "Elf class is " << (i.elf_class == 1 ? "ELFCLASS32" : "ELFCLASS64") << "\n"
      << "Endianness is " << (i.encoding == 1 ? "ELFDATA2LSB" : "ELFDATA2MSB") << "\n"
      << "OS ABI is " << unsigned(i.os_abi) << "\n"
      << "ABI version is " << unsigned(i.abi_version) << "\n"
      << "Elf type is " << i.type << "\n"
      << "Elf machine is " << i.machine << "\n"
      << "Elf flags is " << i.flags;
  return out.str();
}

architecture architecture_of(const elf_info& i) {
  if (i.type != 2 && i.type != 3)
    TW_THROW(std::runtime_error("File is not an executable ELF, ELF type is " + std::to_string(i.type)));
  if (i.encoding == 1) {
    if (i.elf_class == 1 && i.machine == 3) return architecture::x86;
    if (i.elf_class == 1 && i.machine == 40 && (i.flags & 0xFF000400u) == 0x05000400u) return architecture::arm;
    if (i.elf_class == 2 && i.machine == 62) return architecture::x86_64;
    if (i.elf_class == 2 && i.machine == 183) return architecture::arm64;
  }
  TW_THROW(std::runtime_error("Unsupported architecture:\n" + to_string(i)));
}

architecture get_executable_architecture(const std::string& path) { return architecture_of(get_elf_info(path)); }

architecture get_os_architecture() {
  static const architecture os = get_executable_architecture("/proc/self/exe");
  return os;
}

std::string get_module_filename(const void* address) {
  Dl_info info{};
  if (::dladdr(address, &info) == 0) TW_THROW(std::runtime_error("Can't get module handle"));
  if (info.dli_fname == nullptr) TW_THROW(std::runtime_error("Can't get shared object name"));
  return info.dli_fname;
}

}  // namespace tw
