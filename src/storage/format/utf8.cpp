#include "format/utf8.h"

#include <cstdint>
#include <cstring>

namespace redb {

bool is_valid_utf8(std::string_view text) {
  const auto* p = reinterpret_cast<const uint8_t*>(text.data());
  const uint8_t* end = p + text.size();
  while (p < end) {
    // ASCII runs are the common case: eight bytes at a time.
    if (end - p >= 8) {
      uint64_t word;
      std::memcpy(&word, p, 8);
      if ((word & 0x8080808080808080ull) == 0) {
        p += 8;
        continue;
      }
    }
    uint8_t lead = *p;
    if (lead < 0x80) {
      ++p;
      continue;
    }
    size_t length;
    uint8_t low = 0x80, high = 0xBF;  // allowed range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) low = 0xA0;   // overlong
      if (lead == 0xED) high = 0x9F;  // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) low = 0x90;   // overlong
      if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
    } else {
      return false;
    }
    if (static_cast<size_t>(end - p) < length) return false;
    if (p[1] < low || p[1] > high) return false;
    for (size_t i = 2; i < length; ++i)
      if ((p[i] & 0xC0) != 0x80) return false;
    p += length;
  }
  return true;
}

}  // namespace redb
