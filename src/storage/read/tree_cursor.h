// Walking one B-tree: an ascending full scan and a point lookup.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "format/page_layout.h"
#include "read/page_source.h"

namespace redb::detail {

// Ascending scan over the entries of one B-tree of any depth, with pages of any order. It
// descends along the first child it is to read, yields a leaf's entries, then climbs to the
// nearest branch with a child left to read. Keys and values are views into page buffers the
// cursor reuses (one per level), so no record costs an allocation; a view is valid until the
// next call to next().
//
// Each child gets the key bounds its branch gives it: child j of a branch holds the keys k
// with key[j-1] < k <= key[j], within the bounds of the branch itself (an absent bound is
// open). A ChildFilter may turn a child (the root included) down on its bounds and page number
// alone; it is then not read at all.
// It may also say that the child's values are probably not wanted: a leaf is then read from a
// first part of its page, as far as its keys, even when its page is a base page.
class TreeCursor {
 public:
  struct Bounds {
    std::optional<std::string_view> lower;  // exclusive
    std::optional<std::string_view> upper;  // inclusive
  };
  enum class ChildRead { skip, whole, keys_first };
  class ChildFilter {
   public:
    // How the child at `page` with these bounds is to be read (the root has no bounds). An
    // error ends the scan.
    virtual Result<ChildRead> read_child(const Bounds& bounds, PageNumber page) = 0;
    // The cursor is done with a page read_child let it read: a leaf after its last entry, a
    // branch after its last child. Pages are left in the reverse order they were let in.
    virtual void leave_child(PageNumber page) = 0;

   protected:
    ~ChildFilter() = default;
  };

  // `budget` (shared by every cursor of one scan) bounds the pages read.
  TreeCursor(const PageSource* source, PageBudget* budget);

  // Starts over on the tree rooted at `root` (none: an empty tree), keeping the buffers.
  // `filter`: children it turns down are skipped. `defer_values`: a leaf of a higher order
  // (larger than one base page) is read only as far as its keys; load_values() reads the rest.
  void reset(std::optional<PageNumber> root, EntryWidths widths, ChildFilter* filter = nullptr,
             bool defer_values = false);
  // Moves to the next entry: true when there is one, false at the end.
  Result<bool> next();
  std::string_view key() const { return leaf_.key(leaf_index_); }
  // The value of the current entry; with deferred values, only once they are loaded.
  std::string_view value() const { return leaf_.value(leaf_index_); }
  bool values_loaded() const { return leaf_page_.size() >= leaf_.used_length(); }
  // Reads the values of the current leaf when they were deferred.
  Status load_values();

  // The current leaf: the position of the entry in it, the bounds its parent gives it (views
  // into the branch pages above it, valid while it is current) and the branch levels above it.
  size_t leaf_index() const { return leaf_index_; }
  const Bounds& leaf_bounds() const { return leaf_bounds_; }
  size_t leaf_depth() const { return leaf_depth_; }

 private:
  struct Level {
    PageNumber number;
    PageBuffer page;
    BranchView branch;
    size_t next_child = 0;
    Bounds bounds;  // of this branch
  };
  // Reads `page` at the current depth: a branch becomes the deepest level (false), a leaf the
  // current leaf (true).
  Result<bool> enter(PageNumber page, const Bounds& bounds, ChildRead how);
  Status open_leaf(PageNumber page);
  Result<bool> fail(Error error) {
    finished_ = true;
    return std::unexpected(std::move(error));
  }

  // The first part read of a leaf read keys first.
  static constexpr size_t keys_first_bytes = 1024;

  const PageSource* source_;
  PageBudget* budget_;
  EntryWidths widths_;
  ChildFilter* filter_ = nullptr;
  bool defer_values_ = false;
  std::optional<PageNumber> root_;
  std::vector<Level> levels_;  // branch pages from the root down; max_tree_depth reserved
  size_t depth_ = 0;           // levels in use
  PageBuffer leaf_page_;
  PageNumber leaf_number_;
  LeafView leaf_;
  size_t leaf_index_ = 0;
  Bounds leaf_bounds_;
  size_t leaf_depth_ = 0;
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
