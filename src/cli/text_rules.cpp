#include "cli/text_rules.h"

#include <algorithm>
#include <string>
#include <vector>

namespace cli {

namespace {

// Decodes one UTF-8 sequence at `position`; returns its code point and advances, or returns
// false on an ill-formed sequence.
bool decode_one(std::string_view text, size_t& position, char32_t& code_point) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(position);
  size_t length = 0;
  char32_t value = 0;
  char32_t minimum = 0;
  if (lead < 0x80) {
    code_point = lead;
    position += 1;
    return true;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, value = lead & 0x1F, minimum = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, value = lead & 0x0F, minimum = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, value = lead & 0x07, minimum = 0x10000;
  } else {
    return false;
  }
  if (position + length > text.size()) return false;
  for (size_t i = 1; i < length; ++i) {
    const unsigned char continuation = byte(position + i);
    if ((continuation & 0xC0) != 0x80) return false;
    value = (value << 6) | (continuation & 0x3F);
  }
  if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return false;
  code_point = value;
  position += length;
  return true;
}

// Code points of a text already known to be UTF-8; ill-formed bytes count as one character each.
std::u32string characters_of(std::string_view text) {
  std::u32string characters;
  size_t position = 0;
  while (position < text.size()) {
    char32_t code_point = 0;
    if (!decode_one(text, position, code_point)) {
      code_point = 0xFFFD;
      ++position;
    }
    characters.push_back(code_point);
  }
  return characters;
}

}  // namespace

bool is_valid_utf8(std::string_view text) {
  size_t position = 0;
  char32_t code_point = 0;
  while (position < text.size())
    if (!decode_one(text, position, code_point)) return false;
  return true;
}

std::expected<uint64_t, std::string_view> parse_unsigned_decimal(std::string_view text) {
  constexpr std::string_view empty = "cannot parse integer from empty string";
  constexpr std::string_view invalid_digit = "invalid digit found in string";
  constexpr std::string_view too_large = "number too large to fit in target type";
  if (text.empty()) return std::unexpected(empty);
  std::string_view digits = text;
  if (digits.front() == '+') {
    digits.remove_prefix(1);
    if (digits.empty()) return std::unexpected(invalid_digit);
  }
  uint64_t value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::unexpected(invalid_digit);
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return std::unexpected(too_large);
    value = value * 10 + digit;
  }
  return value;
}

double jaro_similarity(std::string_view a_text, std::string_view b_text) {
  const std::u32string a = characters_of(a_text);
  const std::u32string b = characters_of(b_text);
  if (a.empty() && b.empty()) return 1.0;
  if (a.empty() || b.empty()) return 0.0;

  // Characters match when equal and no further apart than half the longer length, less one.
  const size_t half_longer = std::max(a.size(), b.size()) / 2;
  const size_t window = half_longer > 0 ? half_longer - 1 : 0;
  std::vector<bool> b_matched(b.size(), false);
  std::u32string a_matches;
  for (size_t i = 0; i < a.size(); ++i) {
    const size_t first = i > window ? i - window : 0;
    const size_t last = std::min(b.size(), i + window + 1);
    for (size_t j = first; j < last; ++j) {
      if (!b_matched[j] && a[i] == b[j]) {
        b_matched[j] = true;
        a_matches.push_back(a[i]);
        break;
      }
    }
  }
  if (a_matches.empty()) return 0.0;

  // Transpositions: matched characters that appear in a different order, counted in halves.
  size_t out_of_order = 0;
  size_t next = 0;
  for (size_t j = 0; j < b.size(); ++j) {
    if (!b_matched[j]) continue;
    if (b[j] != a_matches[next]) ++out_of_order;
    ++next;
  }
  const double matches = static_cast<double>(a_matches.size());
  const double transpositions = static_cast<double>(out_of_order) / 2.0;
  return (matches / static_cast<double>(a.size()) + matches / static_cast<double>(b.size()) +
          (matches - transpositions) / matches) /
         3.0;
}

}  // namespace cli
