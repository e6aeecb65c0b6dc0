// Walking one B-tree: an ascending full scan and a point lookup.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "page_layout.h"
#include "page_source.h"

namespace redb::detail {

// Ascending scan over the entries of one B-tree of any depth, with pages of any order. It
// descends along child 0, yields a leaf's entries, then climbs to the nearest branch with an
// unvisited child. Keys and values are views into page buffers the cursor reuses (one per
// level), so no record costs an allocation; a view is valid until the next call to next().
class TreeCursor {
 public:
  // `budget` (shared by every cursor of one scan) bounds the pages read.
  TreeCursor(const PageSource* source, PageBudget* budget);

  // Starts over on the tree rooted at `root` (none: an empty tree), keeping the buffers.
  void reset(std::optional<PageNumber> root, EntryWidths widths);
  // Moves to the next entry: true when there is one, false at the end.
  Result<bool> next();
  std::string_view key() const { return leaf_.key(leaf_index_); }
  std::string_view value() const { return leaf_.value(leaf_index_); }

 private:
  struct Level {
    std::vector<uint8_t> page;
    BranchView branch;
    size_t next_child = 0;
  };
  // Reads `page` and the pages along its child 0 down to a leaf.
  Status descend(PageNumber page);

  const PageSource* source_;
  PageBudget* budget_;
  EntryWidths widths_;
  std::optional<PageNumber> root_;
  std::vector<Level> levels_;  // branch pages from the root down; max_tree_depth reserved
  size_t depth_ = 0;           // levels in use
  std::vector<uint8_t> leaf_page_;
  LeafView leaf_;
  size_t leaf_index_ = 0;
  bool started_ = false;
  bool finished_ = false;
};

// How the keys of a looked-up tree are ordered.
enum class KeyOrder {
  text,                // &str: bytes, each stored key checked to be UTF-8
  allocator_state_key  // tag byte, then u32 LE compared as a number
};

// The value stored under `key` in the tree rooted at `root` (copied), or nullopt. Descends by
// the separators: child i holds the keys in (key[i-1], key[i]].
Result<std::optional<std::string>> find_in_tree(const PageSource& source, PageNumber root, EntryWidths widths,
                                                KeyOrder order, std::string_view key);

}  // namespace redb::detail
