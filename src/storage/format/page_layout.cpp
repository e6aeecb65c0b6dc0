#include "format/page_layout.h"

#include <algorithm>
#include <cstring>
#include <fmt/format.h>

#include "format/little_endian.h"

namespace redb {
namespace {

Error page_error(std::string_view kind, std::string_view what) {
  return Error::corrupted(fmt::format("{} page {}", kind, what));
}

// Checks a run of `count` entries starting at `start`: stored u32 ends at `ends` (var width)
// or `width` bytes each. Returns the end of the run, or nullopt if it leaves [start, limit].
std::optional<uint64_t> check_run(const uint8_t* ends, size_t count, uint64_t start, std::optional<uint32_t> width,
                                  uint64_t limit) {
  if (width) {
    uint64_t end = start + uint64_t{*width} * count;
    return end <= limit ? std::optional<uint64_t>(end) : std::nullopt;
  }
  uint64_t previous = start;
  for (size_t i = 0; i < count; ++i) {
    uint64_t end = load_u32(ends + 4 * i);
    if (end < previous || end > limit) return std::nullopt;
    previous = end;
  }
  return previous;
}

}  // namespace

Result<LeafView> LeafView::open(std::span<const uint8_t> page, EntryWidths widths, size_t block_length) {
  if (page.size() < 4) return std::unexpected(page_error("leaf", "is too short"));
  if (page[0] != leaf_page_type) return std::unexpected(Error::corrupted(fmt::format("unknown page type {}", page[0])));
  LeafView view;
  view.page_ = page.data();
  view.count_ = load_u16(page.data() + 2);
  view.widths_ = widths;
  if (view.count_ == 0) return std::unexpected(page_error("leaf", "has no entries"));
  const size_t key_arrays = widths.key ? 0 : 1;
  view.first_key_ = header_length(view.count_, widths);
  if (view.first_key_ > block_length) return std::unexpected(page_error("leaf", "offset arrays run past its end"));
  if (view.first_key_ > page.size()) return std::unexpected(page_error("leaf", "offset arrays were not read"));
  auto keys_end = check_run(page.data() + 4, view.count_, view.first_key_, widths.key, block_length);
  if (!keys_end) return std::unexpected(page_error("leaf", "key offsets are out of order or past its end"));
  auto values_end =
      check_run(page.data() + 4 + 4 * view.count_ * key_arrays, view.count_, *keys_end, widths.value, block_length);
  if (!values_end) return std::unexpected(page_error("leaf", "value offsets are out of order or past its end"));
  return view;
}

size_t LeafView::key_end(size_t i) const {
  if (widths_.key) return first_key_ + size_t{*widths_.key} * (i + 1);
  return load_u32(page_ + 4 + 4 * i);
}

size_t LeafView::value_end(size_t i) const {
  if (widths_.value) return key_end(count_ - 1) + size_t{*widths_.value} * (i + 1);
  return load_u32(page_ + 4 + 4 * count_ * (widths_.key ? 0 : 1) + 4 * i);
}

Result<BranchView> BranchView::open(std::span<const uint8_t> page, std::optional<uint32_t> key_width) {
  if (page.size() < 8) return std::unexpected(page_error("branch", "is too short"));
  if (page[0] != branch_page_type)
    return std::unexpected(Error::corrupted(fmt::format("unknown page type {}", page[0])));
  BranchView view;
  view.page_ = page.data();
  view.key_count_ = load_u16(page.data() + 2);
  view.key_width_ = key_width;
  if (view.key_count_ == 0) return std::unexpected(page_error("branch", "has no keys"));
  const size_t children = view.key_count_ + 1;
  const size_t key_ends_at = 8 + 24 * children;
  view.first_key_ = key_ends_at + (key_width ? 0 : 4 * view.key_count_);
  if (view.first_key_ > page.size()) return std::unexpected(page_error("branch", "arrays run past its end"));
  if (!check_run(page.data() + key_ends_at, view.key_count_, view.first_key_, key_width, page.size()))
    return std::unexpected(page_error("branch", "key offsets are out of order or past its end"));
  return view;
}

PageNumber BranchView::child_page(size_t j) const {
  return PageNumber::from_raw(load_u64(page_ + 8 + 16 * child_count() + 8 * j));
}

size_t BranchView::key_end(size_t i) const {
  if (key_width_) return first_key_ + size_t{*key_width_} * (i + 1);
  return load_u32(page_ + 8 + 24 * child_count() + 4 * i);
}

size_t leaf_size(size_t entry_count, size_t key_bytes, size_t value_bytes, EntryWidths widths) {
  return 4 + 4 * entry_count * ((widths.key ? 0 : 1) + (widths.value ? 0 : 1)) + key_bytes + value_bytes;
}

size_t leaf_size(std::span<const LeafEntry> entries, EntryWidths widths) {
  size_t key_bytes = 0, value_bytes = 0;
  for (const LeafEntry& entry : entries) {
    key_bytes += entry.key.size();
    value_bytes += entry.value.size();
  }
  return leaf_size(entries.size(), key_bytes, value_bytes, widths);
}

size_t branch_size(size_t key_count, size_t key_bytes, std::optional<uint32_t> key_width) {
  return 8 + 24 * (key_count + 1) + (key_width ? 0 : 4 * key_count) + key_bytes;
}

size_t write_leaf(std::span<uint8_t> page, std::span<const LeafEntry> entries, EntryWidths widths) {
  // Every byte is written: the header's padding and the tail past the entries are zero.
  uint8_t* data = page.data();
  std::fill(data, data + 4, uint8_t{0});
  const size_t n = entries.size();
  data[0] = leaf_page_type;
  store_u16(data + 2, static_cast<uint16_t>(n));
  uint8_t* key_ends = data + 4;
  uint8_t* value_ends = key_ends + (widths.key ? 0 : 4 * n);
  size_t position = 4 + 4 * n * ((widths.key ? 0 : 1) + (widths.value ? 0 : 1));
  for (size_t i = 0; i < n; ++i) {
    std::memcpy(data + position, entries[i].key.data(), entries[i].key.size());
    position += entries[i].key.size();
    if (!widths.key) store_u32(key_ends + 4 * i, static_cast<uint32_t>(position));
  }
  for (size_t i = 0; i < n; ++i) {
    std::memcpy(data + position, entries[i].value.data(), entries[i].value.size());
    position += entries[i].value.size();
    if (!widths.value) store_u32(value_ends + 4 * i, static_cast<uint32_t>(position));
  }
  std::fill(data + position, data + page.size(), uint8_t{0});
  return position;
}

size_t write_branch(std::span<uint8_t> page, std::span<const BranchChild> children,
                    std::span<const std::string_view> separators, std::optional<uint32_t> key_width) {
  // Every byte is written: the header's padding and the tail past the keys are zero.
  uint8_t* data = page.data();
  std::fill(data, data + 8, uint8_t{0});
  const size_t m = separators.size();
  data[0] = branch_page_type;
  store_u16(data + 2, static_cast<uint16_t>(m));
  for (size_t j = 0; j < children.size(); ++j) {
    children[j].checksum.store(data + 8 + 16 * j);
    store_u64(data + 8 + 16 * (m + 1) + 8 * j, children[j].page.to_raw());
  }
  uint8_t* key_ends = data + 8 + 24 * (m + 1);
  size_t position = 8 + 24 * (m + 1) + (key_width ? 0 : 4 * m);
  for (size_t i = 0; i < m; ++i) {
    std::memcpy(data + position, separators[i].data(), separators[i].size());
    position += separators[i].size();
    if (!key_width) store_u32(key_ends + 4 * i, static_cast<uint32_t>(position));
  }
  std::fill(data + position, data + page.size(), uint8_t{0});
  return position;
}

uint8_t page_order_for(size_t bytes) {
  size_t pages = std::max<size_t>(1, (bytes + page_size - 1) / page_size);
  uint8_t order = 0;
  while ((size_t{1} << order) < pages) ++order;
  return order;
}

}  // namespace redb
