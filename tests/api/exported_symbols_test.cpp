// Reads the built library's dynamic symbol table straight from the ELF file.

#include <gtest/gtest.h>

#include <elf.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

namespace {

std::set<std::string> defined_dynamic_symbols(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::vector<char> image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (image.size() < sizeof(Elf64_Ehdr)) throw std::runtime_error("not an ELF file: " + path);
  Elf64_Ehdr eh;
  std::memcpy(&eh, image.data(), sizeof eh);
  if (std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 || eh.e_ident[EI_CLASS] != ELFCLASS64)
    throw std::runtime_error("not a 64-bit ELF file: " + path);
  auto section = [&](std::size_t i) {
    Elf64_Shdr sh;
    std::memcpy(&sh, image.data() + eh.e_shoff + i * eh.e_shentsize, sizeof sh);
    return sh;
  };
  std::set<std::string> names;
  for (std::size_t i = 0; i < eh.e_shnum; ++i) {
    const Elf64_Shdr symtab = section(i);
    if (symtab.sh_type != SHT_DYNSYM) continue;
    const Elf64_Shdr strtab = section(symtab.sh_link);
    for (std::size_t off = symtab.sh_entsize; off < symtab.sh_size; off += symtab.sh_entsize) {
      Elf64_Sym sym;
      std::memcpy(&sym, image.data() + symtab.sh_offset + off, sizeof sym);
      const int binding = ELF64_ST_BIND(sym.st_info);
      if (sym.st_shndx == SHN_UNDEF || (binding != STB_GLOBAL && binding != STB_WEAK)) continue;
      names.insert(image.data() + strtab.sh_offset + sym.st_name);
    }
  }
  return names;
}

TEST(exported_symbols, the_library_defines_exactly_its_five_functions) {
  const std::set<std::string> expected = {
      "EventPipeApiCreateCollector",          "EventPipeApiReleaseCollector", "EventPipeApiCreateNettraceCollector",
      "EventPipeApiReleaseNettraceCollector", "ReleaseErrorInfo",
  };
  EXPECT_EQ(defined_dynamic_symbols(TW_LIBRARY_PATH), expected);
}

}  // namespace
