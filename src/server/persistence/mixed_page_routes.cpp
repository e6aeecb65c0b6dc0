#include "server/persistence/mixed_page_routes.h"

#include <algorithm>

namespace shard_migrate {

namespace {

void set_bit(uint64_t* mask, uint64_t shard) { mask[shard / 64] |= uint64_t{1} << (shard % 64); }

}  // namespace

void TableRoutes::enter(uint64_t page) {
  open_pages_.push_back(page);
  open_masks_.resize(open_masks_.size() + words_, 0);
  if (last_shard_) set_bit(open_masks_.data() + open_masks_.size() - words_, *last_shard_);
}

void TableRoutes::note(uint64_t shard) {
  last_shard_ = shard;
  if (!open_pages_.empty()) set_bit(open_masks_.data() + open_masks_.size() - words_, shard);
}

void TableRoutes::leave(uint64_t page) {
  if (open_pages_.empty() || open_pages_.back() != page) return;
  const size_t top = open_masks_.size() - words_;
  pages_.emplace_back(page, masks_.size());
  masks_.insert(masks_.end(), open_masks_.begin() + static_cast<ptrdiff_t>(top), open_masks_.end());
  open_pages_.pop_back();
  if (!open_pages_.empty()) {
    // What lies below a page lies below its parent too.
    for (size_t word = 0; word < words_; ++word) open_masks_[top - words_ + word] |= open_masks_[top + word];
  }
  open_masks_.resize(top);
  if (!open_pages_.empty()) return;
  // The root is left: the tree is recorded. A page named twice (only a damaged tree does that)
  // keeps the shards of both places.
  std::sort(pages_.begin(), pages_.end());
  size_t kept = 0;
  for (size_t i = 0; i < pages_.size(); ++i) {
    if (kept > 0 && pages_[kept - 1].first == pages_[i].first) {
      for (size_t word = 0; word < words_; ++word) masks_[pages_[kept - 1].second + word] |= masks_[pages_[i].second + word];
      continue;
    }
    pages_[kept++] = pages_[i];
  }
  pages_.resize(kept);
}

bool TableRoutes::may_hold(uint64_t page, uint64_t shard) const {
  if (!open_pages_.empty()) return true;  // a record still being made
  auto found = std::lower_bound(pages_.begin(), pages_.end(), std::pair<uint64_t, size_t>(page, 0));
  if (found == pages_.end() || found->first != page) return true;
  return (masks_[found->second + shard / 64] >> (shard % 64) & 1) != 0;
}

}  // namespace shard_migrate
