#include "tw/portable_executable/ready_to_run.h"

#include "tw/utility/byte_cursor.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <stdexcept>

namespace tw {

namespace {

constexpr std::uint32_t ready_to_run_signature = 0x00525452;  // "RTR"
constexpr std::uint32_t runtime_functions_section = 102;
constexpr std::uint32_t method_def_entry_points_section = 103;
constexpr std::uint32_t instance_method_entry_points_section = 109;
constexpr std::uint32_t owner_composite_executable_section = 116;
constexpr std::uint16_t machine_amd64 = 0x8664;

// ReadyToRun images for other systems than Windows carry their machine
// XORed with a value per system: Linux, macOS, FreeBSD, NetBSD.
bool is_amd64(std::uint16_t machine) {
  for (const std::uint16_t os : {0x0000, 0x7B79, 0x4644, 0xADC4, 0x1993})
    if ((machine ^ os) == machine_amd64) return true;
  return false;
}

[[noreturn]] void bad(const std::string& what) { throw std::runtime_error("ReadyToRun image: " + what); }

}  // namespace

// Bytes of the image addressed by RVA, bounded by one region.
class rva_span {
 public:
  rva_span(const std::uint8_t* data, std::uint32_t rva, std::uint32_t size) : data_(data), rva_(rva), size_(size) {}
  template <class T>
  T at(std::uint32_t rva) const {
    if (rva < rva_ || rva - rva_ > size_ || size_ - (rva - rva_) < sizeof(T)) bad("a read leaves its section");
    T value;
    std::memcpy(&value, data_ + (rva - rva_), sizeof value);
    return value;
  }
  std::uint8_t byte(std::uint32_t rva) const { return at<std::uint8_t>(rva); }

  // The variable-length unsigned integer of the native format: the low bits
  // of the first byte say how many bytes follow.
  std::uint32_t decode_unsigned(std::uint32_t rva, std::uint32_t& value) const {
    const std::uint32_t b = byte(rva);
    if ((b & 1) == 0) {
      value = b >> 1;
      return rva + 1;
    }
    if ((b & 2) == 0) {
      value = (b >> 2) | (std::uint32_t{byte(rva + 1)} << 6);
      return rva + 2;
    }
    if ((b & 4) == 0) {
      value = (b >> 3) | (std::uint32_t{byte(rva + 1)} << 5) | (std::uint32_t{byte(rva + 2)} << 13);
      return rva + 3;
    }
    if ((b & 8) == 0) {
      value = (b >> 4) | (std::uint32_t{byte(rva + 1)} << 4) | (std::uint32_t{byte(rva + 2)} << 12) |
              (std::uint32_t{byte(rva + 3)} << 20);
      return rva + 4;
    }
    if ((b & 16) == 0) {
      value = at<std::uint32_t>(rva + 1);
      return rva + 5;
    }
    bad("an integer of the native format is malformed");
  }

 private:
  const std::uint8_t* data_;
  std::uint32_t rva_;
  std::uint32_t size_;
};

namespace {

// The native format's sparse array: blocks of 16 entries, each found
// through a small binary tree of offsets.
class native_array {
 public:
  native_array(const rva_span& span, std::uint32_t rva) : span_(span) {
    std::uint32_t header = 0;
    base_ = span_.decode_unsigned(rva, header);
    count_ = header >> 2;
    entry_index_size_ = header & 3;
  }
  std::uint32_t size() const noexcept { return count_; }

  bool try_get(std::uint32_t index, std::uint32_t& offset) const {
    if (index >= count_) return false;
    const std::uint32_t block = index / block_size;
    if (entry_index_size_ == 0)
      offset = span_.byte(base_ + block);
    else if (entry_index_size_ == 1)
      offset = span_.at<std::uint16_t>(base_ + 2 * block);
    else
      offset = span_.at<std::uint32_t>(base_ + 4 * block);
    offset += base_;
    for (std::uint32_t bit = block_size >> 1; bit > 0; bit >>= 1) {
      std::uint32_t value = 0;
      const std::uint32_t next = span_.decode_unsigned(offset, value);
      if (index & bit) {
        if (value & 2) {
          offset += value >> 2;
          continue;
        }
      } else if (value & 1) {
        offset = next;
        continue;
      }
      // A leaf that holds one index of the block.
      if ((value & 3) == 0 && (value >> 2) == (index & (block_size - 1))) {
        offset = next;
        return true;
      }
      return false;
    }
    return true;
  }

