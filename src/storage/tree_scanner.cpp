#include "tree_scanner.h"

#include <fmt/format.h>

namespace redb::detail {
namespace {

constexpr uint8_t inline_collection = 0x01;
constexpr uint8_t subtree_collection = 0x03;

}  // namespace

TreeScanner::TreeScanner(const PageSource& source, const StoredDefinition& definition, Types types,
                         PageBudget* shared_budget)
    : source_(source),
      own_budget_(source.page_count()),
      budget_(shared_budget != nullptr ? shared_budget : &own_budget_),
      kind_(definition.kind),
      value_tree_widths_{definition.fixed_value_width, 0},
      types_(std::move(types)),
      outer_(&source_, budget_),
      inner_(&source_, budget_) {
  std::optional<PageNumber> root;
  if (definition.root) root = definition.root->root;
  outer_.reset(root, definition.tree_widths());
}

Result<bool> TreeScanner::next() {
  auto more = kind_ == TableKind::multimap ? next_multimap_pair() : next_pair();
  if (!more || !*more) return more;
  if (types_.validate) {
    if (auto status = check_row(); !status) return std::unexpected(status.error());
  }
  return true;
}

Result<bool> TreeScanner::next_pair() {
  auto more = outer_.next();
  if (!more || !*more) return more;
  key_ = outer_.key();
  value_ = outer_.value();
  return true;
}

Result<bool> TreeScanner::next_multimap_pair() {
  while (true) {
    if (inner_mode_ == Inner::inline_leaf) {
      if (++inline_index_ < inline_leaf_.count()) {
        value_ = inline_leaf_.key(inline_index_);
        return true;
      }
      inner_mode_ = Inner::none;
    } else if (inner_mode_ == Inner::subtree) {
      auto more = inner_.next();
      if (!more) return more;
      if (*more) {
        value_ = inner_.key();
        return true;
      }
      inner_mode_ = Inner::none;
    }
    auto more = outer_.next();
    if (!more || !*more) return more;
    key_ = outer_.key();
    std::string_view collection = outer_.value();
    if (collection.empty()) return std::unexpected(Error::corrupted("empty multimap value collection"));
    const auto* bytes = reinterpret_cast<const uint8_t*>(collection.data());
    if (bytes[0] == inline_collection) {
      auto leaf = LeafView::open({bytes + 1, collection.size() - 1}, value_tree_widths_);
      if (!leaf) return std::unexpected(leaf.error());
      inline_leaf_ = *leaf;
      inline_index_ = 0;
      inner_mode_ = Inner::inline_leaf;
      value_ = inline_leaf_.key(0);
      return true;
    }
    if (bytes[0] != subtree_collection)
      return std::unexpected(Error::corrupted(fmt::format("unknown multimap collection type {}", bytes[0])));
    if (collection.size() < 1 + BtreeHeader::size)
      return std::unexpected(Error::corrupted("multimap sub-tree header is cut short"));
    inner_.reset(BtreeHeader::load(bytes + 1).root, value_tree_widths_);
    inner_mode_ = Inner::subtree;
  }
}

Status TreeScanner::check_row() {
  key_split_ = false;
  if (types_.key_type) {
    if (auto status = types_.key_type->validate(key_, key_elements_); !status) return status;
    key_split_ = true;
  }
  if (types_.value_type) {
    if (auto status = types_.value_type->validate(value_); !status) return status;
  }
  if (kind_ == TableKind::normal && types_.key_type) {
    if (has_previous_ && types_.key_type->compare_elements(previous_elements_, key_elements_) >= 0)
      return std::unexpected(Error::corrupted("table keys are not in ascending order"));
    previous_key_.assign(key_);
    for (size_t i = 0; i < types_.key_type->element_count(); ++i)
      previous_elements_[i] = std::string_view(previous_key_).substr(
          static_cast<size_t>(key_elements_[i].data() - key_.data()), key_elements_[i].size());
    has_previous_ = true;
  }
  return {};
}

std::string_view TreeScanner::key_element(size_t index) const {
  if (!types_.key_type) return index == 0 ? key_ : std::string_view();
  if (key_split_) return index < types_.key_type->element_count() ? key_elements_[index] : std::string_view();
  return types_.key_type->element(key_, index);
}

}  // namespace redb::detail
