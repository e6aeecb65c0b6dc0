// Reading B-tree pages from the file, bounds-checked against the file length.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "error.h"
#include "file.h"
#include "format/layout.h"
#include "format/page_number.h"

namespace redb::detail {

// The bytes of one page block as far as they were read: a prefix of the block, grown on
// demand. Growing keeps the bytes already read and fills nothing in.
class PageBuffer {
 public:
  const uint8_t* data() const { return data_.get(); }
  size_t size() const { return size_; }
  std::span<const uint8_t> bytes() const { return {data_.get(), size_}; }
  // Forgets the bytes read; the memory is kept for the next page.
  void clear() { size_ = 0; }

 private:
  friend struct PageSource;
  std::unique_ptr<uint8_t[]> data_;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

// Where the pages of one snapshot are: the file, its page geometry and its length.
struct PageSource {
  File* file = nullptr;
  DatabaseLayout layout;
  uint64_t file_length = 0;

  // Reads the whole block of `page` into `buffer` (resized; its capacity is reused). A block
  // that reaches past the end of the file gives "I/O error: failed to fill whole buffer", as a
  // read past the end does; an order above 20 gives "DB corrupted: ...".
  Status read(PageNumber page, std::vector<uint8_t>& buffer) const;
  // Reads the block of `page` on from where `buffer` ends (buffer.size()) up to byte `end` of
  // the block (at most its length), so that `buffer` holds the block's first `end` bytes. The
  // errors are read()'s, for the whole block whatever part of it is read.
  Status read_part(PageNumber page, size_t end, PageBuffer& buffer) const;
  // Base pages (4096 bytes) in the file: no tree walk can visit more without visiting a page twice.
  uint64_t page_count() const { return file_length / page_size; }
};

// Bounds the pages one walk reads to the pages in the file, so that a page referenced twice
// (or a cycle of references) ends the walk instead of making it endless.
class PageBudget {
 public:
  static constexpr std::string_view one_tree_exhausted =
      "the tree visits more pages than the file holds (a page is referenced more than once)";

  // `exhausted` (a literal) says what running out means for the walks that share the budget.
  explicit PageBudget(uint64_t base_pages, std::string_view exhausted = one_tree_exhausted)
      : remaining_(base_pages), exhausted_(exhausted) {}
  // Charges a page of `order`; "DB corrupted: {exhausted}" once more pages were visited than the
  // file holds.
  Status charge(uint8_t order);

 private:
  uint64_t remaining_;
  std::string_view exhausted_;
};

// Deeper than this, a tree must contain a cycle: every branch has two children or more, so a
// tree this deep would need more pages than any file can hold.
inline constexpr size_t max_tree_depth = 48;

}  // namespace redb::detail
