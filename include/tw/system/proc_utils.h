#pragma once

// What the profiler learns about a process and the machine: the command line
// as one string and the architecture of an executable from its ELF header.

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

namespace tw {

// Windows' numbering of processor architectures, as the front end expects.
enum class architecture : std::uint16_t { x86 = 0, arm = 5, x86_64 = 9, arm64 = 12 };

struct elf_info {
  std::uint8_t elf_class = 0;  // 1 ELFCLASS32, 2 ELFCLASS64
  std::uint8_t encoding = 0;   // 1 ELFDATA2LSB, 2 ELFDATA2MSB
  std::uint8_t os_abi = 0;
  std::uint8_t abi_version = 0;
  std::uint16_t type = 0;
  std::uint16_t machine = 0;
  std::uint32_t flags = 0;
};

// One blank between arguments; an argument that is empty or holds blanks,
// control characters, backslashes or quotes is written with std::quoted.
std::string concat_args(const std::vector<std::string>& arguments);
std::string get_command_line(pid_t pid);

elf_info get_elf_info(const std::string& path);
// Decodes the first 64 bytes of an ELF file.
elf_info parse_elf_header(const std::uint8_t* header, std::size_t size);
std::string to_string(const elf_info& info);
architecture architecture_of(const elf_info& info);
architecture get_executable_architecture(const std::string& path);
architecture get_os_architecture();
std::string get_module_filename(const void* address);

}  // namespace tw
