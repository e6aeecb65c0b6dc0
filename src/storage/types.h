// Runtime descriptions of the key and value types a table is stored with: the built-in
// scalar types and tuples of them. A table definition is plain data built from these.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

#include "error.h"

namespace redb {

enum class Scalar : uint8_t { str, bytes, u8, u16, u32, u64 };

class TypeDesc {
 public:
  static constexpr size_t max_elements = 4;

  static constexpr TypeDesc scalar(Scalar s) { return TypeDesc(s); }
  // A tuple in the current encoding (varint length prefixes).
  static constexpr TypeDesc tuple(std::initializer_list<Scalar> elements) { return TypeDesc(elements, false); }
  // A tuple in the legacy encoding (u32 length prefixes, classification byte 1).
  static constexpr TypeDesc legacy_tuple(std::initializer_list<Scalar> elements) { return TypeDesc(elements, true); }

  bool is_tuple() const { return tuple_; }
  bool is_legacy() const { return legacy_; }
  size_t element_count() const { return tuple_ ? count_ : 1; }
  Scalar element_type(size_t i) const { return elements_[i]; }

  // The stored type name without its classification byte, e.g. "(&str,u64)".
  std::string name() const;
  // The classification byte stored before the name: 1 internal, 3 internal (v2 tuples).
  uint8_t classification() const;
  // Classification byte followed by the name, as stored in a table definition.
  std::string stored_name() const;
  // Width of every encoding when the type is fixed-width.
  std::optional<uint32_t> fixed_width() const;

  // Checks that `encoded` decodes under this type: tuple prefixes within bounds, fixed-width
  // parts of their exact width, text valid UTF-8. The error is "DB corrupted: {what}".
  Status validate(std::string_view encoded) const;
  // Orders two encodings by typed value (text by bytes, integers numerically, tuples element
  // by element). Total and safe on any bytes; meaningful on validated encodings.
  int compare(std::string_view a, std::string_view b) const;
  // The elements of an encoding (one for a scalar), as views into it.
  using Elements = std::array<std::string_view, max_elements>;
  // validate() that also hands out the elements of `encoded` on success.
  Status validate(std::string_view encoded, Elements& elements) const;
  // compare() of two encodings already split by validate().
  int compare_elements(const Elements& a, const Elements& b) const;
  // compare(a, b) for a `b` whose elements split() handed out (or nullptr when it failed):
  // only `a` is split, for comparing one key with many.
  int compare_to_split(std::string_view a, std::string_view b, const Elements* b_elements) const;
  // Element i of a validated encoding (the whole encoding for a scalar), without copying.
  // Empty when `encoded` does not decode.
  std::string_view element(std::string_view encoded, size_t i) const;
  // Element 0 of an encoding (the whole encoding for a scalar), decoding no more of it than
  // the length prefixes in front of that element: its bytes must lie within `encoded`, a
  // fixed-width element must be whole. Its text is not checked. The errors are validate()'s.
  Result<std::string_view> first_element(std::string_view encoded) const;
  // validate() without the UTF-8 check of text elements: the elements of an encoding that is
  // only compared, never handed out.
  Status split(std::string_view encoded, Elements& elements) const;
  // Orders two encodings of element i (as the functions above hand them out).
  int compare_element(size_t i, std::string_view a, std::string_view b) const;

  // The type a stored name (classification byte + name) denotes, when it is one of the types
  // above: "&str", "&[u8]", "u8" ... "u64", or a tuple of 2 to 4 of them. A var-width tuple is
  // current with byte 3 and legacy with byte 1.
  static std::optional<TypeDesc> from_stored_name(std::string_view stored);

  friend bool operator==(const TypeDesc&, const TypeDesc&) = default;

 private:
  constexpr explicit TypeDesc(Scalar s) : elements_{s}, count_(1), tuple_(false), legacy_(false) {}
  constexpr TypeDesc(std::initializer_list<Scalar> elements, bool legacy)
      : elements_{}, count_(0), tuple_(true), legacy_(legacy) {
    for (Scalar s : elements) elements_[count_++] = s;
  }

  std::array<Scalar, max_elements> elements_;
  uint8_t count_;
  bool tuple_;
  bool legacy_;
};

}  // namespace redb
