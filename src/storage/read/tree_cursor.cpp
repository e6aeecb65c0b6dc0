#include "read/tree_cursor.h"

#include <fmt/format.h>

#include "format/little_endian.h"
#include "format/utf8.h"

namespace redb::detail {
namespace {

Error too_deep() { return Error::corrupted("B-tree deeper than any file can hold (a cycle of page references)"); }

Error unknown_type(uint8_t type) { return Error::corrupted(fmt::format("unknown page type {}", type)); }

Result<int> compare_keys(KeyOrder order, std::string_view stored, std::string_view query) {
  if (order == KeyOrder::text) {
    if (!is_valid_utf8(stored)) return std::unexpected(Error::corrupted("stored table name is not valid UTF-8"));
    int c = stored.compare(query);
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
  }
  if (stored.size() != 5 || query.size() != 5)
    return std::unexpected(Error::corrupted("allocator state key of the wrong width"));
  auto tag = [](std::string_view k) { return static_cast<uint8_t>(k[0]); };
  auto number = [](std::string_view k) { return load_u32(reinterpret_cast<const uint8_t*>(k.data()) + 1); };
  if (tag(stored) != tag(query)) return tag(stored) < tag(query) ? -1 : 1;
  if (number(stored) != number(query)) return number(stored) < number(query) ? -1 : 1;
  return 0;
}

}  // namespace

TreeCursor::TreeCursor(const PageSource* source, PageBudget* budget) : source_(source), budget_(budget) {
  levels_.reserve(max_tree_depth);
}

void TreeCursor::reset(std::optional<PageNumber> root, EntryWidths widths, ChildFilter* filter, bool defer_values) {
  root_ = root;
  widths_ = widths;
  filter_ = filter;
  defer_values_ = defer_values;
  depth_ = 0;
  leaf_index_ = 0;
  started_ = false;
  finished_ = false;
}

Result<bool> TreeCursor::enter(PageNumber page, const Bounds& bounds, ChildRead how) {
  if (depth_ >= max_tree_depth) return std::unexpected(too_deep());
  if (levels_.size() <= depth_) levels_.emplace_back();
  Level& level = levels_[depth_];
  // The first base page (or, for a block of several pages whose values are probably not
  // wanted, its first part: enough for the header and keys of most leaves) tells a leaf from a
  // branch; a branch is read whole. A one-page block is read whole at once: a shorter read
  // costs the same system call and would need a second one for its keys.
  level.page.clear();
  const bool keys_first = how == ChildRead::keys_first && defer_values_ && page.order > 0;
  const size_t first_part = keys_first ? keys_first_bytes : page_size;
  if (auto read = source_->read_part(page, first_part, level.page); !read) return std::unexpected(read.error());
  if (auto charged = budget_->charge(page.order); !charged) return std::unexpected(charged.error());
  uint8_t type = page_type(level.page.bytes());
  if (type == leaf_page_type) {
    std::swap(level.page, leaf_page_);
    if (auto opened = open_leaf(page); !opened) return std::unexpected(opened.error());
    leaf_bounds_ = bounds;
    leaf_depth_ = depth_;
    return true;
  }
  if (type != branch_page_type) return std::unexpected(unknown_type(type));
  if (auto read = source_->read_part(page, page.byte_length(), level.page); !read) return std::unexpected(read.error());
  auto branch = BranchView::open(level.page.bytes(), widths_.key);
  if (!branch) return std::unexpected(branch.error());
  level.number = page;
  level.branch = *branch;
  level.next_child = 0;
  level.bounds = bounds;
  ++depth_;
  return false;
}

Status TreeCursor::open_leaf(PageNumber page) {
  // The block's first page is read. A larger leaf is read as far as its offset arrays, then
  // its keys, then (unless deferred) its values; the unused tail of the block never.
  const size_t block = page.byte_length();
  leaf_number_ = page;
  leaf_index_ = 0;
  if (leaf_page_.size() >= 4 && block > leaf_page_.size()) {
    size_t count = load_u16(leaf_page_.data() + 2);
    size_t header = std::min(block, LeafView::header_length(count, widths_));
    if (auto read = source_->read_part(page, header, leaf_page_); !read) return read;
  }
  auto leaf = LeafView::open(leaf_page_.bytes(), widths_, block);
  if (!leaf) return std::unexpected(leaf.error());
  leaf_ = *leaf;
  size_t wanted = defer_values_ ? leaf_.keys_end() : leaf_.used_length();
  if (wanted > leaf_page_.size()) {
    if (auto read = source_->read_part(page, wanted, leaf_page_); !read) return read;
    leaf_.rebase(leaf_page_.data());
  }
  return {};
}

Status TreeCursor::load_values() {
  if (values_loaded()) return {};
  if (auto read = source_->read_part(leaf_number_, leaf_.used_length(), leaf_page_); !read) return read;
  leaf_.rebase(leaf_page_.data());
  return {};
}

Result<bool> TreeCursor::next() {
  if (finished_) return false;
  if (!started_) {
    started_ = true;
    if (!root_) {
      finished_ = true;
      return false;
    }
    ChildRead how = ChildRead::whole;
    if (filter_) {
      auto read = filter_->read_child(Bounds{}, *root_);
      if (!read) return fail(read.error());
      if (*read == ChildRead::skip) {
        finished_ = true;
        return false;
      }
      how = *read;
    }
    auto at_leaf = enter(*root_, Bounds{}, how);
    if (!at_leaf) return fail(at_leaf.error());
    if (*at_leaf) return true;
  } else if (++leaf_index_ < leaf_.count()) {
    return true;
  } else if (filter_) {
    filter_->leave_child(leaf_number_);
  }
  // The next leaf: the next child to read of the deepest branch with one left.
  while (depth_ > 0) {
    Level& parent = levels_[depth_ - 1];
    if (parent.next_child >= parent.branch.child_count()) {
      --depth_;
      if (filter_) filter_->leave_child(parent.number);
      continue;
    }
    const size_t j = parent.next_child++;
    Bounds bounds{j == 0 ? parent.bounds.lower : std::optional<std::string_view>(parent.branch.key(j - 1)),
                  j == parent.branch.key_count() ? parent.bounds.upper
                                                 : std::optional<std::string_view>(parent.branch.key(j))};
    ChildRead how = ChildRead::whole;
    if (filter_) {
      auto read = filter_->read_child(bounds, parent.branch.child_page(j));
      if (!read) return fail(read.error());
      if (*read == ChildRead::skip) continue;
      how = *read;
    }
    auto at_leaf = enter(parent.branch.child_page(j), bounds, how);
    if (!at_leaf) return fail(at_leaf.error());
    if (*at_leaf) return true;
  }
  finished_ = true;
  return false;
}

Result<std::optional<std::string>> find_in_tree(const PageSource& source, PageNumber root, EntryWidths widths,
                                                KeyOrder order, std::string_view key) {
  std::vector<uint8_t> page;
  PageNumber current = root;
  for (size_t depth = 0;; ++depth) {
    if (depth >= max_tree_depth) return std::unexpected(too_deep());
    if (auto read = source.read(current, page); !read) return std::unexpected(read.error());
    uint8_t type = page_type(page);
    if (type == leaf_page_type) {
      auto leaf = LeafView::open(page, widths);
      if (!leaf) return std::unexpected(leaf.error());
      size_t low = 0, high = leaf->count();
      while (low < high) {
        size_t middle = low + (high - low) / 2;
        auto c = compare_keys(order, leaf->key(middle), key);
        if (!c) return std::unexpected(c.error());
        if (*c == 0) return std::optional<std::string>(std::string(leaf->value(middle)));
        if (*c < 0) low = middle + 1;
        else high = middle;
      }
      return std::optional<std::string>();
    }
    if (type != branch_page_type) return std::unexpected(unknown_type(type));
    auto branch = BranchView::open(page, widths.key);
    if (!branch) return std::unexpected(branch.error());
    // The smallest i with key <= separator[i]; past every separator: the last child.
    size_t low = 0, high = branch->key_count();
    while (low < high) {
      size_t middle = low + (high - low) / 2;
      auto c = compare_keys(order, branch->key(middle), key);
      if (!c) return std::unexpected(c.error());
      if (*c < 0) low = middle + 1;
      else high = middle;
    }
    current = branch->child_page(low);
  }
}

}  // namespace redb::detail
