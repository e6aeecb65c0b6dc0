#include "write/btree_insert.h"

#include <cstring>
#include <fmt/format.h>

#include "format/little_endian.h"
#include "read/page_source.h"

namespace redb::detail {
namespace {

constexpr size_t split_threshold = 4096;  // fullness is measured against the base page size
constexpr uint64_t max_value_length = uint64_t{3} << 30;
constexpr uint64_t max_pair_length = max_value_length + (uint64_t{768} << 20);

std::span<uint8_t> block_of(uint8_t* data, PageNumber page) { return {data, page.byte_length()}; }

Error depth_error() { return Error::corrupted("B-tree deeper than the file allows (a page is referenced twice)"); }

// The first of the `count` ascending keys of `view` that is not below `key` (count if none).
template <typename View>
size_t first_not_below(const View& view, size_t count, const KeyProbe& key) {
  size_t low = 0, high = count;
  while (low < high) {
    size_t middle = (low + high) / 2;
    if (key.compare(view.key(middle)) < 0) low = middle + 1;
    else high = middle;
  }
  return low;
}

// Child of a branch whose key range holds `key`: the smallest i with key <= key[i], else m.
size_t child_for_key(const BranchView& branch, const KeyProbe& key) {
  return first_not_below(branch, branch.key_count(), key);
}

// Position of the first entry whose key is not below `key`.
size_t leaf_position(const LeafView& leaf, const KeyProbe& key) { return first_not_below(leaf, leaf.count(), key); }

}  // namespace

KeyProbe::KeyProbe(const EntryOrder& order, std::string_view key) : order_(order), key_(key) {
  if (!order.custom && order.type->is_tuple()) split_ = static_cast<bool>(order.type->split(key, elements_));
}

Checksum deferred_checksum() {
  Checksum placeholder;
  placeholder.bytes[0] = 999 & 0xFF;
  placeholder.bytes[1] = 999 >> 8;
  return placeholder;
}

TreeRoot TreeRoot::from(const std::optional<BtreeHeader>& header) {
  TreeRoot root;
  if (header) {
    root.page = header->root;
    root.checksum = header->checksum;
    root.length = header->length;
  }
  return root;
}

std::optional<BtreeHeader> TreeRoot::header() const {
  if (!page) return std::nullopt;
  return BtreeHeader{*page, checksum, length};
}

Status check_insert_lengths(uint64_t key_length, uint64_t value_length) {
  auto too_large = [](uint64_t length) {
    return std::unexpected(Error{fmt::format("The value (length={}) being inserted exceeds the maximum of {}GiB", length,
                                             max_value_length >> 30)});
  };
  if (value_length > max_value_length) return too_large(value_length);
  if (key_length > max_value_length) return too_large(key_length);
  if (key_length + value_length > max_pair_length) return too_large(key_length + value_length);
  return {};
}

// ---------------------------------------------------------------------------------------------
// BtreeWriter

size_t BtreeWriter::build_leaf(std::span<const LeafEntry> entries, std::vector<uint8_t>& out) {
  size_t size = leaf_size(entries, widths_);
  out.resize(uint64_t{page_size} << page_order_for(size));
  write_leaf(out, entries, widths_);
  return size;
}

Result<PageNumber> BtreeWriter::place(std::optional<PageNumber> reuse, std::span<const uint8_t> built) {
  uint8_t order = page_order_for(built.size());
  if (reuse && reuse->order == order) {
    std::memcpy(space_.cache().resident(*reuse), built.data(), built.size());
    return *reuse;
  }
  if (reuse) space_.release(*reuse);
  auto page = space_.allocate(order);
  if (!page) return page;
  std::memcpy(space_.cache().create_unfilled(*page), built.data(), built.size());
  return *page;
}

Result<bool> BtreeWriter::insert(std::string_view key, std::string_view value) {
  if (!root_.page) {
    LeafEntry entry{key, value};
    build_leaf({&entry, 1}, space_.left_page);
    auto page = place(std::nullopt, space_.left_page);
    if (!page) return std::unexpected(page.error());
    root_.page = *page;
    root_.length = 1;
    return false;
  }
  const KeyProbe probe(order_, key);
  if (path_ && path_->valid && path_->root == *root_.page) {
    if (auto replaced = insert_along_path(probe, value)) {
      if (!*replaced) ++root_.length;
      return *replaced;
    }
  }
  if (path_) path_->valid = false;
  path_kept_ = true;
  auto outcome = insert_into(*root_.page, probe, value, 0, Bounds{});
  if (!outcome) return std::unexpected(outcome.error());
  if (path_ && path_kept_ && !outcome->separator) {
    path_->valid = true;
    path_->root = outcome->page;
  }
  root_.page = outcome->page;
  if (outcome->separator) {
    // The root split: a new root with one key and two children.
    BranchChild children[2] = {{outcome->page, deferred_checksum()}, {outcome->right, deferred_checksum()}};
    std::string_view separator = *outcome->separator;
    space_.left_page.resize(uint64_t{page_size}
                            << page_order_for(branch_size(1, separator.size(), widths_.key)));
    write_branch(space_.left_page, children, {&separator, 1}, widths_.key);
    auto page = place(std::nullopt, space_.left_page);
    if (!page) return std::unexpected(page.error());
    root_.page = *page;
  }
  if (!outcome->replaced) ++root_.length;
  return outcome->replaced;
}

Result<BtreeWriter::Outcome> BtreeWriter::insert_into(PageNumber original, const KeyProbe& key,
                                                      std::string_view value, size_t depth, const Bounds& bounds) {
  if (depth > max_tree_depth) return std::unexpected(depth_error());
  auto page = space_.writable(original);
  if (!page) return std::unexpected(page.error());
  uint8_t* data = space_.cache().resident(*page);
  if (page_type(block_of(data, *page)) == leaf_page_type) {
    auto outcome = insert_into_leaf(*page, key, value);
    if (!outcome) return outcome;
    if (outcome->separator || outcome->page != *page) {
      path_kept_ = false;
    } else if (path_) {
      path_->leaf = *page;
      path_->lower = bounds.lower;
      path_->upper = bounds.upper;
    }
    return outcome;
  }

  auto branch = BranchView::open(block_of(data, *page), widths_.key);
  if (!branch) return std::unexpected(branch.error());
  size_t child_index = child_for_key(*branch, key);
  size_t key_count = branch->key_count();
  const Bounds child_bounds{child_index == 0 ? bounds.lower : std::optional<std::string_view>(branch->key(child_index - 1)),
                            child_index == key_count ? bounds.upper
                                                     : std::optional<std::string_view>(branch->key(child_index))};
  auto child = insert_into(branch->child_page(child_index), key, value, depth + 1, child_bounds);
  if (!child) return std::unexpected(child.error());
  if (!child->separator) {
    // Same shape: only the child's page number and (deferred) checksum change.
    store_u64(data + 8 + 16 * (key_count + 1) + 8 * child_index, child->page.to_raw());
    deferred_checksum().store(data + 8 + 16 * child_index);
    return Outcome{*page, std::nullopt, {}, child->replaced};
  }
  auto& children = space_.children;
  auto& separators = space_.separators;
  children.clear();
  separators.clear();
  for (size_t j = 0; j <= key_count; ++j) children.push_back({branch->child_page(j), branch->child_checksum(j)});
  for (size_t i = 0; i < key_count; ++i) separators.push_back(branch->key(i));
  children[child_index] = {child->page, deferred_checksum()};
  children.insert(children.begin() + static_cast<ptrdiff_t>(child_index) + 1, {child->right, deferred_checksum()});
  // The separator string lives in `child` until store_branch has copied it into a page.
  separators.insert(separators.begin() + static_cast<ptrdiff_t>(child_index), *child->separator);
  path_kept_ = false;
  return store_branch(*page, child->replaced);
}

std::optional<bool> BtreeWriter::insert_along_path(const KeyProbe& key, std::string_view value) {
  if ((path_->lower && key.compare(*path_->lower) >= 0) || (path_->upper && key.compare(*path_->upper) < 0))
    return std::nullopt;
  uint8_t* data = space_.cache().resident(path_->leaf);
  if (!data) return std::nullopt;
  const std::span<uint8_t> block = block_of(data, path_->leaf);
  auto leaf = LeafView::open(block, widths_);
  if (!leaf) return std::nullopt;
  const size_t position = leaf_position(*leaf, key);
  if (position < leaf->count() && key.compare(leaf->key(position)) == 0) {
    // A replaced value of the same length (and a key of the same bytes' length) is written
    // over the old one; anything else takes the full way.
    std::string_view old_key = leaf->key(position), old_value = leaf->value(position);
    if (old_key.size() != key.key().size() || old_value.size() != value.size()) return std::nullopt;
    std::memcpy(const_cast<char*>(old_key.data()), key.key().data(), old_key.size());
    std::memcpy(const_cast<char*>(old_value.data()), value.data(), value.size());
    return true;
  }
  if (leaf->count() == 1 && leaf->used_length() >= split_threshold) return std::nullopt;
  const size_t grown = leaf->used_length() + LeafView::header_length(1, widths_) - 4 + key.key().size() + value.size();
  if (grown > split_threshold || page_order_for(grown) != path_->leaf.order) return std::nullopt;
  insert_in_place(block, *leaf, position, key.key(), value);
  return false;
}

Result<BtreeWriter::Outcome> BtreeWriter::store_branch(PageNumber page, bool replaced) {
  auto& children = space_.children;
  auto& separators = space_.separators;
  auto build = [&](size_t first_key, size_t key_count, std::vector<uint8_t>& out) {
    size_t key_bytes = 0;
    for (size_t i = first_key; i < first_key + key_count; ++i) key_bytes += separators[i].size();
    out.resize(uint64_t{page_size} << page_order_for(branch_size(key_count, key_bytes, widths_.key)));
    write_branch(out, std::span(children).subspan(first_key, key_count + 1),
                 std::span(separators).subspan(first_key, key_count), widths_.key);
  };
  size_t key_count = separators.size();
  size_t key_bytes = 0;
  for (std::string_view separator : separators) key_bytes += separator.size();
  if (branch_size(key_count, key_bytes, widths_.key) <= split_threshold || key_count < 3) {
    build(0, key_count, space_.left_page);
    auto placed = place(page, space_.left_page);
    if (!placed) return std::unexpected(placed.error());
    return Outcome{*placed, std::nullopt, {}, replaced};
  }
  // Left: children 0..d and keys 0..d-1; key d moves up; right: children d+1..m, keys d+1..m-1.
  size_t middle = key_count / 2;
  build(0, middle, space_.left_page);
  build(middle + 1, key_count - middle - 1, space_.right_page);
  std::string up(separators[middle]);
  auto left = place(page, space_.left_page);
  if (!left) return std::unexpected(left.error());
  auto right = place(std::nullopt, space_.right_page);
  if (!right) return std::unexpected(right.error());
  return Outcome{*left, std::move(up), *right, replaced};
}

Result<BtreeWriter::Outcome> BtreeWriter::insert_into_leaf(PageNumber page, const KeyProbe& probe,
                                                           std::string_view value) {
  const std::string_view key = probe.key();
  uint8_t* data = space_.cache().resident(page);
  auto leaf = LeafView::open(block_of(data, page), widths_);
  if (!leaf) return std::unexpected(leaf.error());
  size_t count = leaf->count();
  size_t position = leaf_position(*leaf, probe);
  bool found = position < count && probe.compare(leaf->key(position)) == 0;

  if (!found && count == 1 && leaf->used_length() >= split_threshold) {
    // A single large value stays where it is; the new key gets a leaf of its own.
    LeafEntry entry{key, value};
    build_leaf({&entry, 1}, space_.right_page);
    auto alone = place(std::nullopt, space_.right_page);
    if (!alone) return std::unexpected(alone.error());
    if (position == 0) return Outcome{*alone, std::string(key), page, false};
    return Outcome{page, std::string(leaf->key(0)), *alone, false};
  }

  if (!found) {
    const size_t grown = leaf->used_length() + LeafView::header_length(1, widths_) - 4 + key.size() + value.size();
    if (grown <= split_threshold && page_order_for(grown) == page.order) {
      insert_in_place(block_of(data, page), *leaf, position, key, value);
      return Outcome{page, std::nullopt, {}, false};
    }
  }

  auto& entries = space_.entries;
  entries.clear();
  for (size_t i = 0; i < position; ++i) entries.push_back({leaf->key(i), leaf->value(i)});
  entries.push_back({key, value});
  for (size_t i = found ? position + 1 : position; i < count; ++i) entries.push_back({leaf->key(i), leaf->value(i)});

  if (leaf_size(entries, widths_) <= split_threshold || entries.size() == 1) {
    build_leaf(entries, space_.left_page);
    auto placed = place(page, space_.left_page);
    if (!placed) return std::unexpected(placed.error());
    return Outcome{*placed, std::nullopt, {}, found};
  }
  // Split after the first entry where the running key+value bytes reach half of the total.
  uint64_t total = 0;
  for (const LeafEntry& entry : entries) total += entry.key.size() + entry.value.size();
  size_t division = entries.size() - 1;
  uint64_t running = 0;
  for (size_t i = 0; i + 1 < entries.size(); ++i) {
    running += entries[i].key.size() + entries[i].value.size();
    if (running >= total / 2) {
      division = i + 1;
      break;
    }
  }
  std::span<const LeafEntry> all(entries);
  build_leaf(all.first(division), space_.left_page);
  build_leaf(all.subspan(division), space_.right_page);
  std::string separator(entries[division - 1].key);
  auto left = place(page, space_.left_page);
  if (!left) return std::unexpected(left.error());
  auto right = place(std::nullopt, space_.right_page);
  if (!right) return std::unexpected(right.error());
  return Outcome{*left, std::move(separator), *right, found};
}

void BtreeWriter::insert_in_place(std::span<uint8_t> page, const LeafView& leaf, size_t position,
                                  std::string_view key, std::string_view value) {
  // Every part moves right: the offset arrays grow by one entry, so the keys before `position`
  // move by that growth, the keys after it by the new key too, the values before it by both,
  // the values after it by the new value too. Parts are moved right to left, then the new key
  // and value and the arrays are written; the tail past the leaf is zero, as a rebuilt one's.
  uint8_t* const base = page.data();
  const size_t count = leaf.count();
  auto offset_of = [&](std::string_view bytes) { return static_cast<size_t>(reinterpret_cast<const uint8_t*>(bytes.data()) - base); };
  const size_t keys_begin = offset_of(leaf.key(0));
  const size_t keys_split = position < count ? offset_of(leaf.key(position)) : leaf.keys_end();
  const size_t keys_end = leaf.keys_end();
  const size_t values_split = position < count ? offset_of(leaf.value(position)) : leaf.used_length();
  const size_t used = leaf.used_length();
  const size_t header_growth = LeafView::header_length(1, widths_) - 4;

  // New ends, from the old ones, before any byte moves.
  auto& key_ends = space_.key_ends;
  auto& value_ends = space_.value_ends;
  key_ends.clear();
  value_ends.clear();
  for (size_t i = 0; i < count; ++i) {
    const size_t key_end = offset_of(leaf.key(i)) + leaf.key(i).size();
    const size_t value_end = offset_of(leaf.value(i)) + leaf.value(i).size();
    if (i == position) {
      key_ends.push_back(static_cast<uint32_t>(keys_split + header_growth + key.size()));
      value_ends.push_back(static_cast<uint32_t>(values_split + header_growth + key.size() + value.size()));
    }
    const size_t key_shift = header_growth + (i >= position ? key.size() : 0);
    const size_t value_shift = header_growth + key.size() + (i >= position ? value.size() : 0);
    key_ends.push_back(static_cast<uint32_t>(key_end + key_shift));
    value_ends.push_back(static_cast<uint32_t>(value_end + value_shift));
  }
  if (position == count) {
    key_ends.push_back(static_cast<uint32_t>(keys_end + header_growth + key.size()));
    value_ends.push_back(static_cast<uint32_t>(used + header_growth + key.size() + value.size()));
  }

  const size_t key_and_value = key.size() + value.size();
  std::memmove(base + values_split + header_growth + key_and_value, base + values_split, used - values_split);
  std::memmove(base + keys_end + header_growth + key.size(), base + keys_end, values_split - keys_end);
  std::memmove(base + keys_split + header_growth + key.size(), base + keys_split, keys_end - keys_split);
  std::memmove(base + keys_begin + header_growth, base + keys_begin, keys_split - keys_begin);
  std::memcpy(base + values_split + header_growth + key.size(), value.data(), value.size());
  std::memcpy(base + keys_split + header_growth, key.data(), key.size());

  store_u16(base + 2, static_cast<uint16_t>(count + 1));
  uint8_t* arrays = base + 4;
  if (!widths_.key) {
    for (uint32_t end : key_ends) store_u32(arrays, end), arrays += 4;
  }
  if (!widths_.value) {
    for (uint32_t end : value_ends) store_u32(arrays, end), arrays += 4;
  }
  const size_t new_used = used + header_growth + key_and_value;
  std::fill(base + new_used, base + page.size(), uint8_t{0});
}

Result<std::optional<std::string>> BtreeWriter::get(std::string_view key) {
  if (!root_.page) return std::optional<std::string>{};
  const KeyProbe probe(order_, key);
  PageNumber page = *root_.page;
  std::vector<uint8_t>& buffer = space_.read_page;
  for (size_t depth = 0;; ++depth) {
    if (depth > max_tree_depth) return std::unexpected(depth_error());
    std::span<const uint8_t> block;
    if (uint8_t* held = space_.cache().resident(page)) {
      block = {held, page.byte_length()};
    } else {
      buffer.resize(page.byte_length());
      if (auto read = space_.cache().read(page, buffer); !read) return std::unexpected(read.error());
      block = buffer;
    }
    if (page_type(block) == leaf_page_type) {
      auto leaf = LeafView::open(block, widths_);
      if (!leaf) return std::unexpected(leaf.error());
      size_t position = leaf_position(*leaf, probe);
      if (position < leaf->count() && probe.compare(leaf->key(position)) == 0)
        return std::optional<std::string>(std::string(leaf->value(position)));
      return std::optional<std::string>{};
    }
    auto branch = BranchView::open(block, widths_.key);
    if (!branch) return std::unexpected(branch.error());
    page = branch->child_page(child_for_key(*branch, probe));
  }
}

Status BtreeWriter::overwrite(std::string_view key, std::string_view value) {
  auto missing = [] { return std::unexpected(Error::corrupted("in-place update of a page not written by this commit")); };
  if (!root_.page) return missing();
  const KeyProbe probe(order_, key);
  PageNumber page = *root_.page;
  for (size_t depth = 0; depth <= max_tree_depth; ++depth) {
    uint8_t* data = space_.cache().resident(page);
    if (!data) return missing();
    if (page_type(block_of(data, page)) == leaf_page_type) {
      auto leaf = LeafView::open(block_of(data, page), widths_);
      if (!leaf) return std::unexpected(leaf.error());
      size_t position = leaf_position(*leaf, probe);
      if (position >= leaf->count() || probe.compare(leaf->key(position)) != 0 ||
          leaf->value(position).size() != value.size())
        return missing();
      std::memcpy(const_cast<char*>(leaf->value(position).data()), value.data(), value.size());
      return {};
    }
    auto branch = BranchView::open(block_of(data, page), widths_.key);
    if (!branch) return std::unexpected(branch.error());
    page = branch->child_page(child_for_key(*branch, probe));
  }
  return std::unexpected(depth_error());
}

Status BtreeWriter::flush() {
  if (path_) path_->valid = false;
  if (!root_.page || !space_.cache().resident(*root_.page)) return {};
  auto checksum = flush_page(*root_.page, 0);
  if (!checksum) return std::unexpected(checksum.error());
  root_.checksum = *checksum;
  return {};
}

Result<Checksum> BtreeWriter::flush_page(PageNumber page, size_t depth) {
  if (depth > max_tree_depth) return std::unexpected(depth_error());
  uint8_t* data = space_.cache().resident(page);
  size_t used_length;
  if (page_type(block_of(data, page)) == leaf_page_type) {
    auto leaf = LeafView::open(block_of(data, page), widths_);
    if (!leaf) return std::unexpected(leaf.error());
    used_length = leaf->used_length();
  } else {
    auto branch = BranchView::open(block_of(data, page), widths_.key);
    if (!branch) return std::unexpected(branch.error());
    // Children first: a parent's checksum covers its children's checksums.
    for (size_t j = 0; j < branch->child_count(); ++j) {
      PageNumber child = branch->child_page(j);
      if (!space_.cache().resident(child)) continue;
      auto checksum = flush_page(child, depth + 1);
      if (!checksum) return checksum;
      checksum->store(data + 8 + 16 * j);
    }
    used_length = branch->used_length();
  }
  Checksum checksum = page_checksum(block_of(data, page), used_length);
  space_.cache().finish(page);
  return checksum;
}

Status visit_tree_pages(const PageCache& cache, PageNumber root, EntryWidths widths, bool read_leaves,
                        const PageVisitor& visit) {
  // One buffer per level, reused; the walk is depth first.
  std::vector<std::vector<uint8_t>> buffers(max_tree_depth + 1);
  std::function<Status(PageNumber, size_t, bool)> walk = [&](PageNumber page, size_t depth, bool known_leaf) -> Status {
    if (depth > max_tree_depth) return std::unexpected(depth_error());
    if (known_leaf && !read_leaves) return visit(page, {});
    std::vector<uint8_t>& buffer = buffers[depth];
    buffer.resize(page.byte_length());
    if (auto read = cache.read(page, buffer); !read) return read;
    if (auto visited = visit(page, buffer); !visited) return visited;
    if (page_type(buffer) != branch_page_type) return {};
    auto branch = BranchView::open(buffer, widths.key);
    if (!branch) return std::unexpected(branch.error());
    // Children of a branch are leaves exactly when the first child is one (one depth).
    std::vector<uint8_t>& probe = buffers[depth + 1];
    probe.resize(branch->child_page(0).byte_length());
    if (auto read = cache.read(branch->child_page(0), probe); !read) return read;
    bool children_are_leaves = page_type(probe) == leaf_page_type;
    std::vector<PageNumber> children;
    for (size_t j = 0; j < branch->child_count(); ++j) children.push_back(branch->child_page(j));
    for (PageNumber child : children)
      if (auto walked = walk(child, depth + 1, children_are_leaves); !walked) return walked;
    return {};
  };
  return walk(root, 0, false);
}

}  // namespace redb::detail
