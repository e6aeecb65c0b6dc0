// The write transaction's page cache: the pages this transaction allocated, in memory while
// they change, written to their place in the file when memory runs past a budget.
//
// Every page held here is free in the committed state (it was allocated by this transaction),
// so writing it before the commit is durable cannot harm the committed state. A page is held
// in one of two ways: resident (the tree code may still change it) or finished (its checksum
// is in its parent; it waits to be written). Finished pages go out together, in ascending file
// order, runs of adjacent pages in one gathered write, at a spill or at the commit. A page that
// is neither held nor freed again is on disk at its place, final: the tree that refers to it
// holds its checksum. Checksums are computed by the tree code when a page is finished, so each
// version of a page is hashed once.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <unordered_map>
#include <vector>

#include "error.h"
#include "file.h"
#include "format/layout.h"
#include "format/page_number.h"

namespace redb::detail {

// Dirty page bytes kept in memory before the transaction writes pages out. Small on purpose:
// pages then go out while still in the processor's cache, and the system starts writing them
// to the disk early, so that the commit's sync has little left to wait for (measured faster
// than 16 and 64 MiB on large copies, and no faster below 4 MiB). Where pages go and what they
// hold does not depend on it.
inline constexpr size_t default_dirty_page_budget = size_t{4} << 20;
// The budget new write transactions get; tests lower it to make transactions spill.
inline size_t dirty_page_budget = default_dirty_page_budget;

class PageCache {
 public:
  // `layout` gives the page addresses (only its page and region sizes are used).
  PageCache(File& file, const DatabaseLayout& layout, size_t budget = default_dirty_page_budget);

  // A new, zero-filled buffer for a page just allocated.
  uint8_t* create(PageNumber page);
  // The same, its bytes left unset: for a caller that writes the whole block at once.
  uint8_t* create_unfilled(PageNumber page);
  // The buffer of a page held in memory, or null.
  uint8_t* resident(PageNumber page) const;
  // The buffer of a page of this transaction, read back from its place when it was written out.
  Result<uint8_t*> load(PageNumber page);
  // Forgets a page that was freed (held or not).
  void discard(PageNumber page);
  // Finishes a resident page: it is no longer resident and waits for write_finished().
  // Loading it again makes it resident again, unwritten.
  void finish(PageNumber page);
  // Writes every finished page to its place, in ascending file order with adjacent pages
  // gathered into one write, and drops them from memory.
  Status write_finished();
  // Reads any page's block: a held page from memory, every other from its place in the file.
  Status read(PageNumber page, std::span<uint8_t> out) const;

  // Bytes of the pages held, resident or finished.
  size_t held_bytes() const { return held_bytes_; }
  bool over_budget() const { return held_bytes_ > budget_; }
  // Drops every held page without writing it (abort).
  void clear();

 private:
  uint8_t* create(PageNumber page, bool zeroed);
  uint64_t offset_of(PageNumber page) const { return layout_.page_offset(page.region, page.index, page.order); }
  File& file_;
  DatabaseLayout layout_;
  size_t budget_;
  size_t held_bytes_ = 0;
  struct Held {
    std::unique_ptr<uint8_t[]> bytes;
    bool finished = false;
  };
  std::unordered_map<uint64_t, Held> pages_;  // by raw page number
  std::vector<uint64_t> finished_;            // raw numbers; some may have been loaded or freed since
};

}  // namespace redb::detail