 private:
  static constexpr std::uint32_t block_size = 16;
  const rva_span& span_;
  std::uint32_t base_ = 0;
  std::uint32_t count_ = 0;
  std::uint32_t entry_index_size_ = 0;
};

// The signed variant of the native format's integers: the top byte read
// carries the sign.
std::uint32_t decode_signed(const rva_span& span, std::uint32_t rva, std::int32_t& value) {
  const std::uint32_t b = span.byte(rva);
  auto sign = [&](std::uint32_t at) { return static_cast<std::int32_t>(static_cast<std::int8_t>(span.byte(at))); };
  if ((b & 1) == 0) {
    value = sign(rva) >> 1;
    return rva + 1;
  }
  if ((b & 2) == 0) {
    value = static_cast<std::int32_t>(b >> 2) | (sign(rva + 1) * (1 << 6));
    return rva + 2;
  }
  if ((b & 4) == 0) {
    value = static_cast<std::int32_t>((b >> 3) | (std::uint32_t{span.byte(rva + 1)} << 5)) | (sign(rva + 2) * (1 << 13));
    return rva + 3;
  }
  if ((b & 8) == 0) {
    value = static_cast<std::int32_t>((b >> 4) | (std::uint32_t{span.byte(rva + 1)} << 4) |
                                      (std::uint32_t{span.byte(rva + 2)} << 12)) |
            (sign(rva + 3) * (1 << 20));
    return rva + 4;
  }
  if ((b & 16) == 0) {
    value = static_cast<std::int32_t>(span.at<std::uint32_t>(rva + 1));
    return rva + 5;
  }
  bad("a signed integer of the native format is malformed");
}

// A method signature of the instance entry point table (ECMA-335
// compressed integers, with the ReadyToRun flags and element types): read
// far enough to know its MethodDef and where it ends.
class method_signature {
 public:
  method_signature(const rva_span& span, std::uint32_t rva) : span_(span), at_(rva) {}

  // The MethodDef row, or 0 for a method named otherwise (a MemberRef or a
  // slot); `end` is where the entry point data begins.
  std::uint32_t read(std::uint32_t& end) {
    const auto flags = uint();
    constexpr std::uint32_t slot_instead_of_token = 0x08, member_ref_token = 0x10, method_instantiation = 0x04,
                            constrained = 0x20, owner_type = 0x40, update_context = 0x80;
    if (flags & update_context) uint();
    if (flags & owner_type) skip_type(0);
    std::uint32_t rid = uint();
    if (flags & (slot_instead_of_token | member_ref_token)) rid = 0;
    if (flags & method_instantiation) {
      const auto count = uint();
      if (count > 64) bad("a method instantiation has too many arguments");
      for (std::uint32_t i = 0; i < count; ++i) skip_type(0);
    }
    if (flags & constrained) skip_type(0);
    end = at_;
    return rid;
  }

