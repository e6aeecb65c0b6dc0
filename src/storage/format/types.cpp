// Encodings of the built-in types.
//
// Scalars: `&str` and `&[u8]` are their bytes; u8/u16/u32/u64 are fixed-width little-endian.
// Tuples of fixed-width elements only are the plain concatenation. Tuples with a var-width
// element, current encoding (classification 3): a varint length for each var-width element
// among the first N-1, then the element bytes; the last element takes the rest. Varint: one
// byte below 254, else FE + u16 LE, else FF + u32 LE. Legacy encoding (classification 1): a u32
// LE length for every element but the last, fixed-width ones included, then the bytes.
// Ordering is by typed value, element by element; never by the encoded bytes.
#include "types.h"

#include <fmt/format.h>

#include "format/little_endian.h"
#include "format/utf8.h"

namespace redb {
namespace {

std::string_view scalar_name(Scalar s) {
  switch (s) {
    case Scalar::str: return "&str";
    case Scalar::bytes: return "&[u8]";
    case Scalar::u8: return "u8";
    case Scalar::u16: return "u16";
    case Scalar::u32: return "u32";
    case Scalar::u64: return "u64";
  }
  return "?";
}

// Width of a fixed-width scalar; 0 for the var-width ones.
uint32_t scalar_width(Scalar s) {
  switch (s) {
    case Scalar::u8: return 1;
    case Scalar::u16: return 2;
    case Scalar::u32: return 4;
    case Scalar::u64: return 8;
    default: return 0;
  }
}

bool is_var(Scalar s) { return scalar_width(s) == 0; }

uint64_t load_integer(std::string_view bytes) {
  uint64_t value = 0;
  for (size_t i = bytes.size(); i-- > 0;) value = (value << 8) | static_cast<uint8_t>(bytes[i]);
  return value;
}

int compare_scalar(Scalar s, std::string_view a, std::string_view b) {
  if (is_var(s)) {
    int c = a.compare(b);
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
  }
  uint64_t x = load_integer(a), y = load_integer(b);
  return x < y ? -1 : (x > y ? 1 : 0);
}

enum class SplitFailure { none, prefix_past_end, wrong_width };

// Splits a tuple encoding into its elements. On failure, `bad_element` names the element.
SplitFailure split_tuple(const TypeDesc& type, std::string_view encoded, std::string_view* elements,
                         size_t& bad_element) {
  const size_t count = type.element_count();
  const auto* data = reinterpret_cast<const uint8_t*>(encoded.data());
  const size_t size = encoded.size();
  size_t lengths[TypeDesc::max_elements] = {};
  size_t position = 0;
  bool any_var = false;
  for (size_t i = 0; i < count; ++i) any_var |= is_var(type.element_type(i));

  if (any_var) {
    for (size_t i = 0; i + 1 < count; ++i) {
      Scalar s = type.element_type(i);
      if (type.is_legacy()) {
        if (size - position < 4) return bad_element = i, SplitFailure::prefix_past_end;
        lengths[i] = load_u32(data + position);
        position += 4;
      } else if (is_var(s)) {
        if (position >= size) return bad_element = i, SplitFailure::prefix_past_end;
        uint8_t first = data[position++];
        if (first < 254) {
          lengths[i] = first;
        } else if (first == 254) {
          if (size - position < 2) return bad_element = i, SplitFailure::prefix_past_end;
          lengths[i] = load_u16(data + position);
          position += 2;
        } else {
          if (size - position < 4) return bad_element = i, SplitFailure::prefix_past_end;
          lengths[i] = load_u32(data + position);
          position += 4;
        }
      } else {
        lengths[i] = scalar_width(s);
      }
    }
  } else {
    for (size_t i = 0; i + 1 < count; ++i) lengths[i] = scalar_width(type.element_type(i));
  }

  for (size_t i = 0; i + 1 < count; ++i) {
    Scalar s = type.element_type(i);
    if (!is_var(s) && lengths[i] != scalar_width(s)) return bad_element = i, SplitFailure::wrong_width;
    if (lengths[i] > size - position)
      return bad_element = i, is_var(s) ? SplitFailure::prefix_past_end : SplitFailure::wrong_width;
    elements[i] = encoded.substr(position, lengths[i]);
    position += lengths[i];
  }
  Scalar last = type.element_type(count - 1);
  elements[count - 1] = encoded.substr(position);
  if (!is_var(last) && elements[count - 1].size() != scalar_width(last))
    return bad_element = count - 1, SplitFailure::wrong_width;
  return SplitFailure::none;
}

Error prefix_past_end(const TypeDesc& type) {
  return Error::corrupted(fmt::format("stored {} has a length prefix past its end", type.name()));
}

Error wrong_element_width(const TypeDesc& type, size_t element) {
  return Error::corrupted(
      fmt::format("stored {} has a {} element of the wrong width", type.name(), scalar_name(type.element_type(element))));
}

Error wrong_scalar_width(Scalar s, size_t size) {
  return Error::corrupted(fmt::format("stored {} has {} bytes instead of {}", scalar_name(s), size, scalar_width(s)));
}

bool split_ok(const TypeDesc& type, std::string_view encoded, std::string_view* elements) {
  size_t bad = 0;
  return split_tuple(type, encoded, elements, bad) == SplitFailure::none;
}

std::optional<Scalar> scalar_from_name(std::string_view name) {
  for (Scalar s : {Scalar::str, Scalar::bytes, Scalar::u8, Scalar::u16, Scalar::u32, Scalar::u64})
    if (scalar_name(s) == name) return s;
  return std::nullopt;
}

}  // namespace

std::string TypeDesc::name() const {
  if (!tuple_) return std::string(scalar_name(elements_[0]));
  std::string name = "(";
  for (size_t i = 0; i < count_; ++i) {
    if (i > 0) name += ',';
    name += scalar_name(elements_[i]);
  }
  name += ')';
  return name;
}

uint8_t TypeDesc::classification() const {
  if (!tuple_ || legacy_) return 1;
  for (size_t i = 0; i < count_; ++i)
    if (is_var(elements_[i])) return 3;
  return 1;
}

std::string TypeDesc::stored_name() const {
  std::string stored(1, static_cast<char>(classification()));
  stored += name();
  return stored;
}

std::optional<uint32_t> TypeDesc::fixed_width() const {
  uint32_t width = 0;
  for (size_t i = 0; i < element_count(); ++i) {
    uint32_t w = scalar_width(elements_[i]);
    if (w == 0) return std::nullopt;
    width += w;
  }
  return width;
}

Status TypeDesc::validate(std::string_view encoded) const {
  Elements elements;
  return validate(encoded, elements);
}

Status TypeDesc::validate(std::string_view encoded, Elements& elements) const {
  if (auto split_status = split(encoded, elements); !split_status) return split_status;
  if (!tuple_) {
    if (elements_[0] == Scalar::str && !is_valid_utf8(encoded))
      return std::unexpected(Error::corrupted("stored &str is not valid UTF-8"));
    return {};
  }
  for (size_t i = 0; i < count_; ++i) {
    if (elements_[i] == Scalar::str && !is_valid_utf8(elements[i]))
      return std::unexpected(Error::corrupted(fmt::format("stored {} has an element that is not valid UTF-8", name())));
  }
  return {};
}

Status TypeDesc::split(std::string_view encoded, Elements& elements) const {
  if (!tuple_) {
    Scalar s = elements_[0];
    if (!is_var(s) && encoded.size() != scalar_width(s)) return std::unexpected(wrong_scalar_width(s, encoded.size()));
    elements[0] = encoded;
    return {};
  }
  size_t bad = 0;
  switch (split_tuple(*this, encoded, elements.data(), bad)) {
    case SplitFailure::prefix_past_end: return std::unexpected(prefix_past_end(*this));
    case SplitFailure::wrong_width: return std::unexpected(wrong_element_width(*this, bad));
    case SplitFailure::none: break;
  }
  return {};
}

Result<std::string_view> TypeDesc::first_element(std::string_view encoded) const {
  if (!tuple_) {
    Scalar s = elements_[0];
    if (!is_var(s) && encoded.size() != scalar_width(s)) return std::unexpected(wrong_scalar_width(s, encoded.size()));
    return encoded;
  }
  const auto* data = reinterpret_cast<const uint8_t*>(encoded.data());
  const size_t size = encoded.size();
  bool any_var = false;
  for (size_t i = 0; i < count_; ++i) any_var |= is_var(elements_[i]);
  // Skip the length prefixes (every one of them stands before the first element's bytes),
  // keeping the first element's length.
  size_t position = 0;
  size_t first_length = scalar_width(elements_[0]);
  if (any_var) {
    for (size_t i = 0; i + 1 < count_; ++i) {
      size_t length = scalar_width(elements_[i]);
      if (legacy_) {
        if (size - position < 4) return std::unexpected(prefix_past_end(*this));
        length = load_u32(data + position);
        position += 4;
      } else if (is_var(elements_[i])) {
        if (position >= size) return std::unexpected(prefix_past_end(*this));
        uint8_t first = data[position++];
        if (first < 254) {
          length = first;
        } else {
          size_t width = first == 254 ? 2 : 4;
          if (size - position < width) return std::unexpected(prefix_past_end(*this));
          length = width == 2 ? load_u16(data + position) : load_u32(data + position);
          position += width;
        }
      }
      if (i == 0) first_length = length;
    }
  }
  if (!is_var(elements_[0]) && first_length != scalar_width(elements_[0]))
    return std::unexpected(wrong_element_width(*this, 0));
  if (first_length > size - position)
    return std::unexpected(is_var(elements_[0]) ? prefix_past_end(*this) : wrong_element_width(*this, 0));
  return encoded.substr(position, first_length);
}

int TypeDesc::compare_element(size_t i, std::string_view a, std::string_view b) const {
  return compare_scalar(elements_[i], a, b);
}

int TypeDesc::compare_elements(const Elements& a, const Elements& b) const {
  for (size_t i = 0; i < element_count(); ++i) {
    if (int c = compare_scalar(elements_[i], a[i], b[i]); c != 0) return c;
  }
  return 0;
}

int TypeDesc::compare_to_split(std::string_view a, std::string_view b, const Elements* b_elements) const {
  if (!tuple_ || !b_elements) return compare(a, b);
  std::string_view left[max_elements];
  if (!split_ok(*this, a, left)) return compare_scalar(Scalar::bytes, a, b);
  for (size_t i = 0; i < count_; ++i) {
    if (int c = compare_scalar(elements_[i], left[i], (*b_elements)[i]); c != 0) return c;
  }
  return 0;
}

int TypeDesc::compare(std::string_view a, std::string_view b) const {
  if (!tuple_) {
    if (!is_var(elements_[0]) && (a.size() != b.size() || a.size() != scalar_width(elements_[0])))
      return compare_scalar(Scalar::bytes, a, b);
    return compare_scalar(elements_[0], a, b);
  }
  std::string_view left[max_elements], right[max_elements];
  if (!split_ok(*this, a, left) || !split_ok(*this, b, right)) return compare_scalar(Scalar::bytes, a, b);
  for (size_t i = 0; i < count_; ++i) {
    if (int c = compare_scalar(elements_[i], left[i], right[i]); c != 0) return c;
  }
  return 0;
}

std::string_view TypeDesc::element(std::string_view encoded, size_t i) const {
  if (!tuple_) return encoded;
  if (i >= count_) return {};
  std::string_view elements[max_elements];
  if (!split_ok(*this, encoded, elements)) return {};
  return elements[i];
}

std::optional<TypeDesc> TypeDesc::from_stored_name(std::string_view stored) {
  if (stored.empty()) return std::nullopt;
  uint8_t classification = static_cast<uint8_t>(stored[0]);
  std::string_view name = stored.substr(1);
  if (auto s = scalar_from_name(name)) {
    if (classification != 1) return std::nullopt;
    return TypeDesc::scalar(*s);
  }
  if (name.size() < 2 || name.front() != '(' || name.back() != ')') return std::nullopt;
  name = name.substr(1, name.size() - 2);
  TypeDesc type = TypeDesc::tuple({});
  bool any_var = false;
  while (true) {
    size_t comma = name.find(',');
    auto s = scalar_from_name(name.substr(0, comma));
    if (!s || type.count_ == max_elements) return std::nullopt;
    type.elements_[type.count_++] = *s;
    any_var |= is_var(*s);
    if (comma == std::string_view::npos) break;
    name.remove_prefix(comma + 1);
  }
  if (type.count_ < 2) return std::nullopt;
  if (any_var && classification == 1) type.legacy_ = true;
  else if (classification != (any_var ? 3 : 1)) return std::nullopt;
  return type;
}

}  // namespace redb
