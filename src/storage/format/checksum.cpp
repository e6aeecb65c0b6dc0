#include "format/checksum.h"

#include <cstring>
#include <xxhash.h>

#include "format/little_endian.h"

namespace redb {

Checksum Checksum::load(const uint8_t* source) {
  Checksum checksum;
  std::memcpy(checksum.bytes.data(), source, checksum.bytes.size());
  return checksum;
}

void Checksum::store(uint8_t* target) const { std::memcpy(target, bytes.data(), bytes.size()); }

Checksum checksum_of(std::span<const uint8_t> data) {
  XXH128_hash_t hash = XXH3_128bits(data.data(), data.size());
  Checksum checksum;
  store_u64(checksum.bytes.data(), hash.low64);
  store_u64(checksum.bytes.data() + 8, hash.high64);
  return checksum;
}

}  // namespace redb