 private:
  std::uint32_t uint() {
    const std::uint32_t b = span_.byte(at_);
    if ((b & 0x80) == 0) {
      at_ += 1;
      return b;
    }
    if ((b & 0xC0) == 0x80) {
      const std::uint32_t v = ((b & 0x3F) << 8) | span_.byte(at_ + 1);
      at_ += 2;
      return v;
    }
    if ((b & 0xE0) == 0xC0) {
      const std::uint32_t v = ((b & 0x1F) << 24) | (std::uint32_t{span_.byte(at_ + 1)} << 16) |
                              (std::uint32_t{span_.byte(at_ + 2)} << 8) | span_.byte(at_ + 3);
      at_ += 4;
      return v;
    }
    bad("a compressed integer of a signature is malformed");
  }
  void skip_type(int depth) {
    if (depth > 32) bad("a type signature nests too deep");
    const auto element = span_.byte(at_++);
    switch (element) {
      case 0x01: case 0x02: case 0x03: case 0x04: case 0x05: case 0x06: case 0x07: case 0x08: case 0x09:
      case 0x0A: case 0x0B: case 0x0C: case 0x0D: case 0x0E: case 0x16: case 0x18: case 0x19: case 0x1C:
      case 0x3E:  // a canonical type argument
        return;
      case 0x0F: case 0x10: case 0x1D: case 0x45:  // pointer, reference, vector, pinned
        return skip_type(depth + 1);
      case 0x11: case 0x12:  // value type, class: a TypeDefOrRef
        uint();
        return;
      case 0x13: case 0x1E:  // type and method generic parameters
        uint();
        return;
      case 0x14: {  // array: element, rank, sizes, lower bounds
        skip_type(depth + 1);
        uint();
        for (auto n = uint(); n > 0; --n) uint();
        for (auto n = uint(); n > 0; --n) uint();
        return;
      }
      case 0x15: {  // generic instantiation
        skip_type(depth + 1);
        const auto count = uint();
        if (count > 64) bad("a generic instantiation has too many arguments");
        for (std::uint32_t i = 0; i < count; ++i) skip_type(depth + 1);
        return;
      }
      case 0x1F: case 0x20:  // custom modifiers
        uint();
        return skip_type(depth + 1);
      case 0x3F:  // a type of another module: its index, then the type
        uint();
        return skip_type(depth + 1);
      default:
        bad("a type signature holds an element type this reader does not know");
    }
  }

