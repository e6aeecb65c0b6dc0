// B-tree pages: bounds-checked views for reading and builders for writing.
//
// Leaf (n entries; KV/VV = 1 when the key/value type is var-width):
//   0 type 0x01   1 reserved   2 u16 n (>= 1)
//   4             u32 key_end[n]    (only when KV), absolute offsets, exclusive
//   4 + 4n*KV     u32 value_end[n]  (only when VV)
//   K0 = 4 + 4n(KV+VV): the keys back to back, then the values back to back.
//   A fixed-width key/value has no end array: entry i spans width*i .. width*(i+1) of its run.
//   Used length = end of the last value.
// Branch (m separator keys, m + 1 children):
//   0 type 0x02   1 padding   2 u16 m (>= 1)   4..7 padding
//   8             16-byte child checksums [m+1]
//   8 + 16(m+1)   u64 child page numbers [m+1]
//   8 + 24(m+1)   u32 key_end[m] (only for a var-width key), then the separators back to back.
//   Used length = end of the last separator. Child j holds keys in (key[j-1], key[j]].
// A page's checksum covers bytes 0 .. used length; the rest of its block is not covered.
// No padding or alignment anywhere; padding bytes are written as zero and never judged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "error.h"
#include "format/checksum.h"
#include "format/page_number.h"

namespace redb {

inline constexpr uint8_t leaf_page_type = 0x01;
inline constexpr uint8_t branch_page_type = 0x02;
inline constexpr size_t max_entries_per_page = 65535;

// Fixed widths of a tree's keys and values; nullopt for a var-width type.
struct EntryWidths {
  std::optional<uint32_t> key;
  std::optional<uint32_t> value;
};

// A leaf whose offsets were all checked against its block: accessors need no further checks.
class LeafView {
 public:
  // Checks `page` (the page's whole block, or the bytes of an inline leaf): type byte, n >= 1,
  // every end offset non-decreasing and within `page`. Error: "DB corrupted: {what}".
  static Result<LeafView> open(std::span<const uint8_t> page, EntryWidths widths) {
    return open(page, widths, page.size());
  }
  // The same for a leaf of which only the first bytes were read: `page` holds at least the
  // header and the offset arrays (else "DB corrupted: ..." when they do not fit the block
  // either), and the offsets are checked against the block's length. Keys and values may
  // then be read only as far as `page` reaches (see keys_end() and used_length()).
  static Result<LeafView> open(std::span<const uint8_t> page, EntryWidths widths, size_t block_length);
  // Bytes of the header and the offset arrays of a leaf of `count` entries.
  static size_t header_length(size_t count, EntryWidths widths) {
    return 4 + 4 * count * ((widths.key ? 0 : 1) + (widths.value ? 0 : 1));
  }

  size_t count() const { return count_; }
  std::string_view key(size_t i) const { return bytes(key_start(i), key_end(i)); }
  std::string_view value(size_t i) const { return bytes(value_start(i), value_end(i)); }
  // End of the last key: where the values begin.
  size_t keys_end() const { return key_end(count_ - 1); }
  size_t used_length() const { return value_end(count_ - 1); }
  // The same leaf, its bytes now at `page` (a buffer that was moved or grown).
  void rebase(const uint8_t* page) { page_ = page; }

 private:
  size_t key_start(size_t i) const { return i == 0 ? first_key_ : key_end(i - 1); }
  size_t key_end(size_t i) const;
  size_t value_start(size_t i) const { return i == 0 ? key_end(count_ - 1) : value_end(i - 1); }
  size_t value_end(size_t i) const;
  std::string_view bytes(size_t begin, size_t end) const {
    return {reinterpret_cast<const char*>(page_) + begin, end - begin};
  }

  const uint8_t* page_ = nullptr;
  size_t count_ = 0;
  size_t first_key_ = 0;  // K0
  EntryWidths widths_;
};

// A branch whose offsets were all checked against its block.
class BranchView {
 public:
  // Checks `page` (the page's whole block): type byte, m >= 1, arrays and separators within it.
  static Result<BranchView> open(std::span<const uint8_t> page, std::optional<uint32_t> key_width);

  size_t key_count() const { return key_count_; }
  size_t child_count() const { return key_count_ + 1; }
  Checksum child_checksum(size_t j) const { return Checksum::load(page_ + 8 + 16 * j); }
  PageNumber child_page(size_t j) const;
  std::string_view key(size_t i) const { return bytes(key_start(i), key_end(i)); }
  size_t used_length() const { return key_end(key_count_ - 1); }

 private:
  size_t key_start(size_t i) const { return i == 0 ? first_key_ : key_end(i - 1); }
  size_t key_end(size_t i) const;
  std::string_view bytes(size_t begin, size_t end) const {
    return {reinterpret_cast<const char*>(page_) + begin, end - begin};
  }

  const uint8_t* page_ = nullptr;
  size_t key_count_ = 0;
  size_t first_key_ = 0;
  std::optional<uint32_t> key_width_;
};

// The type byte of a page block (0 for an empty block).
inline uint8_t page_type(std::span<const uint8_t> page) { return page.empty() ? 0 : page[0]; }

// ---- Building pages ----

struct LeafEntry {
  std::string_view key;
  std::string_view value;
};

struct BranchChild {
  PageNumber page;
  Checksum checksum;
};

// Bytes a leaf needs: 4 + 4n per var-width side + all key and value bytes.
size_t leaf_size(size_t entry_count, size_t key_bytes, size_t value_bytes, EntryWidths widths);
size_t leaf_size(std::span<const LeafEntry> entries, EntryWidths widths);
// Bytes a branch needs: 8 + 24(m+1) + 4m for a var-width key + all separator bytes.
size_t branch_size(size_t key_count, size_t key_bytes, std::optional<uint32_t> key_width);

// Lays out a leaf of `entries` (1..65535, ascending, each of the fixed widths where set) into
// `page`, which must hold leaf_size bytes; the rest of `page` is zeroed. Returns the used length.
size_t write_leaf(std::span<uint8_t> page, std::span<const LeafEntry> entries, EntryWidths widths);
// Lays out a branch of `children` (2..65536) and `separators` (one fewer) into `page`, which
// must hold branch_size bytes; the rest is zeroed. Returns the used length.
size_t write_branch(std::span<uint8_t> page, std::span<const BranchChild> children,
                    std::span<const std::string_view> separators, std::optional<uint32_t> key_width);

// Smallest order whose page holds `bytes`: ceil(log2(ceil(bytes / 4096))).
uint8_t page_order_for(size_t bytes);

// Checksum of a page: XXH3-128 of its first `used_length` bytes.
inline Checksum page_checksum(std::span<const uint8_t> page, size_t used_length) {
  return checksum_of(page.first(used_length));
}

}  // namespace redb
