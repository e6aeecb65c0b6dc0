// The row scanner behind TableScan: one table's rows in ascending key order.
//
// A normal table is one B-tree. A multimap table is an outer B-tree keyed by K whose values are
// collections of its key's values: byte 0x01 followed by an inline leaf (offsets counted from
// that leaf's first byte), or byte 0x03 followed by the 32-byte header of a sub-tree. In both
// forms the values are the keys of a V -> () tree. One row per (key, value) pair.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "format/header.h"
#include "format/table_definition.h"
#include "read/tree_cursor.h"
#include "redb.h"
#include "types.h"

namespace redb::detail {

// With a KeyFilter (normal tables, both types given, validating), the scan hands out only the
// rows whose first key element the filter wants, asking it once per run of equal elements.
// Every row read must lie within the bounds of its leaf. What happens to the other rows:
// - UnwantedRows::skipped: a child whose bounds share one first element that is not wanted is
//   not read; in the leaves that are read, a row not wanted is decoded no further than its
//   first element (which must lie within the bounds' first elements); large leaves are read
//   as far as their keys, their values only when a row of them is handed out.
// - UnwantedRows::checked: every page is read and every row validated like a wanted one; only
//   the bytes of values that are neither handed out nor need checking (&[u8]) stay unread.
// Both report the mixed pages they read to the filter (see KeyFilter).
class TreeScanner final : private TreeCursor::ChildFilter {
 public:
  struct Types {
    std::optional<TypeDesc> key_type;    // splits keys for key_element()
    std::optional<TypeDesc> value_type;
    bool validate = false;               // validate every row under the types; keys must ascend
    KeyFilter* filter = nullptr;         // see above
    UnwantedRows unwanted = UnwantedRows::checked;
  };
  // Scans the table stored as `definition` (its kind, widths and root) in the pages of `source`.
  // The pages read count against `shared_budget` when given (it must outlive the scanner), else
  // against a budget of the scanner's own.
  TreeScanner(const PageSource& source, const StoredDefinition& definition, Types types,
              PageBudget* shared_budget = nullptr);

  Result<bool> next();
  std::string_view key() const { return key_; }
  std::string_view value() const { return value_; }
  std::string_view key_element(size_t index) const;
  std::optional<LeafDepths> leaf_depths() const { return leaf_depths_; }

 private:
  Result<bool> next_pair();
  Result<bool> next_multimap_pair();
  Result<bool> next_filtered();
  void note_leaf_depth();
  Status check_row();
  Result<TreeCursor::ChildRead> read_child(const TreeCursor::Bounds& bounds, PageNumber page) override;
  void leave_child(PageNumber page) override;
  // Whether a child with these bounds may hold rows of several first elements; if not, its
  // one element.
  Result<std::optional<std::string_view>> only_element(const TreeCursor::Bounds& bounds) const;
  // The filter's answer for `element`, asked once per run of equal elements.
  bool wanted(std::string_view element);
  // Splits the bounds of a leaf just entered.
  Status enter_leaf();
  Status check_bounds();
  Status check_first_element_bounds(std::string_view element) const;

  PageSource source_;
  PageBudget own_budget_;
  PageBudget* budget_;
  TableKind kind_;
  EntryWidths value_tree_widths_;  // multimap: V -> ()
  Types types_;
  TreeCursor outer_;
  TreeCursor inner_;  // a multimap key's sub-tree
  enum class Inner { none, inline_leaf, subtree } inner_mode_ = Inner::none;
  LeafView inline_leaf_;
  size_t inline_index_ = 0;
  std::string_view key_, value_;
  TypeDesc::Elements key_elements_;  // of key_, when it was validated
  bool key_split_ = false;
  // Validated scans of normal tables: keys must strictly ascend. The previous key is copied
  // (a leaf change reuses its buffer), with its elements as views into the copy.
  std::string previous_key_;
  TypeDesc::Elements previous_elements_;
  bool has_previous_ = false;
  // Filtered scans.
  std::string asked_element_;  // the element the filter was last asked about, and its answer
  bool asked_ = false;
  bool asked_wanted_ = false;
  bool value_needs_bytes_ = true;  // the value type checks more than the value's length
  TypeDesc::Elements lower_elements_, upper_elements_;  // of the current leaf's bounds
  // Of each page the cursor has open, root first: whether it is mixed.
  std::array<bool, max_tree_depth + 1> open_mixed_{};
  size_t open_pages_ = 0;
  std::optional<LeafDepths> leaf_depths_;
};

}  // namespace redb::detail
