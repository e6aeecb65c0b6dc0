#include "tree_cursor.h"

#include <fmt/format.h>

#include "little_endian.h"
#include "utf8.h"

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

void TreeCursor::reset(std::optional<PageNumber> root, EntryWidths widths) {
  root_ = root;
  widths_ = widths;
  depth_ = 0;
  leaf_index_ = 0;
  started_ = false;
  finished_ = false;
}

Status TreeCursor::descend(PageNumber page) {
  while (true) {
    if (depth_ >= max_tree_depth) return std::unexpected(too_deep());
    if (levels_.size() <= depth_) levels_.emplace_back();
    Level& level = levels_[depth_];
    if (auto read = source_->read(page, level.page); !read) return read;
    if (auto charged = budget_->charge(page.order); !charged) return charged;
    uint8_t type = page_type(level.page);
    if (type == leaf_page_type) {
      std::swap(level.page, leaf_page_);
      auto leaf = LeafView::open(leaf_page_, widths_);
      if (!leaf) return std::unexpected(leaf.error());
      leaf_ = *leaf;
      leaf_index_ = 0;
      return {};
    }
    if (type != branch_page_type) return std::unexpected(unknown_type(type));
    auto branch = BranchView::open(level.page, widths_.key);
    if (!branch) return std::unexpected(branch.error());
    level.branch = *branch;
    level.next_child = 1;
    ++depth_;
    page = level.branch.child_page(0);
  }
}

Result<bool> TreeCursor::next() {
  if (finished_) return false;
  if (!started_) {
    started_ = true;
    if (!root_) {
      finished_ = true;
      return false;
    }
    if (auto status = descend(*root_); !status) {
      finished_ = true;
      return std::unexpected(status.error());
    }
    return true;
  }
  if (++leaf_index_ < leaf_.count()) return true;
  while (depth_ > 0 && levels_[depth_ - 1].next_child >= levels_[depth_ - 1].branch.child_count()) --depth_;
  if (depth_ == 0) {
    finished_ = true;
    return false;
  }
  Level& parent = levels_[depth_ - 1];
  PageNumber child = parent.branch.child_page(parent.next_child++);
  if (auto status = descend(child); !status) {
    finished_ = true;
    return std::unexpected(status.error());
  }
  return true;
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
