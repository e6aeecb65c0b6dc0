// Small text rules of the command line: UTF-8 checking, unsigned decimal values and the
// Jaro similarity behind "a similar argument exists" suggestions.
#pragma once

#include <cstdint>
#include <expected>
#include <string_view>

namespace cli {

// True when `text` is well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
bool is_valid_utf8(std::string_view text);

// Parses one or more decimal digits, optionally after a single '+', into an unsigned 64-bit
// number. Characters are examined left to right and the first problem decides the text:
// "cannot parse integer from empty string", "invalid digit found in string" or
// "number too large to fit in target type".
std::expected<uint64_t, std::string_view> parse_unsigned_decimal(std::string_view text);

// Jaro similarity of two UTF-8 texts over their characters, in [0, 1]; 1 for two empty texts.
double jaro_similarity(std::string_view a, std::string_view b);

}  // namespace cli
