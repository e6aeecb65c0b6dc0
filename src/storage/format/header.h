// Layer format/: what the bytes on disk mean (super header and commit slots, page numbers,
// region layout, B-tree page layouts, key and value types, stored table definitions,
// checksums). It reads and writes no file; it includes only the public headers and format/.
//
// The super header: the first 320 bytes of the file, alone in page 0.
//
//   0   9  magic 72 65 64 62 1A 0A A9 0D 0A
//   9   1  god byte: bit 0 primary slot, bit 1 recovery required, bit 2 two-phase commit
//   10  2  zero
//   12  4  page size (4096)            16  4  region header pages (0 in files made by v3)
//   20  4  region max data pages       24  4  number of full regions
//   28  4  trailing region data pages (0 = none)
//   32 32  zero
//   64 128 commit slot 0               192 128 commit slot 1
//
// A commit slot (128 bytes):
//   0 version (3)  1 user root present  2 system root present  3..7 zero
//   8 user root BtreeHeader  40 system root BtreeHeader  72..103 zero
//   104 u64 transaction id  112 XXH3-128 of bytes 0..111
//
// The layout fields are shared by both slots and covered by no checksum.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "error.h"
#include "format/checksum.h"
#include "format/layout.h"
#include "format/page_number.h"

namespace redb {

inline constexpr size_t super_header_size = 320;
inline constexpr size_t commit_slot_size = 128;
inline constexpr size_t commit_slot_offsets[2] = {64, 192};
inline constexpr std::array<uint8_t, 9> file_magic = {0x72, 0x65, 0x64, 0x62, 0x1A, 0x0A, 0xA9, 0x0D, 0x0A};
inline constexpr uint8_t file_format_version = 3;

inline constexpr uint8_t god_primary_bit = 0x01;
inline constexpr uint8_t god_recovery_required = 0x02;
inline constexpr uint8_t god_two_phase_commit = 0x04;

// Reference to a B-tree root (32 bytes): root page, checksum of the root page, entry count.
struct BtreeHeader {
  static constexpr size_t size = 32;
  PageNumber root;
  Checksum checksum;
  uint64_t length = 0;

  static BtreeHeader load(const uint8_t* source);
  void store(uint8_t* target) const;

  friend bool operator==(const BtreeHeader&, const BtreeHeader&) = default;
};

struct CommitSlot {
  uint8_t version = file_format_version;
  std::optional<BtreeHeader> user_root;    // absent: no user tables
  std::optional<BtreeHeader> system_root;  // absent: no system tables
  uint64_t transaction_id = 0;
  bool checksum_valid = true;  // on load: stored checksum equals that of bytes 0..111

  // Decodes the 128 bytes at `source` (any bytes; the version is kept, not judged).
  static CommitSlot load(const uint8_t* source);
  // Encodes into 128 bytes at `target`, unused bytes zero, with a fresh checksum.
  void store(uint8_t* target) const;
};

struct SuperHeader {
  uint8_t god_byte = 0;
  DatabaseLayout layout;  // page size, region sizes and counts, as stored
  std::array<CommitSlot, 2> slots;

  size_t primary_index() const { return god_byte & god_primary_bit; }
  bool recovery_required() const { return god_byte & god_recovery_required; }
  bool two_phase_commit() const { return god_byte & god_two_phase_commit; }
  CommitSlot& primary() { return slots[primary_index()]; }
  const CommitSlot& primary() const { return slots[primary_index()]; }
  const CommitSlot& secondary() const { return slots[primary_index() ^ 1]; }
};

// True when `bytes` starts with the magic.
bool has_magic(std::span<const uint8_t> bytes);

// Decodes the 320 header bytes after checking the version byte of slot 0, then of slot 1:
// 1 or 2 gives "Manual upgrade required. Expected file format version 3, but file is version {v}",
// any other value but 3 gives "DB corrupted: Expected file format version <= 3, found {v}".
// Does not check the magic (see has_magic) or the geometry (see check_geometry).
Result<SuperHeader> parse_super_header(std::span<const uint8_t, super_header_size> bytes);

// Encodes the header; with `with_magic` false the magic bytes are zero (the first write of a
// new file, so that a crash before the second write leaves no database).
std::array<uint8_t, super_header_size> serialize_super_header(const SuperHeader& header, bool with_magic = true);

// Checks what the real library asserts on open (where it would crash), as "DB corrupted: ..."
// errors: page size 4096, region sizes of 1..2^20 pages, at least one region, a trailing
// region no larger than a full one, and a file at least as long as the layout.
Status check_geometry(const SuperHeader& header, uint64_t file_length);

// The layout a file of `file_length` bytes holds under the page and region sizes of `stored`:
// as many full regions as fit, the remainder as a trailing region if it holds a region header
// and one data page. Partial pages are dropped, so its length can be less than `file_length`.
// Requires a layout that passed check_geometry.
DatabaseLayout recalculate_layout(const DatabaseLayout& stored, uint64_t file_length);

}  // namespace redb
