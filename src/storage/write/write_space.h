// The page space of one write transaction: which pages it may change, where new pages come
// from, and which committed pages it replaced.
//
// A page is this transaction's when it is free in the committed state; only such pages are
// changed or written before the commit. A committed page that a tree no longer uses stays
// allocated until the commit (its state marks it free), so the committed state stays intact on
// disk until the new one is durable.
#pragma once

#include <vector>

#include "error.h"
#include "file.h"
#include "format/page_layout.h"
#include "format/page_number.h"
#include "write/allocator.h"
#include "write/page_cache.h"

namespace redb::detail {

class WriteSpace {
 public:
  // `committed` is the allocation state of the committed commit; it must stay unchanged
  // while this space lives. `allocator` starts as a copy of it.
  WriteSpace(File& file, const PageAllocator& committed, size_t cache_budget = default_dirty_page_budget);

  // A free page of `order`; grows the file (set_length at once) when no region has one.
  Result<PageNumber> allocate(uint8_t order);
  // Keeps a page that is free in the committed state out of allocation for this transaction
  // (a live read transaction may still read it). It stays free in the state the commit saves.
  void withhold(PageNumber page);
  // True for a page this transaction allocated (free in the committed state).
  bool allocated_here(PageNumber page) const;
  // Drops a page from its tree: a page of this transaction is free again at once; a committed
  // page stays allocated until the commit and becomes free in the state it saves.
  void release(PageNumber page);
  // A page this transaction may change, in memory: its own pages are read back when they
  // were written out; a committed page is copied to a new page (copy-on-write).
  Result<PageNumber> writable(PageNumber page);

  File& file() { return file_; }
  PageCache& cache() { return cache_; }
  PageAllocator& allocator() { return allocator_; }
  const PageAllocator& committed() const { return committed_; }
  // Committed pages this transaction replaced, in the order released.
  const std::vector<PageNumber>& replaced_committed_pages() const { return replaced_; }
  const std::vector<PageNumber>& withheld_pages() const { return withheld_; }

  // Reusable buffers of the tree code (so that inserts allocate nothing once warmed up).
  std::vector<uint8_t> left_page, right_page, read_page;
  std::vector<LeafEntry> entries;
  std::vector<BranchChild> children;
  std::vector<std::string_view> separators;
  std::vector<uint32_t> key_ends, value_ends;

 private:
  File& file_;
  const PageAllocator& committed_;
  PageAllocator allocator_;
  PageCache cache_;
  std::vector<PageNumber> replaced_;
  std::vector<PageNumber> withheld_;
};

}  // namespace redb::detail