  const rva_span& span_;
  std::uint32_t at_;
};

// The layout of the metadata tables (ECMA-335 II.22), as far as the
// NestedClass table: enough to find MethodDef, TypeDef and NestedClass rows.
enum column : std::uint8_t {
  u16 = 2,
  u32 = 4,
  u8 = 1,
  string = 100,
  guid,
  blob,
  // Coded indices.
  type_def_or_ref,
  has_constant,
  has_custom_attribute,
  has_field_marshal,
  has_decl_security,
  member_ref_parent,
  has_semantics,
  method_def_or_ref,
  member_forwarded,
  implementation,
  custom_attribute_type,
  resolution_scope,
  // Simple indices: 200 + the table.
  index = 200,
};
constexpr std::uint8_t table(unsigned t) { return static_cast<std::uint8_t>(index + t); }

constexpr unsigned nested_class_table = 0x29;
const std::vector<std::uint8_t> table_columns[nested_class_table + 1] = {
    {u16, string, guid, guid, guid},                                  // 0x00 Module
    {resolution_scope, string, string},                               // 0x01 TypeRef
    {u32, string, string, type_def_or_ref, table(0x04), table(0x06)},  // 0x02 TypeDef
    {table(0x04)},                                                    // 0x03 FieldPtr
    {u16, string, blob},                                              // 0x04 Field
    {table(0x06)},                                                    // 0x05 MethodPtr
    {u32, u16, u16, string, blob, table(0x08)},                       // 0x06 MethodDef
    {table(0x08)},                                                    // 0x07 ParamPtr
    {u16, u16, string},                                               // 0x08 Param
    {table(0x02), type_def_or_ref},                                   // 0x09 InterfaceImpl
    {member_ref_parent, string, blob},                                // 0x0A MemberRef
    {u8, u8, has_constant, blob},                                     // 0x0B Constant
    {has_custom_attribute, custom_attribute_type, blob},              // 0x0C CustomAttribute
    {has_field_marshal, blob},                                        // 0x0D FieldMarshal
    {u16, has_decl_security, blob},                                   // 0x0E DeclSecurity
    {u16, u32, table(0x02)},                                          // 0x0F ClassLayout
    {u32, table(0x04)},                                               // 0x10 FieldLayout
    {blob},                                                           // 0x11 StandAloneSig
    {table(0x02), table(0x14)},                                       // 0x12 EventMap
    {table(0x14)},                                                    // 0x13 EventPtr
    {u16, string, type_def_or_ref},                                   // 0x14 Event
    {table(0x02), table(0x17)},                                       // 0x15 PropertyMap
    {table(0x17)},                                                    // 0x16 PropertyPtr
    {u16, string, blob},                                              // 0x17 Property
    {u16, table(0x06), has_semantics},                                // 0x18 MethodSemantics
    {table(0x02), method_def_or_ref, method_def_or_ref},              // 0x19 MethodImpl
    {string},                                                         // 0x1A ModuleRef
    {blob},                                                           // 0x1B TypeSpec
    {u16, member_forwarded, string, table(0x1A)},                     // 0x1C ImplMap
    {u32, table(0x04)},                                               // 0x1D FieldRVA
    {u32, u32},                                                       // 0x1E EncLog
    {u32},                                                            // 0x1F EncMap
    {u32, u16, u16, u16, u16, u32, blob, string, string},             // 0x20 Assembly
    {u32},                                                            // 0x21 AssemblyProcessor
    {u32, u32, u32},                                                  // 0x22 AssemblyOS
    {u16, u16, u16, u16, u32, blob, string, string, blob},            // 0x23 AssemblyRef
    {u32, table(0x23)},                                               // 0x24 AssemblyRefProcessor
    {u32, u32, u32, table(0x23)},                                     // 0x25 AssemblyRefOS
    {u32, string, blob},                                              // 0x26 File
    {u32, u32, string, string, implementation},                       // 0x27 ExportedType
    {u32, u32, string, implementation},                               // 0x28 ManifestResource
    {table(0x02), table(0x02)},                                       // 0x29 NestedClass
};

// The tables a coded index may point into, and its tag width.
struct coded_kind {
  std::vector<unsigned> tables;
  unsigned tag_bits;
};
const coded_kind& coded_of(std::uint8_t c) {
  static const coded_kind kinds[] = {
      {{0x02, 0x01, 0x1B}, 2},                                                                  // type_def_or_ref
      {{0x04, 0x08, 0x17}, 2},                                                                  // has_constant
      {{0x06, 0x04, 0x01, 0x02, 0x08, 0x09, 0x0A, 0x00, 0x0E, 0x17, 0x14, 0x11, 0x1A, 0x1B, 0x20,
        0x23, 0x26, 0x27, 0x28, 0x2A, 0x2C, 0x2B},
       5},                                                                                      // has_custom_attribute
      {{0x04, 0x08}, 1},                                                                        // has_field_marshal
      {{0x02, 0x06, 0x20}, 2},                                                                  // has_decl_security
      {{0x02, 0x01, 0x1A, 0x06, 0x1B}, 3},                                                      // member_ref_parent
      {{0x14, 0x17}, 1},                                                                        // has_semantics
      {{0x06, 0x0A}, 1},                                                                        // method_def_or_ref
      {{0x04, 0x06}, 1},                                                                        // member_forwarded
      {{0x26, 0x23, 0x27}, 2},                                                                  // implementation
      {{0x06, 0x0A}, 3},                                                                        // custom_attribute_type
      {{0x00, 0x1A, 0x23, 0x01}, 2},                                                            // resolution_scope
  };
  return kinds[c - type_def_or_ref];
}

}  // namespace

// Just enough of the metadata to name a MethodDef: its name and the
// namespace and name of the type that owns it, nested types joined by "+".
class method_names {
 public:
  explicit method_names(std::span<const std::uint8_t> md) : md_(md) {
    byte_cursor c(md.data(), md.data() + md.size(), "metadata");
    auto offset_now = [&] { return static_cast<std::size_t>(c.position() - md.data()); };
    c.seek(12);
    const auto version_length = c.read<std::uint32_t>();
    c.seek(16 + ((std::size_t{version_length} + 3) & ~std::size_t{3}) + 2);
    const auto stream_count = c.read<std::uint16_t>();
    std::map<std::string, std::pair<std::uint32_t, std::uint32_t>> streams;
    for (std::uint16_t i = 0; i < stream_count; ++i) {
      const auto offset = c.read<std::uint32_t>();
      const auto size = c.read<std::uint32_t>();
      std::string name;
      for (char ch; (ch = static_cast<char>(c.byte())) != '\0' && name.size() < 32;) name += ch;
      c.seek((offset_now() + 3) & ~std::size_t{3});
      streams.emplace(name, std::make_pair(offset, size));
    }
    const auto tables = streams.find("#~");
    const auto strings = streams.find("#Strings");
    if (tables == streams.end() || strings == streams.end()) return;  // "#-" images keep their names unread
    strings_ = strings->second;
    c.seek(tables->second.first + 6);
    const auto heap_sizes = c.byte();
    c.byte();
    const auto valid = c.read<std::uint64_t>();
    c.read<std::uint64_t>();  // sorted
    for (unsigned t = 0; t < 64; ++t)
      if (valid >> t & 1) rows_[t] = c.read<std::uint32_t>();
    if (heap_sizes & 0x40) c.read<std::uint32_t>();
    heap_index_[0] = (heap_sizes & 0x01) ? 4 : 2;
    heap_index_[1] = (heap_sizes & 0x02) ? 4 : 2;
    heap_index_[2] = (heap_sizes & 0x04) ? 4 : 2;
    // Tables reached through pointer tables belong to images being edited,
    // never to ones that run precompiled code.
    if (rows_[0x03] || rows_[0x05] || rows_[0x07] || rows_[0x13] || rows_[0x16]) return;
    std::size_t at = offset_now();
    for (unsigned t = 0; t <= nested_class_table; ++t) {
      start_[t] = at;
      std::size_t row = 0;
      for (const auto column : table_columns[t]) {
        column_at_[t].push_back(row);
        row += width(column);
      }
      row_size_[t] = row;
      at += row * rows_[t];
    }
    if (at > md_.size()) bad("the metadata tables are truncated");
    for (std::uint32_t r = 1; r <= rows_[nested_class_table]; ++r)
      enclosing_[cell(nested_class_table, r, 0)] = cell(nested_class_table, r, 1);
    readable_ = true;
  }

