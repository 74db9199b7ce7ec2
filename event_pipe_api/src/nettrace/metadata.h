#pragma once

// Event metadata: what each metadata id of a stream stands for (provider,
// event id, name, version) and, on demand, the layout of its payload.

#include "tw/utility/byte_cursor.h"
#include "event_pipe_api/src/nettrace/event_trace_record.h"

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tarnwell::collector {

class metadata_payload_description {
 public:
  virtual ~metadata_payload_description() = default;
  // (field name, field-type index), in payload order.
  std::vector<std::pair<const char*, std::uint64_t>> fields;
};

class metadata_reader {
 public:
  virtual const char* get_event_name() const = 0;
  virtual const char* get_provider_name() const = 0;
  virtual const metadata_payload_description& get_payload_description() = 0;
  virtual ~metadata_reader() = default;
};

}  // namespace tarnwell::collector

namespace tarnwell::nettrace {

using tw::byte_cursor;
using tw::load_utf16;
using tw::truncated_data;

enum class TypeCode : std::int32_t {
  Empty = 0, Object = 1, DBNull = 2, Boolean = 3, Char = 4, SByte = 5, Byte = 6, Int16 = 7, UInt16 = 8,
  Int32 = 9, UInt32 = 10, Int64 = 11, UInt64 = 12, Single = 13, Double = 14, Decimal = 15, DateTime = 16,
  Guid = 17, String = 18, Array = 19,
};

std::string to_string_checked(TypeCode code);

// The field-type index a TypeCode maps to, or none when it is not supported.
std::optional<std::uint64_t> type_code_to_mapped_field_type_index(TypeCode code) noexcept;

struct MetadataHeader {
  std::int32_t metadata_id = 0;
  std::u16string provider_name;
  std::int32_t event_id = 0;
  std::u16string event_name;
  std::uint64_t keywords = 0;
  std::int32_t version = 0;
  std::int32_t level = 0;

  std::string to_string() const;
};

class event_pipe_metadata_payload_description final : public collector::metadata_payload_description {
 public:
  // Reads a parameter description (count, then fields), flattening objects.
  explicit event_pipe_metadata_payload_description(byte_cursor& cursor);

  std::vector<std::string> names;

 private:
  void read_fields(byte_cursor& cursor, int depth);
  std::vector<std::uint64_t> indices_;
};

class event_pipe_metadata_reader final : public collector::metadata_reader {
 public:
  event_pipe_metadata_reader(std::vector<std::uint8_t> payload, const std::u16string& provider_name,
                             const std::u16string& event_name, std::size_t description_offset);

  const char* get_event_name() const override { return event_name_.c_str(); }
  const char* get_provider_name() const override { return provider_name_.c_str(); }
  const collector::metadata_payload_description& get_payload_description() override;

  const std::string& provider_name() const noexcept { return provider_name_; }
  const std::string& event_name() const noexcept { return event_name_; }

 private:
  std::optional<std::vector<std::uint8_t>> payload_;
  std::string provider_name_;
  std::string event_name_;
  std::size_t description_offset_;
  std::optional<event_pipe_metadata_payload_description> description_;
};

// Decodes fields 1 to 7 of a metadata event's payload; `consumed` receives
// the offset at which the parameter description starts.
MetadataHeader read_metadata_header(const std::uint8_t* begin, const std::uint8_t* end, std::size_t& consumed);

}  // namespace tarnwell::nettrace
