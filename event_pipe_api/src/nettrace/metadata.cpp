#include "event_pipe_api/src/nettrace/metadata.h"

#include "tw/utility/utf.h"

#include <boost/format.hpp>

namespace tarnwell::nettrace {

namespace {

constexpr const char* type_code_names[] = {
    "Empty", "Object", "DBNull", "Boolean", "Char",    "SByte",   "Byte",     "Int16", "UInt16", "Int32",
    "UInt32", "Int64", "UInt64", "Single",  "Double",  "Decimal", "DateTime", "Guid",  "String", "Array",
};

// Deep nesting would only come from a hostile stream; refuse it before the
// recursion does any harm.
constexpr int max_object_depth = 32;

}  // namespace

std::string to_string_checked(TypeCode code) {
  const auto v = static_cast<std::int32_t>(code);
  if (v >= 0 && v <= 19) return type_code_names[v];
  return std::to_string(v);
}

std::optional<std::uint64_t> type_code_to_mapped_field_type_index(TypeCode code) noexcept {
  switch (code) {
    case TypeCode::SByte: return 0;
    case TypeCode::Byte: return 1;
    case TypeCode::Int16: return 2;
    case TypeCode::UInt16: return 3;
    case TypeCode::Int32: return 4;
    case TypeCode::UInt32: return 5;
    case TypeCode::Int64: return 6;
    case TypeCode::UInt64: return 7;
    case TypeCode::Single: return 8;
    case TypeCode::Double: return 9;
    case TypeCode::String: return 12;
    default: return std::nullopt;
  }
}

std::string MetadataHeader::to_string() const {
  return (boost::format("metadata id is %d, provider name is \"%s\", event id is %d, event name is \"%s\", "
                        "keywords are %#08x, version is %d, level is %d") %
          metadata_id % kv521::utf::utf16_to_utf8(provider_name) % event_id %
          kv521::utf::utf16_to_utf8(event_name) % keywords % version % level)
      .str();
}

MetadataHeader read_metadata_header(const std::uint8_t* begin, const std::uint8_t* end, std::size_t& consumed) {
  byte_cursor c(begin, end, "metadata payload");
  MetadataHeader h;
  h.metadata_id = c.read<std::int32_t>();
  auto [provider, provider_units] = c.utf16z();
  h.provider_name = load_utf16(provider, provider_units);
  h.event_id = c.read<std::int32_t>();
  auto [name, name_units] = c.utf16z();
  h.event_name = load_utf16(name, name_units);
  h.keywords = c.read<std::uint64_t>();
  h.version = c.read<std::int32_t>();
  h.level = c.read<std::int32_t>();
  consumed = c.consumed();
  return h;
}

event_pipe_metadata_payload_description::event_pipe_metadata_payload_description(byte_cursor& cursor) {
  read_fields(cursor, 0);
  fields.reserve(names.size());
  for (std::size_t i = 0; i < names.size(); ++i) fields.emplace_back(names[i].c_str(), indices_[i]);
}

void event_pipe_metadata_payload_description::read_fields(byte_cursor& cursor, int depth) {
  if (depth > max_object_depth) throw std::runtime_error("Payload description nests objects too deeply");
  const auto count = cursor.read<std::int32_t>();
  if (count < 0) throw std::runtime_error("Payload description has a negative field count");
  // Every field takes at least four bytes: a count beyond that is a lie.
  if (static_cast<std::size_t>(count) > cursor.remaining() / 4)
    throw std::runtime_error("Payload description field count " + std::to_string(count) + " exceeds its payload");
  for (std::int32_t i = 0; i < count; ++i) {
    const auto code = static_cast<TypeCode>(cursor.read<std::int32_t>());
    if (code == TypeCode::Object) {
      read_fields(cursor, depth + 1);
      continue;
    }
    auto [name, units] = cursor.utf16z();
    names.push_back(kv521::utf::utf16_to_utf8(load_utf16(name, units)));
    const auto index = type_code_to_mapped_field_type_index(code);
    if (!index) throw std::runtime_error("Unexpected TypeCode: " + to_string_checked(code));
    indices_.push_back(*index);
  }
}

event_pipe_metadata_reader::event_pipe_metadata_reader(std::vector<std::uint8_t> payload,
                                                       const std::u16string& provider_name,
                                                       const std::u16string& event_name,
                                                       std::size_t description_offset)
    : payload_(std::move(payload)),
      provider_name_(kv521::utf::utf16_to_utf8(provider_name)),
      event_name_(kv521::utf::utf16_to_utf8(event_name)),
      description_offset_(description_offset) {}

const collector::metadata_payload_description& event_pipe_metadata_reader::get_payload_description() {
  if (description_) return *description_;
  if (!payload_) throw std::runtime_error("event_blob was not provided");
  const auto* begin = payload_->data();
  const auto* end = begin + payload_->size();
  if (description_offset_ > payload_->size()) throw std::runtime_error("Payload description offset past the payload");
  byte_cursor cursor(begin + description_offset_, end, "payload description");
  description_.emplace(cursor);
  return *description_;
}

}  // namespace tarnwell::nettrace