  void name(std::uint32_t rid, ready_to_run_method& m) const {
    if (!readable_ || rid == 0 || rid > rows_[0x06]) return;
    m.name = string_at(cell(0x06, rid, 3));
    // The owner is the last type whose method list starts at or before rid.
    std::uint32_t low = 1, high = rows_[0x02] + 1;
    while (low < high) {
      const std::uint32_t mid = (low + high) / 2;
      if (cell(0x02, mid, 5) <= rid)
        low = mid + 1;
      else
        high = mid;
    }
    std::uint32_t type = low - 1;
    if (type == 0) return;
    m.type_name = string_at(cell(0x02, type, 1));
    for (int depth = 0; depth < 64; ++depth) {
      const auto outer = enclosing_.find(type);
      if (outer == enclosing_.end()) break;
      type = outer->second;
      m.type_name = string_at(cell(0x02, type, 1)) + "+" + m.type_name;
    }
    m.type_namespace = string_at(cell(0x02, type, 2));
  }

 private:
  std::size_t width(std::uint8_t column) const {
    if (column < string) return column;
    if (column <= blob) return heap_index_[column - string];
    if (column >= index) return rows_[column - index] < 0x10000 ? 2 : 4;
    const auto& kind = coded_of(column);
    std::uint32_t most = 0;
    for (const auto t : kind.tables) most = std::max(most, rows_[t]);
    return most < (1u << (16 - kind.tag_bits)) ? 2 : 4;
  }
  // A column of a row (1-based) as an unsigned value.
  std::uint32_t cell(unsigned t, std::uint32_t row, std::size_t column) const {
    const std::size_t at = start_[t] + (row - 1) * row_size_[t] + column_at_[t][column];
    const std::size_t size = width(table_columns[t][column]);
    if (at + size > md_.size()) bad("a metadata cell leaves the tables");
    std::uint32_t v = 0;
    std::memcpy(&v, md_.data() + at, size);
    return v;
  }
  std::string string_at(std::uint32_t index) const {
    if (index >= strings_.second) return {};
    const std::size_t from = std::size_t{strings_.first} + index;
    const std::size_t end = std::min(md_.size(), std::size_t{strings_.first} + strings_.second);
    std::size_t to = from;
    while (to < end && md_[to] != 0) ++to;
    return std::string(reinterpret_cast<const char*>(md_.data() + from), to - from);
  }

