#include "write/allocator.h"

#include <algorithm>
#include <bit>
#include <cassert>

namespace redb {
namespace {

constexpr uint64_t all_ones = ~uint64_t{0};
constexpr uint32_t max_regions = 1u << 20;
constexpr uint32_t initial_tracked_regions = 1000;

uint32_t words_for(uint32_t bits) { return (bits + 63) / 64; }

void append_u32(std::string& out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
}
void append_u64(std::string& out, uint64_t value) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
}
void put_u32(std::string& out, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) out[at + i] = static_cast<char>(value >> (8 * i));
}

// Number of levels a bitmap of this capacity has: levels are added until one holds ≤ 64 bits.
size_t height_for(uint32_t capacity) {
  size_t height = 1;
  while (capacity > 64) {
    capacity = words_for(capacity);
    ++height;
  }
  return height;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// BtreeBitmap

BtreeBitmap::BtreeBitmap(uint32_t len, uint32_t capacity, uint32_t padded_capacity) {
  size_t height = std::max(height_for(capacity), padded_capacity ? height_for(padded_capacity) : size_t{0});
  std::vector<Level> leaf_first;
  for (size_t i = 0; i < height; ++i) {
    leaf_first.push_back(Level{len, std::vector<uint64_t>(words_for(len), all_ones)});
    len = words_for(len);
  }
  levels_.assign(leaf_first.rbegin(), leaf_first.rend());
}

bool BtreeBitmap::get(uint32_t i) const {
  const Level& leaf = levels_.back();
  assert(i < leaf.len);
  return (leaf.words[i / 64] >> (i % 64)) & 1;
}

void BtreeBitmap::update_parents(size_t level, uint32_t word) {
  // Bit `word` of the level above mirrors whether that word is all ones.
  while (level > 0) {
    bool full = levels_[level].words[word] == all_ones;
    Level& parent = levels_[level - 1];
    uint64_t mask = uint64_t{1} << (word % 64);
    uint64_t& parent_word = parent.words[word / 64];
    bool was_full = parent_word == all_ones;
    if (full) parent_word |= mask;
    else parent_word &= ~mask;
    if ((parent_word == all_ones) == was_full) return;
    word /= 64;
    --level;
  }
}

void BtreeBitmap::set(uint32_t i) {
  Level& leaf = levels_.back();
  assert(i < leaf.len);
  leaf.words[i / 64] |= uint64_t{1} << (i % 64);
  update_parents(levels_.size() - 1, i / 64);
}

void BtreeBitmap::clear(uint32_t i) {
  Level& leaf = levels_.back();
  assert(i < leaf.len);
  leaf.words[i / 64] &= ~(uint64_t{1} << (i % 64));
  update_parents(levels_.size() - 1, i / 64);
}

std::optional<uint32_t> BtreeBitmap::find_first_clear() const {
  uint32_t word = 0;
  for (const Level& level : levels_) {
    if (word >= level.words.size() || level.words[word] == all_ones) return std::nullopt;
    uint32_t bit = word * 64 + static_cast<uint32_t>(std::countr_one(level.words[word]));
    if (bit >= level.len) return std::nullopt;
    word = bit;
  }
  return word;
}

std::vector<uint32_t> BtreeBitmap::clear_bits() const {
  std::vector<uint32_t> bits;
  const Level& leaf = levels_.back();
  for (uint32_t word = 0; word < leaf.words.size(); ++word)
    for (uint64_t clear = ~leaf.words[word]; clear != 0; clear &= clear - 1)
      bits.push_back(word * 64 + static_cast<uint32_t>(std::countr_zero(clear)));
  return bits;
}

void BtreeBitmap::resize(uint32_t len) {
  for (auto level = levels_.rbegin(); level != levels_.rend(); ++level) {
    uint32_t old_len = level->len;
    level->words.resize(words_for(len), all_ones);
    if (len < old_len && len % 64 != 0) level->words.back() |= all_ones << (len % 64);
    level->len = len;
    len = words_for(len);
  }
  rebuild_upper_levels();
}

void BtreeBitmap::rebuild_upper_levels() {
  for (size_t level = levels_.size() - 1; level > 0; --level) {
    Level& parent = levels_[level - 1];
    std::fill(parent.words.begin(), parent.words.end(), all_ones);
    const Level& child = levels_[level];
    for (uint32_t word = 0; word < child.words.size(); ++word)
      if (child.words[word] != all_ones) parent.words[word / 64] &= ~(uint64_t{1} << (word % 64));
  }
}

size_t BtreeBitmap::serialized_size() const {
  size_t size = 4 + 4 * levels_.size();
  for (const Level& level : levels_) size += 4 + 8 * level.words.size();
  return size;
}

void BtreeBitmap::serialize(std::string& out) const {
  size_t start = out.size();
  append_u32(out, static_cast<uint32_t>(levels_.size()));
  size_t end = 4 + 4 * levels_.size();
  for (const Level& level : levels_) {
    end += 4 + 8 * level.words.size();
    append_u32(out, static_cast<uint32_t>(end));
  }
  for (const Level& level : levels_) {
    append_u32(out, level.len);
    for (uint64_t word : level.words) append_u64(out, word);
  }
  assert(out.size() - start == serialized_size());
  (void)start;
}

// ---------------------------------------------------------------------------------------------
// BuddyAllocator

BuddyAllocator::BuddyAllocator(uint32_t num_pages, uint32_t capacity)
    : num_pages_(num_pages),
      capacity_(capacity),
      max_order_(static_cast<uint8_t>(std::min<uint32_t>(max_page_order, std::bit_width(capacity) - 1))) {
  for (uint8_t order = 0; order <= max_order_; ++order)
    orders_.emplace_back(num_pages >> order, capacity >> order);
  // The free region is the binary split of [0, num_pages) from the low end.
  uint32_t position = 0;
  while (position < num_pages) {
    uint8_t order = max_order_;
    while (order > 0 && (position % (1u << order) != 0 || position + (1u << order) > num_pages)) --order;
    orders_[order].clear(position >> order);
    position += 1u << order;
  }
}

std::optional<uint32_t> BuddyAllocator::alloc(uint8_t order) {
  if (order > max_order_) return std::nullopt;
  if (auto index = orders_[order].find_first_clear()) {
    orders_[order].set(*index);
    return index;
  }
  auto parent = alloc(static_cast<uint8_t>(order + 1));
  if (!parent) return std::nullopt;
  // Keep the lower half, the upper half becomes a free block of this order.
  orders_[order].clear(2 * *parent + 1);
  return 2 * *parent;
}

void BuddyAllocator::free(uint32_t index, uint8_t order) {
  while (order < max_order_ && exists(order, index ^ 1) && !orders_[order].get(index ^ 1)) {
    orders_[order].set(index ^ 1);
    index /= 2;
    ++order;
  }
  orders_[order].clear(index);
}

bool BuddyAllocator::record_alloc(uint32_t index, uint8_t order) {
  if (order > max_order_ || !exists(order, index)) return false;
  if (!orders_[order].get(index)) {
    orders_[order].set(index);
    return true;
  }
  // Part of a larger free block: claim the parent, then free the buddy at this order.
  if (order == max_order_ || !record_alloc(index / 2, static_cast<uint8_t>(order + 1))) return false;
  orders_[order].clear(index ^ 1);
  return true;
}

bool BuddyAllocator::is_free(uint32_t index, uint8_t order) const {
  for (; order <= max_order_ && exists(order, index); ++order, index /= 2)
    if (!orders_[order].get(index)) return true;
  return false;
}

BuddyAllocator::BuddyAllocator(uint32_t num_pages, uint32_t capacity, AllAllocated)
    : num_pages_(num_pages),
      capacity_(capacity),
      max_order_(static_cast<uint8_t>(std::min<uint32_t>(max_page_order, std::bit_width(capacity) - 1))) {
  for (uint8_t order = 0; order <= max_order_; ++order)
    orders_.emplace_back(num_pages >> order, capacity >> order);
}

void BuddyAllocator::free_range(uint32_t begin, uint32_t end) {
  // Aligned blocks freed one by one merge with their free buddies, so the result is canonical.
  uint32_t position = begin;
  while (position < end) {
    uint8_t order = max_order_;
    while (order > 0 && (position % (1u << order) != 0 || position + (1u << order) > end)) --order;
    free(position >> order, order);
    position += 1u << order;
  }
}

void BuddyAllocator::grow(uint32_t num_pages) {
  assert(num_pages >= num_pages_);
  uint32_t old_pages = num_pages_;
  num_pages_ = num_pages;
  for (uint8_t order = 0; order <= max_order_; ++order) orders_[order].resize(num_pages >> order);
  // The new pages start allocated.
  free_range(old_pages, num_pages);
}

std::vector<std::pair<uint32_t, uint8_t>> BuddyAllocator::free_blocks() const {
  std::vector<std::pair<uint32_t, uint8_t>> blocks;
  for (uint8_t order = 0; order <= max_order_; ++order)
    for (uint32_t index : orders_[order].clear_bits()) blocks.emplace_back(index << order, order);
  std::sort(blocks.begin(), blocks.end());
  return blocks;
}

uint64_t BuddyAllocator::free_pages() const {
  uint64_t pages = 0;
  for (uint8_t order = 0; order <= max_order_; ++order)
    pages += uint64_t{orders_[order].clear_bits().size()} << order;
  return pages;
}

uint32_t BuddyAllocator::trailing_free_pages() const {
  // Free blocks are disjoint, so walking them down from the highest one finds the free run
  // that ends the region.
  auto blocks = free_blocks();
  uint32_t start = num_pages_;
  for (auto block = blocks.rbegin(); block != blocks.rend(); ++block) {
    if (block->first + (1u << block->second) != start) break;
    start = block->first;
  }
  return num_pages_ - start;
}

bool BuddyAllocator::shrink(uint32_t num_pages) {
  assert(num_pages > 0 && num_pages <= num_pages_);
  if (num_pages_ - trailing_free_pages() > num_pages) return false;
  // Canonical form depends only on which pages are free: rebuild it from the free blocks that
  // stay, cut at the new end.
  BuddyAllocator shrunk(num_pages, capacity_, AllAllocated{});
  for (auto [first, order] : free_blocks())
    if (first < num_pages) shrunk.free_range(first, std::min(first + (1u << order), num_pages));
  *this = std::move(shrunk);
  return true;
}

size_t BuddyAllocator::serialized_size() const {
  size_t size = 8 + 4 * orders_.size();
  for (const BtreeBitmap& bitmap : orders_) size += bitmap.serialized_size();
  return size;
}

std::string BuddyAllocator::serialize() const {
  std::string out;
  out.reserve(serialized_size());
  out.push_back(static_cast<char>(max_order_));
  out.append(3, '\0');
  append_u32(out, num_pages_);
  size_t offsets_at = out.size();
  out.append(4 * orders_.size(), '\0');
  for (size_t order = 0; order < orders_.size(); ++order) {
    orders_[order].serialize(out);
    put_u32(out, offsets_at + 4 * order, static_cast<uint32_t>(out.size()));
  }
  return out;
}

// ---------------------------------------------------------------------------------------------
// PageAllocator

PageAllocator::PageAllocator(const DatabaseLayout& layout) : layout_(layout) {
  for (uint32_t region = 0; region < layout.region_count(); ++region)
    regions_.emplace_back(layout.region_data_pages(region), layout.region_max_data_pages);
}

std::optional<PageNumber> PageAllocator::alloc(uint8_t order) {
  for (uint32_t region = 0; region < regions_.size(); ++region)
    if (auto index = regions_[region].alloc(order)) return PageNumber{region, *index, order};
  return std::nullopt;
}

void PageAllocator::free(const PageNumber& page) { regions_.at(page.region).free(page.index, page.order); }

bool PageAllocator::is_free(const PageNumber& page) const {
  return page.region < regions_.size() && regions_[page.region].is_free(page.index, page.order);
}

bool PageAllocator::record_alloc(const PageNumber& page) {
  return page.region < regions_.size() && regions_[page.region].record_alloc(page.index, page.order);
}

void PageAllocator::grow_to(const DatabaseLayout& layout) {
  for (uint32_t region = 0; region < layout.region_count(); ++region) {
    uint32_t pages = layout.region_data_pages(region);
    if (region < regions_.size()) {
      if (pages > regions_[region].num_pages()) regions_[region].grow(pages);
    } else {
      regions_.emplace_back(pages, layout.region_max_data_pages);
    }
  }
  layout_ = layout;
}

uint64_t PageAllocator::free_pages() const {
  uint64_t pages = 0;
  for (const BuddyAllocator& region : regions_) pages += region.free_pages();
  return pages;
}

DatabaseLayout PageAllocator::trimmed_layout(uint64_t spare_pages) const {
  uint64_t free_total = free_pages();
  uint64_t cuttable = free_total > spare_pages ? free_total - spare_pages : 0;
  uint32_t regions = region_count();
  while (regions > 1) {
    const BuddyAllocator& last = regions_[regions - 1];
    if (last.trailing_free_pages() != last.num_pages() || cuttable < last.num_pages()) break;
    cuttable -= last.num_pages();
    --regions;
  }
  const BuddyAllocator& last = regions_[regions - 1];
  uint64_t cut = std::min<uint64_t>({last.trailing_free_pages(), cuttable, last.num_pages() - 1});
  uint32_t last_pages = static_cast<uint32_t>(last.num_pages() - cut);
  if (regions == region_count() && cut == 0) return layout_;
  DatabaseLayout trimmed = layout_;
  trimmed.num_full_regions = regions - 1;
  trimmed.trailing_region_data_pages = last_pages;
  return trimmed;
}

bool PageAllocator::shrink_to(const DatabaseLayout& layout) {
  uint32_t regions = layout.region_count();
  if (regions == 0 || regions > regions_.size()) return false;
  for (uint32_t region = regions; region < regions_.size(); ++region)
    if (regions_[region].trailing_free_pages() != regions_[region].num_pages()) return false;
  for (uint32_t region = 0; region + 1 < regions; ++region)
    if (layout.region_data_pages(region) != regions_[region].num_pages()) return false;
  uint32_t last_pages = layout.region_data_pages(regions - 1);
  BuddyAllocator& last = regions_[regions - 1];
  if (last_pages > last.num_pages() || (last_pages < last.num_pages() && !last.shrink(last_pages))) return false;
  regions_.erase(regions_.begin() + regions, regions_.end());
  layout_ = layout;
  return true;
}

std::vector<PageAllocator::Row> PageAllocator::serialize_rows() const {
  std::vector<Row> rows;
  for (uint32_t region = 0; region < regions_.size(); ++region)
    rows.push_back({allocator_state_key::encode(allocator_state_key::region_tag, region), regions_[region].serialize()});
  rows.push_back({allocator_state_key::encode(allocator_state_key::region_tracker_tag),
                  serialize_region_tracker(static_cast<uint32_t>(regions_.size()))});
  return rows;
}

std::vector<size_t> PageAllocator::serialized_row_sizes() const {
  std::vector<size_t> sizes;
  for (const BuddyAllocator& region : regions_) sizes.push_back(region.serialized_size());
  uint32_t tracked = std::max<uint32_t>(initial_tracked_regions, static_cast<uint32_t>(regions_.size()));
  sizes.push_back(4 + 4 * (max_page_order + 1) +
                  (max_page_order + 1) * BtreeBitmap(tracked, tracked, max_regions).serialized_size());
  return sizes;
}

std::string serialize_region_tracker(uint32_t region_count) {
  uint32_t tracked = std::max(initial_tracked_regions, region_count);
  BtreeBitmap order_bitmap(tracked, tracked, max_regions);
  for (uint32_t region = 0; region < region_count; ++region) order_bitmap.clear(region);
  std::string bitmap_bytes;
  order_bitmap.serialize(bitmap_bytes);
  std::string out;
  constexpr uint32_t orders = max_page_order + 1;
  append_u32(out, orders);
  for (uint32_t order = 0; order < orders; ++order) append_u32(out, static_cast<uint32_t>(bitmap_bytes.size()));
  for (uint32_t order = 0; order < orders; ++order) out += bitmap_bytes;
  return out;
}

namespace allocator_state_key {

std::string encode(uint8_t tag, uint32_t region) {
  std::string key(1, static_cast<char>(tag));
  append_u32(key, region);
  return key;
}

int compare(std::string_view a, std::string_view b) {
  auto tag = [](std::string_view key) { return key.empty() ? 0 : static_cast<uint8_t>(key[0]); };
  auto number = [](std::string_view key) {
    uint32_t value = 0;
    for (size_t i = 1; i < 5 && i < key.size(); ++i) value |= uint32_t{static_cast<uint8_t>(key[i])} << (8 * (i - 1));
    return value;
  };
  if (tag(a) != tag(b)) return tag(a) < tag(b) ? -1 : 1;
  if (tag(a) != region_tag) return 0;
  if (number(a) != number(b)) return number(a) < number(b) ? -1 : 1;
  return 0;
}

}  // namespace allocator_state_key
}  // namespace redb
