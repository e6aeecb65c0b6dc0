#include "read/tree_scanner.h"

#include <algorithm>

#include <fmt/format.h>

namespace redb::detail {
namespace {

constexpr uint8_t inline_collection = 0x01;
constexpr uint8_t subtree_collection = 0x03;

Error outside_bounds() { return Error::corrupted("a key lies outside the bounds its branch gives it"); }

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
  if (!(types_.filter && kind_ == TableKind::normal && types_.key_type && types_.value_type && types_.validate))
    types_.filter = nullptr;
  if (types_.filter) value_needs_bytes_ = *types_.value_type != TypeDesc::scalar(Scalar::bytes);
  outer_.reset(root, definition.tree_widths(), types_.filter ? this : nullptr, types_.filter != nullptr);
}

Result<bool> TreeScanner::next() {
  if (types_.filter) return next_filtered();
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
  if (outer_.leaf_index() == 0) note_leaf_depth();
  key_ = outer_.key();
  value_ = outer_.value();
  return true;
}

Result<bool> TreeScanner::next_filtered() {
  const TypeDesc& key_type = *types_.key_type;
  const bool check_unwanted = types_.unwanted == UnwantedRows::checked;
  while (true) {
    auto more = outer_.next();
    if (!more || !*more) return more;
    if (outer_.leaf_index() == 0) {
      if (auto entered = enter_leaf(); !entered) return std::unexpected(entered.error());
    }
    key_ = outer_.key();
    auto first = key_type.first_element(key_);
    if (!first) return std::unexpected(first.error());
    const bool row_wanted = wanted(*first);
    if (!row_wanted && !check_unwanted) {
      if (auto inside = check_first_element_bounds(*first); !inside) return std::unexpected(inside.error());
      continue;
    }
    value_ = {};
    if (row_wanted || value_needs_bytes_) {
      // Loading may move the leaf's bytes: the key is taken again.
      if (auto loaded = outer_.load_values(); !loaded) return std::unexpected(loaded.error());
      key_ = outer_.key();
      value_ = outer_.value();
    }
    if (auto status = check_row(); !status) return std::unexpected(status.error());
    if (auto inside = check_bounds(); !inside) return std::unexpected(inside.error());
    if (row_wanted) return true;
  }
}

void TreeScanner::note_leaf_depth() {
  const size_t depth = outer_.leaf_depth();
  if (!leaf_depths_) leaf_depths_ = LeafDepths{depth, depth};
  leaf_depths_->shallowest = std::min(leaf_depths_->shallowest, depth);
  leaf_depths_->deepest = std::max(leaf_depths_->deepest, depth);
}

Status TreeScanner::enter_leaf() {
  note_leaf_depth();
  const TreeCursor::Bounds& bounds = outer_.leaf_bounds();
  if (bounds.lower) {
    if (auto split = types_.key_type->split(*bounds.lower, lower_elements_); !split) return split;
  }
  if (bounds.upper) {
    if (auto split = types_.key_type->split(*bounds.upper, upper_elements_); !split) return split;
  }
  return {};
}

Status TreeScanner::check_bounds() {
  const TreeCursor::Bounds& bounds = outer_.leaf_bounds();
  const TypeDesc& key_type = *types_.key_type;
  if (bounds.lower && key_type.compare_elements(lower_elements_, key_elements_) >= 0)
    return std::unexpected(outside_bounds());
  if (bounds.upper && key_type.compare_elements(key_elements_, upper_elements_) > 0)
    return std::unexpected(outside_bounds());
  return {};
}

Status TreeScanner::check_first_element_bounds(std::string_view element) const {
  const TreeCursor::Bounds& bounds = outer_.leaf_bounds();
  const TypeDesc& key_type = *types_.key_type;
  if (bounds.lower && key_type.compare_element(0, element, lower_elements_[0]) < 0)
    return std::unexpected(outside_bounds());
  if (bounds.upper && key_type.compare_element(0, element, upper_elements_[0]) > 0)
    return std::unexpected(outside_bounds());
  return {};
}

Result<std::optional<std::string_view>> TreeScanner::only_element(const TreeCursor::Bounds& bounds) const {
  if (!bounds.lower || !bounds.upper) return std::nullopt;
  auto lower = types_.key_type->first_element(*bounds.lower);
  if (!lower) return std::unexpected(lower.error());
  auto upper = types_.key_type->first_element(*bounds.upper);
  if (!upper) return std::unexpected(upper.error());
  // Every key k of the child has lower < k <= upper, so its first element lies between the
  // bounds' first elements: when they are equal, the child holds that element's rows alone.
  if (*lower != *upper) return std::nullopt;
  return *lower;
}

Result<TreeCursor::ChildRead> TreeScanner::read_child(const TreeCursor::Bounds& bounds, PageNumber page) {
  using ChildRead = TreeCursor::ChildRead;
  const bool skipping = types_.unwanted == UnwantedRows::skipped;
  auto element = only_element(bounds);
  if (!element) return std::unexpected(element.error());
  if (*element && skipping && !wanted(**element)) return ChildRead::skip;
  const bool mixed = !*element;
  if (mixed && skipping && !types_.filter->read_mixed_page(page.to_raw())) return ChildRead::skip;
  if (open_pages_ >= open_mixed_.size()) return std::unexpected(Error::corrupted("B-tree deeper than any file can hold"));
  open_mixed_[open_pages_++] = mixed;
  if (mixed) types_.filter->enter_mixed_page(page.to_raw());
  // Where the bounds do not name one element, the child may hold rows of several: most of
  // them are not wanted when the filter wants few, so its keys come first.
  return mixed && skipping ? ChildRead::keys_first : ChildRead::whole;
}

void TreeScanner::leave_child(PageNumber page) {
  if (open_pages_ == 0) return;
  if (open_mixed_[--open_pages_]) types_.filter->leave_mixed_page(page.to_raw());
}

bool TreeScanner::wanted(std::string_view element) {
  if (!asked_ || element != asked_element_) {
    asked_element_.assign(element);
    asked_wanted_ = types_.filter->wanted(element);
    asked_ = true;
  }
  return asked_wanted_;
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
