#include "btree_insert.h"

#include <cstring>
#include <fmt/format.h>

#include "little_endian.h"
#include "page_source.h"

namespace redb::detail {
namespace {

constexpr size_t split_threshold = 4096;  // fullness is measured against the base page size
constexpr uint64_t max_value_length = uint64_t{3} << 30;
constexpr uint64_t max_pair_length = max_value_length + (uint64_t{768} << 20);

std::span<uint8_t> block_of(uint8_t* data, PageNumber page) { return {data, page.byte_length()}; }

Error depth_error() { return Error::corrupted("B-tree deeper than the file allows (a page is referenced twice)"); }

// The first of the `count` ascending keys of `view` that is not below `key` (count if none).
template <typename View>
size_t first_not_below(const View& view, size_t count, std::string_view key, const EntryOrder& order) {
  size_t low = 0, high = count;
  while (low < high) {
    size_t middle = (low + high) / 2;
    if (order.compare(view.key(middle), key) < 0) low = middle + 1;
    else high = middle;
  }
  return low;
}

// Child of a branch whose key range holds `key`: the smallest i with key <= key[i], else m.
size_t child_for_key(const BranchView& branch, std::string_view key, const EntryOrder& order) {
  return first_not_below(branch, branch.key_count(), key, order);
}

// Position of the first entry whose key is not below `key`.
size_t leaf_position(const LeafView& leaf, std::string_view key, const EntryOrder& order) {
  return first_not_below(leaf, leaf.count(), key, order);
}

}  // namespace

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
  std::memcpy(space_.cache().create(*page), built.data(), built.size());
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
  auto outcome = insert_into(*root_.page, key, value, 0);
  if (!outcome) return std::unexpected(outcome.error());
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

Result<BtreeWriter::Outcome> BtreeWriter::insert_into(PageNumber original, std::string_view key,
                                                      std::string_view value, size_t depth) {
  if (depth > max_tree_depth) return std::unexpected(depth_error());
  auto page = space_.writable(original);
  if (!page) return std::unexpected(page.error());
  uint8_t* data = space_.cache().resident(*page);
  if (page_type(block_of(data, *page)) == leaf_page_type) return insert_into_leaf(*page, key, value);

  auto branch = BranchView::open(block_of(data, *page), widths_.key);
  if (!branch) return std::unexpected(branch.error());
  size_t child_index = child_for_key(*branch, key, order_);
  auto child = insert_into(branch->child_page(child_index), key, value, depth + 1);
  if (!child) return std::unexpected(child.error());
  size_t key_count = branch->key_count();
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
  return store_branch(*page, child->replaced);
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

Result<BtreeWriter::Outcome> BtreeWriter::insert_into_leaf(PageNumber page, std::string_view key,
                                                           std::string_view value) {
  uint8_t* data = space_.cache().resident(page);
  auto leaf = LeafView::open(block_of(data, page), widths_);
  if (!leaf) return std::unexpected(leaf.error());
  size_t count = leaf->count();
  size_t position = leaf_position(*leaf, key, order_);
  bool found = position < count && order_.compare(leaf->key(position), key) == 0;

  if (!found && count == 1 && leaf->used_length() >= split_threshold) {
    // A single large value stays where it is; the new key gets a leaf of its own.
    LeafEntry entry{key, value};
    build_leaf({&entry, 1}, space_.right_page);
    auto alone = place(std::nullopt, space_.right_page);
    if (!alone) return std::unexpected(alone.error());
    if (position == 0) return Outcome{*alone, std::string(key), page, false};
    return Outcome{page, std::string(leaf->key(0)), *alone, false};
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

Result<std::optional<std::string>> BtreeWriter::get(std::string_view key) {
  if (!root_.page) return std::optional<std::string>{};
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
      size_t position = leaf_position(*leaf, key, order_);
      if (position < leaf->count() && order_.compare(leaf->key(position), key) == 0)
        return std::optional<std::string>(std::string(leaf->value(position)));
      return std::optional<std::string>{};
    }
    auto branch = BranchView::open(block, widths_.key);
    if (!branch) return std::unexpected(branch.error());
    page = branch->child_page(child_for_key(*branch, key, order_));
  }
}

Status BtreeWriter::overwrite(std::string_view key, std::string_view value) {
  auto missing = [] { return std::unexpected(Error::corrupted("in-place update of a page not written by this commit")); };
  if (!root_.page) return missing();
  PageNumber page = *root_.page;
  for (size_t depth = 0; depth <= max_tree_depth; ++depth) {
    uint8_t* data = space_.cache().resident(page);
    if (!data) return missing();
    if (page_type(block_of(data, page)) == leaf_page_type) {
      auto leaf = LeafView::open(block_of(data, page), widths_);
      if (!leaf) return std::unexpected(leaf.error());
      size_t position = leaf_position(*leaf, key, order_);
      if (position >= leaf->count() || order_.compare(leaf->key(position), key) != 0 ||
          leaf->value(position).size() != value.size())
        return missing();
      std::memcpy(const_cast<char*>(leaf->value(position).data()), value.data(), value.size());
      return {};
    }
    auto branch = BranchView::open(block_of(data, page), widths_.key);
    if (!branch) return std::unexpected(branch.error());
    page = branch->child_page(child_for_key(*branch, key, order_));
  }
  return std::unexpected(depth_error());
}

Status BtreeWriter::flush() {
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
