// The checksum of the file format: XXH3-128 with seed 0, stored as 16 bytes (the low 64 bits
// little-endian, then the high 64 bits little-endian). Commit slots and B-tree pages carry it.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace redb {

// A checksum in its stored 16-byte form.
struct Checksum {
  std::array<uint8_t, 16> bytes{};

  // Reads the 16 stored bytes at `source`.
  static Checksum load(const uint8_t* source);
  // Writes the 16 stored bytes to `target`.
  void store(uint8_t* target) const;

  friend bool operator==(const Checksum&, const Checksum&) = default;
};

// XXH3-128 (seed 0) of `data`.
Checksum checksum_of(std::span<const uint8_t> data);

}  // namespace redb
