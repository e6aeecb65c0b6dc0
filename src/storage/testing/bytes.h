// Hex helpers for the storage tests.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace redb::testing {

// Bytes of a hex text; spaces are ignored.
inline std::string from_hex(std::string_view hex) {
  std::string bytes;
  int high = -1;
  for (char c : hex) {
    int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    if (digit < 0) continue;
    if (high < 0) {
      high = digit;
    } else {
      bytes.push_back(static_cast<char>(high * 16 + digit));
      high = -1;
    }
  }
  return bytes;
}

inline std::vector<uint8_t> bytes_of(std::string_view text) { return {text.begin(), text.end()}; }

inline std::string to_hex(std::string_view bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char c : bytes) {
    hex += digits[c >> 4];
    hex += digits[c & 15];
  }
  return hex;
}

}  // namespace redb::testing
