// Page allocation state: one buddy allocator per region, kept in the canonical form the
// library holds and checks, and its exact serialization as rows of the `allocator_state`
// system table.
//
// Bit convention of every bitmap: 1 = set, 0 = clear. In a buddy allocator, bit i of order k
// is clear iff the block of pages [i*2^k, (i+1)*2^k) is free as a whole block at exactly this
// order. Canonical form: the clear bits are exactly the maximal free blocks. Bits past a
// level's length in its last word are always 1; an upper bitmap level has bit j set iff word j
// of the level below is all ones.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "format/layout.h"
#include "format/page_number.h"

namespace redb {

// A 64-way tree of bit levels over `len` leaf bits whose height is fixed by its capacity.
class BtreeBitmap {
 public:
  // All bits set. The height is what `capacity` needs, raised to what `padded_capacity`
  // needs when that is larger (extra all-ones root levels).
  BtreeBitmap(uint32_t len, uint32_t capacity, uint32_t padded_capacity = 0);

  uint32_t len() const { return levels_.back().len; }
  bool get(uint32_t i) const;
  void set(uint32_t i);
  void clear(uint32_t i);
  // Lowest clear leaf bit, if any.
  std::optional<uint32_t> find_first_clear() const;
  // Every clear leaf bit, ascending.
  std::vector<uint32_t> clear_bits() const;
  // Changes the leaf length (new bits set); the height stays.
  void resize(uint32_t len);

  // u32 height, u32 end offset of each level (root first, from the start of this bitmap),
  // then each level as u32 bit length and its words, little-endian.
  void serialize(std::string& out) const;
  size_t serialized_size() const;

 private:
  struct Level {
    uint32_t len;
    std::vector<uint64_t> words;  // ceil(len / 64) words, padding bits 1
  };
  void update_parents(size_t level, uint32_t word);
  void rebuild_upper_levels();
  std::vector<Level> levels_;  // root first
};

// The buddy allocator of one region.
class BuddyAllocator {
 public:
  // A region of `num_pages` pages out of at most `capacity`, all pages free.
  BuddyAllocator(uint32_t num_pages, uint32_t capacity);

  uint32_t num_pages() const { return num_pages_; }
  uint8_t max_order() const { return max_order_; }
  // Allocates a block of 2^order pages at the lowest clear index of that order, splitting
  // the lowest larger block when there is none. Returns its index in units of its size.
  std::optional<uint32_t> alloc(uint8_t order);
  // Returns a block to free space, merging with free buddies.
  void free(uint32_t index, uint8_t order);
  // Marks a block allocated in a state built from scratch. False when it overlaps a block
  // recorded before or lies outside the region.
  bool record_alloc(uint32_t index, uint8_t order);
  // True when every page of the block is free.
  bool is_free(uint32_t index, uint8_t order) const;
  // Grows the region to `num_pages`; the new pages are free.
  void grow(uint32_t num_pages);
  // Cuts the region to `num_pages` (> 0) pages; false, and nothing changed, when an allocated
  // page lies beyond them.
  bool shrink(uint32_t num_pages);
  // Free pages in the region, and free pages contiguous at its end.
  uint64_t free_pages() const;
  uint32_t trailing_free_pages() const;

  // The `Region(i)` row value.
  std::string serialize() const;
  size_t serialized_size() const;

 private:
  struct AllAllocated {};
  BuddyAllocator(uint32_t num_pages, uint32_t capacity, AllAllocated);
  bool exists(uint8_t order, uint32_t index) const { return index < (num_pages_ >> order); }
  // Frees the pages [begin, end), all allocated, in the largest aligned blocks.
  void free_range(uint32_t begin, uint32_t end);
  // The maximal free blocks as (first page, order), ascending by first page.
  std::vector<std::pair<uint32_t, uint8_t>> free_blocks() const;
  uint32_t num_pages_;
  uint32_t capacity_;
  uint8_t max_order_;
  std::vector<BtreeBitmap> orders_;  // order 0 … max_order
};

// Allocation state of the whole file: the layout and one buddy allocator per region.
class PageAllocator {
 public:
  explicit PageAllocator(const DatabaseLayout& layout);

  const DatabaseLayout& layout() const { return layout_; }
  uint32_t region_count() const { return static_cast<uint32_t>(regions_.size()); }
  uint32_t region_pages(uint32_t region) const { return regions_[region].num_pages(); }
  // A page of 2^order base pages in the lowest region that has one; nullopt when the file
  // must grow first.
  std::optional<PageNumber> alloc(uint8_t order);
  // Returns a page allocated earlier to free space.
  void free(const PageNumber& page);
  // Marks a page allocated in a state built from scratch; false when it overlaps one
  // recorded before or lies outside the layout.
  bool record_alloc(const PageNumber& page);
  // True when every base page of `page` is free.
  bool is_free(const PageNumber& page) const;
  // Adopts a larger layout: new regions and new pages are free.
  void grow_to(const DatabaseLayout& layout);
  // Free pages in the whole layout.
  uint64_t free_pages() const;
  // The shortest layout whose regions are a prefix of this one's (the last one possibly cut)
  // that holds every allocated page and leaves at least `spare_pages` free pages; this layout
  // itself when there is nothing to cut. A region is never cut to 0 pages, whole free regions
  // after the first may be dropped.
  DatabaseLayout trimmed_layout(uint64_t spare_pages) const;
  // Adopts a smaller layout from trimmed_layout(); false, and nothing changed, when an
  // allocated page lies outside it.
  bool shrink_to(const DatabaseLayout& layout);

  // `allocator_state` rows in key order: Region(0…n−1), then RegionTracker. Keys are the
  // 5-byte AllocatorStateKey encodings.
  struct Row {
    std::string key;
    std::string value;
  };
  std::vector<Row> serialize_rows() const;
  // Byte lengths of the values serialize_rows() would give, in the same order.
  std::vector<size_t> serialized_row_sizes() const;

 private:
  DatabaseLayout layout_;
  std::vector<BuddyAllocator> regions_;
};

// The AllocatorStateKey encodings and their order (tag, then numeric region).
namespace allocator_state_key {
inline constexpr uint8_t region_tag = 3;
inline constexpr uint8_t region_tracker_tag = 4;
inline constexpr uint8_t transaction_id_tag = 5;
std::string encode(uint8_t tag, uint32_t region = 0);
int compare(std::string_view a, std::string_view b);
}  // namespace allocator_state_key

// The `RegionTracker` row value for `region_count` regions: every existing region may have
// free space at every order, every other bit set.
std::string serialize_region_tracker(uint32_t region_count);

}  // namespace redb
