#include "read/tree_verify.h"

#include <functional>
#include <vector>

#include "format/page_layout.h"
#include "format/table_definition.h"

namespace redb::detail {
namespace {

// One walk: every page checked against the checksum its parent (or the root header) holds.
class Verifier {
 public:
  explicit Verifier(const PageSource& source) : source_(source), budget_(source.page_count()) {}

  // Calls `on_leaf` for each leaf of the tree (after its checksum matched); it may walk
  // further trees. Stops at the first damage.
  using LeafVisitor = std::function<Result<TreeCheck>(const LeafView&)>;
  Result<TreeCheck> verify(const BtreeHeader& root, EntryWidths widths, const LeafVisitor& on_leaf) {
    return verify_page(root.root, root.checksum, widths, on_leaf, 0);
  }

 private:
  Result<TreeCheck> verify_page(PageNumber page, const Checksum& expected, EntryWidths widths,
                                const LeafVisitor& on_leaf, size_t depth) {
    if (depth >= max_tree_depth || !budget_.charge(page.order)) return TreeCheck::damaged;
    std::vector<uint8_t> bytes;
    if (auto read = source_.read(page, bytes); !read) {
      if (page.order > max_page_order) return TreeCheck::damaged;
      return std::unexpected(read.error());
    }
    if (page_type(bytes) == leaf_page_type) {
      auto leaf = LeafView::open(bytes, widths);
      if (!leaf || page_checksum(bytes, leaf->used_length()) != expected) return TreeCheck::damaged;
      return on_leaf ? on_leaf(*leaf) : TreeCheck::intact;
    }
    if (page_type(bytes) != branch_page_type) return TreeCheck::damaged;
    auto branch = BranchView::open(bytes, widths.key);
    if (!branch || page_checksum(bytes, branch->used_length()) != expected) return TreeCheck::damaged;
    for (size_t j = 0; j < branch->child_count(); ++j) {
      auto child = verify_page(branch->child_page(j), branch->child_checksum(j), widths, on_leaf, depth + 1);
      if (!child || *child == TreeCheck::damaged) return child;
    }
    return TreeCheck::intact;
  }

  const PageSource& source_;
  PageBudget budget_;
};

constexpr uint8_t subtree_collection = 0x03;

}  // namespace

Result<TreeCheck> verify_table_tree(const PageSource& source, const BtreeHeader& table_tree) {
  // The table tree is verified as a whole before any definition in it is decoded, so damage
  // anywhere in it is a mismatch rather than a decoding error.
  auto table_tree_check = Verifier(source).verify(table_tree, {std::nullopt, std::nullopt}, nullptr);
  if (!table_tree_check || *table_tree_check == TreeCheck::damaged) return table_tree_check;
  Verifier verifier(source);
  auto verify_table = [&](const LeafView& leaf) -> Result<TreeCheck> {
    for (size_t i = 0; i < leaf.count(); ++i) {
      auto definition = parse_table_definition(leaf.value(i), leaf.key(i));
      if (!definition) return std::unexpected(definition.error());
      if (!definition->root) continue;
      Verifier::LeafVisitor sub_trees;
      const EntryWidths value_tree{definition->fixed_value_width, 0};
      if (definition->kind == TableKind::multimap) {
        sub_trees = [&](const LeafView& outer) -> Result<TreeCheck> {
          for (size_t k = 0; k < outer.count(); ++k) {
            std::string_view collection = outer.value(k);
            if (collection.size() < 1 + BtreeHeader::size ||
                static_cast<uint8_t>(collection[0]) != subtree_collection)
              continue;
            auto header = BtreeHeader::load(reinterpret_cast<const uint8_t*>(collection.data()) + 1);
            auto check = verifier.verify(header, value_tree, nullptr);
            if (!check || *check == TreeCheck::damaged) return check;
          }
          return TreeCheck::intact;
        };
      }
      auto check = verifier.verify(*definition->root, definition->tree_widths(), sub_trees);
      if (!check || *check == TreeCheck::damaged) return check;
    }
    return TreeCheck::intact;
  };
  return verifier.verify(table_tree, {std::nullopt, std::nullopt}, verify_table);
}

Result<TreeCheck> verify_commit(const PageSource& source, const CommitSlot& slot) {
  for (const auto& root : {slot.user_root, slot.system_root}) {
    if (!root) continue;
    auto check = verify_table_tree(source, *root);
    if (!check || *check == TreeCheck::damaged) return check;
  }
  return TreeCheck::intact;
}

}  // namespace redb::detail

