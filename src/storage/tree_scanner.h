// The row scanner behind TableScan: one table's rows in ascending key order.
//
// A normal table is one B-tree. A multimap table is an outer B-tree keyed by K whose values are
// collections of its key's values: byte 0x01 followed by an inline leaf (offsets counted from
// that leaf's first byte), or byte 0x03 followed by the 32-byte header of a sub-tree. In both
// forms the values are the keys of a V -> () tree. One row per (key, value) pair.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "header.h"
#include "table_definition.h"
#include "tree_cursor.h"
#include "types.h"

namespace redb::detail {

class TreeScanner {
 public:
  struct Types {
    std::optional<TypeDesc> key_type;    // splits keys for key_element()
    std::optional<TypeDesc> value_type;
    bool validate = false;               // validate every row under the types; keys must ascend
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

 private:
  Result<bool> next_pair();
  Result<bool> next_multimap_pair();
  Status check_row();

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
};

}  // namespace redb::detail
