#pragma once

// A lazy view over one event payload whose layout is a list of field types.
// get<N>() locates fields 0..N on first use, each from the end of the one
// before; fields after N are never touched. A field that does not fit in the
// payload marks the parser failed, and reading it throws.

#include "tw/utility/guid.h"
#include "tw/utility/utf.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>

namespace tw {

template <class... F>
struct field_list {
  static constexpr std::size_t size = sizeof...(F);
};

// UTF-16 text inside a payload, at any alignment.
struct utf16_text {
  const std::uint8_t* data = nullptr;
  std::size_t units = 0;

  std::u16string u16() const {
    std::u16string s(units, u'\0');
    if (units) std::memcpy(s.data(), data, units * 2);
    return s;
  }
  std::string utf8() const { return kv521::utf::utf16_to_utf8(u16()); }
};

// Fixed-width elements of a counted array.
struct array_view {
  const std::uint8_t* data = nullptr;
  std::size_t count = 0;
  std::size_t element_size = 0;

  std::uint64_t operator[](std::size_t i) const noexcept {
    std::uint64_t v = 0;
    std::memcpy(&v, data + i * element_size, element_size);  // little-endian host
    return v;
  }
  std::size_t size() const noexcept { return count; }
};

namespace fields {

template <class T>
struct integral {
  using value_type = T;
  static std::optional<std::size_t> size(const std::uint8_t*, std::size_t left, int) {
    return sizeof(T) <= left ? std::optional<std::size_t>(sizeof(T)) : std::nullopt;
  }
  static T decode(const std::uint8_t* at, std::size_t, int) {
    T v;
    std::memcpy(&v, at, sizeof(T));
    return v;
  }
};

// A pointer-sized value: 4 or 8 bytes as the trace says.
struct pointer {
  using value_type = std::uint64_t;
  static std::optional<std::size_t> size(const std::uint8_t*, std::size_t left, int pointer_size) {
    const auto n = static_cast<std::size_t>(pointer_size == 4 ? 4 : 8);
    return n <= left ? std::optional<std::size_t>(n) : std::nullopt;
  }
  static std::uint64_t decode(const std::uint8_t* at, std::size_t n, int) {
    std::uint64_t v = 0;
    std::memcpy(&v, at, n);
    return v;
  }
};

// Zero-terminated UTF-16.
struct utf16z {
  using value_type = utf16_text;
  static std::optional<std::size_t> size(const std::uint8_t* at, std::size_t left, int) {
    for (std::size_t i = 0; i + 1 < left; i += 2)
      if (at[i] == 0 && at[i + 1] == 0) return i + 2;
    return std::nullopt;
  }
  static utf16_text decode(const std::uint8_t* at, std::size_t n, int) { return {at, n / 2 - 1}; }
};

// A GUID as a payload holds one: in the windows byte order.
struct guid {
  using value_type = tw::guid;
  static std::optional<std::size_t> size(const std::uint8_t*, std::size_t left, int) {
    return 16 <= left ? std::optional<std::size_t>(16) : std::nullopt;
  }
  static value_type decode(const std::uint8_t* at, std::size_t, int) {
    return tw::guid::from_bytes(at, guid_byte_order::windows);
  }
};

// Elements of a fixed-width field type, as many as field CountIndex says.
template <class Element, std::size_t CountIndex>
struct counted_array {
  using value_type = array_view;
  static constexpr std::size_t count_index = CountIndex;
};

using u8 = integral<std::uint8_t>;
using u16 = integral<std::uint16_t>;
using u32 = integral<std::uint32_t>;
using u64 = integral<std::uint64_t>;
using i32 = integral<std::int32_t>;
using i64 = integral<std::int64_t>;
using f64 = integral<double>;

}  // namespace fields

template <class T>
struct is_counted_array : std::false_type {};
template <class E, std::size_t I>
struct is_counted_array<fields::counted_array<E, I>> : std::true_type {};

template <class List>
class pattern_parser;

template <class... F>
class pattern_parser<field_list<F...>> {
  using types = std::tuple<F...>;
  static constexpr std::size_t count = sizeof...(F);

 public:
  pattern_parser(const std::uint8_t* begin, const std::uint8_t* end, int pointer_size = 8) noexcept
      : begin_(begin), size_(static_cast<std::size_t>(end - begin)), pointer_size_(pointer_size) {}

  template <std::size_t N>
  auto get() {
    static_assert(N < count, "field index out of range");
    locate<N>();
    using field = std::tuple_element_t<N, types>;
    const std::size_t offset = offsets_[N];
    const std::size_t length = offsets_[N + 1] - offset;
    if constexpr (is_counted_array<field>::value) {
      const auto n = static_cast<std::size_t>(get<field::count_index>());
      return array_view{begin_ + offset, n, n ? length / n : 0};
    } else {
      return field::decode(begin_ + offset, length, pointer_size_);
    }
  }

  bool failed() const noexcept { return failed_; }
  std::size_t located() const noexcept { return located_; }
  // Bytes taken by fields 0..N.
  template <std::size_t N>
  std::size_t end_of() {
    locate<N>();
    return offsets_[N + 1];
  }

 private:
  template <std::size_t N>
  void locate() {
    if (located_ > N) return;
    locate_up_to(std::make_index_sequence<N + 1>{});
    if (located_ <= N) throw std::runtime_error("Access to unparsed data");
  }

  template <std::size_t... I>
  void locate_up_to(std::index_sequence<I...>) {
    (void)((locate_one<I>()) && ...);
  }

  // Returns false once a field does not fit; later fields stay unlocated.
  template <std::size_t I>
  bool locate_one() {
    if (failed_) return false;
    if (located_ > I) return true;
    using field = std::tuple_element_t<I, types>;
    const std::size_t at = offsets_[I];
    const std::size_t left = size_ - at;
    std::optional<std::size_t> n;
    if constexpr (is_counted_array<field>::value) {
      static_assert(field::count_index < I, "an array's count must come before it");
      const auto items = static_cast<std::size_t>(get<field::count_index>());
      const auto width = element_width<field>();
      if (width && items <= left / width) n = items * width;
    } else {
      n = field::size(begin_ + at, left, pointer_size_);
    }
    if (!n) {
      failed_ = true;
      return false;
    }
    offsets_[I + 1] = at + *n;
    located_ = I + 1;
    return true;
  }

  template <class Field>
  std::size_t element_width() const {
    return element_width_of(static_cast<Field*>(nullptr));
  }
  template <class E, std::size_t C>
  std::size_t element_width_of(fields::counted_array<E, C>*) const {
    if constexpr (std::is_same_v<E, fields::pointer>)
      return pointer_size_ == 4 ? 4 : 8;
    else
      return sizeof(typename E::value_type);
  }

  const std::uint8_t* begin_;
  std::size_t size_;
  int pointer_size_;
  std::array<std::size_t, count + 1> offsets_{};
  std::size_t located_ = 0;
  bool failed_ = false;
};

}  // namespace tw