  std::span<const std::uint8_t> md_;
  bool readable_ = false;
  std::pair<std::uint32_t, std::uint32_t> strings_{0, 0};
  std::array<std::size_t, 3> heap_index_{2, 2, 2};
  std::array<std::uint32_t, 64> rows_{};
  std::array<std::size_t, nested_class_table + 1> start_{}, row_size_{};
  std::array<std::vector<std::size_t>, nested_class_table + 1> column_at_;
  std::map<std::uint32_t, std::uint32_t> enclosing_;  // nested TypeDef -> enclosing TypeDef
};

ready_to_run_code::ready_to_run_code(const portable_executable& image) {
  const auto [header_rva, header_size] = image.managed_native_header();
  if (header_rva == 0 || !is_amd64(image.machine())) return;
  const auto* header = image.at_rva(header_rva, 16);
  if (header == nullptr) bad("the header is outside the image");
  const rva_span head(header, header_rva, 16);
  if (head.at<std::uint32_t>(header_rva) != ready_to_run_signature) return;
  const auto section_count = head.at<std::uint32_t>(header_rva + 12);
  if (section_count > 4096) bad("the header claims too many sections");
  const auto* table = image.at_rva(header_rva + 16, section_count * 12);
  if (table == nullptr) bad("the section table is outside the image");
  const rva_span sections(table, header_rva + 16, section_count * 12);
  std::pair<std::uint32_t, std::uint32_t> functions{0, 0}, entry_points{0, 0}, instances{0, 0};
  for (std::uint32_t i = 0; i < section_count; ++i) {
    const std::uint32_t at = header_rva + 16 + 12 * i;
    const auto type = sections.at<std::uint32_t>(at);
    const std::pair section{sections.at<std::uint32_t>(at + 4), sections.at<std::uint32_t>(at + 8)};
    if (type == runtime_functions_section) functions = section;
    if (type == method_def_entry_points_section) entry_points = section;
    if (type == instance_method_entry_points_section) instances = section;
    // A component of a composite image keeps its code in the composite file.
    if (type == owner_composite_executable_section) return;
  }
  if (functions.second == 0 || entry_points.second == 0) return;
  const auto* function_bytes = image.at_rva(functions.first, functions.second);
  const auto* entry_bytes = image.at_rva(entry_points.first, entry_points.second);
  if (function_bytes == nullptr || entry_bytes == nullptr) bad("a section is outside the image");
  const rva_span runtime_functions(function_bytes, functions.first, functions.second);
  const std::uint32_t function_count = functions.second / 12;
  const rva_span entries(entry_bytes, entry_points.first, entry_points.second);
  const native_array array(entries, entry_points.first);
  // One entry per MethodDef row at most: a larger count is a lie that would
  // only cost time.
  if (array.size() > (1u << 24)) bad("the entry point table claims too many methods");

  for (std::uint32_t index = 0; index < array.size(); ++index) {
    std::uint32_t offset = 0;
    if (!array.try_get(index, offset)) continue;
    std::uint32_t id = 0;
    entries.decode_unsigned(offset, id);
    // The low bit says whether fixups follow the id.
    id = (id & 1) ? id >> 2 : id >> 1;
    if (id >= function_count) bad("an entry point names a runtime function that is not there");
    methods_.push_back({runtime_functions.at<std::uint32_t>(functions.first + 12 * id),
                        runtime_functions.at<std::uint32_t>(functions.first + 12 * id + 4), 0x06000000u | (index + 1)});
  }
  // Generic methods compiled for given type arguments: a hashtable whose
  // entries are a method signature followed by the same entry data.
  if (instances.second != 0) {
    if (const auto* instance_bytes = image.at_rva(instances.first, instances.second)) {
      const rva_span table(instance_bytes, instances.first, instances.second);
      read_instances(table, instances.first, runtime_functions, functions.first, function_count);
    }
  }
  std::sort(methods_.begin(), methods_.end(), [](const auto& a, const auto& b) { return a.begin_rva < b.begin_rva; });
  // An instantiation shares its code with others: one range, one method.
  methods_.erase(std::unique(methods_.begin(), methods_.end(),
                             [](const auto& a, const auto& b) { return a.begin_rva == b.begin_rva; }),
                 methods_.end());
  if (!methods_.empty()) names_ = std::make_unique<method_names>(image.metadata());
}

ready_to_run_code::~ready_to_run_code() = default;

metadata_method_names::metadata_method_names(std::span<const std::uint8_t> metadata)
    : names_(std::make_unique<method_names>(metadata)) {}
metadata_method_names::~metadata_method_names() = default;
metadata_method_names::metadata_method_names(metadata_method_names&&) noexcept = default;

ready_to_run_method metadata_method_names::named(std::uint32_t token) const {
  ready_to_run_method m;
  m.token = token;
  if ((token >> 24) == 0x06) names_->name(token & 0xFFFFFF, m);
  return m;
}

void ready_to_run_code::read_instances(const rva_span& table, std::uint32_t rva, const rva_span& functions,
                                       std::uint32_t functions_rva, std::uint32_t function_count) {
  const std::uint32_t header = table.byte(rva);
  const std::uint32_t base = rva + 1;
  const std::uint32_t shift = header >> 2;
  if (shift > 24) bad("the instance table claims too many buckets");
  const std::uint32_t entry_index_size = header & 3;
  const std::uint32_t buckets = 1u << shift;
  auto bucket_offset = [&](std::uint32_t bucket) -> std::uint32_t {
    if (entry_index_size == 0) return table.byte(base + bucket);
    if (entry_index_size == 1) return table.at<std::uint16_t>(base + 2 * bucket);
    return table.at<std::uint32_t>(base + 4 * bucket);
  };
  for (std::uint32_t bucket = 0; bucket < buckets; ++bucket) {
    std::uint32_t at = base + bucket_offset(bucket);
    const std::uint32_t end = base + bucket_offset(bucket + 1);
    while (at < end) {
      at += 1;  // the low byte of the hash code
      std::int32_t delta = 0;
      const std::uint32_t entry_at = at;
      at = decode_signed(table, at, delta);
      try {
        std::uint32_t data = 0;
        const auto rid = method_signature(table, entry_at + static_cast<std::uint32_t>(delta)).read(data);
        std::uint32_t id = 0;
        table.decode_unsigned(data, id);
        id = (id & 1) ? id >> 2 : id >> 1;
        if (rid == 0 || id >= function_count) continue;
        methods_.push_back({functions.at<std::uint32_t>(functions_rva + 12 * id),
                            functions.at<std::uint32_t>(functions_rva + 12 * id + 4), 0x06000000u | rid});
      } catch (const std::runtime_error&) {
        // An entry this reader cannot follow resolves nothing; the others do.
      }
    }
  }
}

std::optional<ready_to_run_method> ready_to_run_code::find(std::uint32_t rva) const {
  auto m = std::upper_bound(methods_.begin(), methods_.end(), rva,
                            [](std::uint32_t r, const code_range& x) { return r < x.begin_rva; });
  if (m == methods_.begin()) return std::nullopt;
  --m;
  if (rva >= m->end_rva) return std::nullopt;
  return named(*m);
}

ready_to_run_method ready_to_run_code::named(const code_range& code) const {
  ready_to_run_method m;
  m.begin_rva = code.begin_rva;
  m.end_rva = code.end_rva;
  m.token = code.token;
  if (names_) names_->name(code.token & 0x00FFFFFFu, m);
  return m;
}

std::vector<ready_to_run_method> read_ready_to_run_methods(const portable_executable& image) {
  const ready_to_run_code code(image);
  std::vector<ready_to_run_method> methods;
  methods.reserve(code.methods().size());
  for (const auto& range : code.methods()) methods.push_back(code.named(range));
  return methods;
}

}  // namespace tw
