// Writing B-trees inside a write transaction: insert-or-replace by typed key order, with the
// library's page sizing and split rules, copy-on-write for committed pages, and checksums
// finalized bottom-up when pages leave memory.
//
// Tree rules every writer here keeps (what the library relies on to read, check and modify a
// tree): leaves hold n >= 1 entries in strictly ascending key order, branches m >= 1 keys; child
// j of a branch holds the keys k with key[j-1] < k <= key[j]; all leaves are at one depth;
// every page is referenced once; a root's length is the exact entry count.
//
// Sizing (measured against 4096 bytes whatever the page's order): a rebuilt leaf splits when it
// is larger than 4096 bytes and has more than one entry, at the first entry where the running
// sum of key+value bytes reaches half of the total (never after the last entry); the separator
// is the left page's last key. A one-entry leaf of 4096 bytes or more gets a new key as a
// one-entry sibling. A rebuilt branch splits when larger than 4096 bytes with m >= 3, at m/2,
// the middle key moving up. Each page is allocated at the smallest order that holds it.
//
// Checksums: a branch slot of a child held in memory carries a placeholder; when pages leave
// memory (flush) the children are hashed first and their checksums stored in the parent, so
// the placeholder never reaches the disk.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "format/header.h"
#include "format/page_layout.h"
#include "types.h"
#include "write/write_space.h"

namespace redb::detail {

// How the keys of a tree compare: by a table's key type, or by a fixed rule.
struct EntryOrder {
  const TypeDesc* type = nullptr;
  int (*custom)(std::string_view, std::string_view) = nullptr;

  int compare(std::string_view a, std::string_view b) const { return custom ? custom(a, b) : type->compare(a, b); }
};

// A key compared with many stored keys on its way down a tree: split under the key type once.
class KeyProbe {
 public:
  KeyProbe(const EntryOrder& order, std::string_view key);
  std::string_view key() const { return key_; }
  // order.compare(stored, key()).
  int compare(std::string_view stored) const {
    if (order_.custom) return order_.custom(stored, key_);
    return order_.type->compare_to_split(stored, key_, split_ ? &elements_ : nullptr);
  }

 private:
  const EntryOrder& order_;
  std::string_view key_;
  TypeDesc::Elements elements_;
  bool split_ = false;
};

// The root of a tree being written.
struct TreeRoot {
  std::optional<PageNumber> page;  // absent: empty tree
  Checksum checksum;               // of the root page; final once the page is not in memory
  uint64_t length = 0;             // entries

  static TreeRoot from(const std::optional<BtreeHeader>& header);
  // The stored header; valid once the tree was flushed.
  std::optional<BtreeHeader> header() const;
};

// Where the last insert into a tree went, kept between inserts into that tree: the leaf and
// the key bounds the branches above give it (views into those branch pages). While it holds,
// an insert whose key lies within those bounds and fits into the leaf as it is goes straight
// to the leaf; consecutive inserts of ascending keys mostly do. It holds from an insert that
// changed no page but the leaf's content (and branch slots) until the next insert that
// splits or moves a page, or until the tree's pages leave memory (flush).
struct InsertPath {
  bool valid = false;
  PageNumber root;
  PageNumber leaf;
  std::optional<std::string_view> lower;  // exclusive
  std::optional<std::string_view> upper;  // inclusive
};

// Checks the library's size limits on an insert, in its order: the value, the key, then the
// pair. Error: "The value (length={}) being inserted exceeds the maximum of 3GiB".
Status check_insert_lengths(uint64_t key_length, uint64_t value_length);

// Operations on one tree. The root is updated in place.
class BtreeWriter {
 public:
  // `path`, when given, is the tree's InsertPath (kept by the caller with the root).
  BtreeWriter(WriteSpace& space, TreeRoot& root, EntryWidths widths, EntryOrder order, InsertPath* path = nullptr)
      : space_(space), root_(root), widths_(widths), order_(order), path_(path) {}

  // Inserts or replaces; true when a value was replaced. Lengths must have passed
  // check_insert_lengths and the encodings the types' validation.
  Result<bool> insert(std::string_view key, std::string_view value);
  // The value stored under `key`, copied.
  Result<std::optional<std::string>> get(std::string_view key);
  // Replaces the value of an existing key by one of the same length without moving a page;
  // every page on its path must be in memory (written by this transaction and not flushed).
  Status overwrite(std::string_view key, std::string_view value);
  // Hashes the tree's pages held in memory bottom-up, finishes them (the page cache writes
  // them out at its next write_finished) and fixes the root checksum.
  Status flush();

 private:
  struct Outcome {
    PageNumber page;                       // the subtree's root after the insert
    std::optional<std::string> separator;  // set when it split; `right` follows it
    PageNumber right;
    bool replaced = false;
  };
  struct Bounds {
    std::optional<std::string_view> lower, upper;
  };
  Result<Outcome> insert_into(PageNumber page, const KeyProbe& key, std::string_view value, size_t depth,
                              const Bounds& bounds);
  // The insert along a valid path: true or false (a value was replaced or not) when the key
  // lies within the path's leaf and fits it in place; nothing (and no change) otherwise.
  std::optional<bool> insert_along_path(const KeyProbe& key, std::string_view value);
  Result<Outcome> insert_into_leaf(PageNumber page, const KeyProbe& key, std::string_view value);
  Result<Outcome> store_branch(PageNumber page, bool replaced);
  // Inserts a new entry at `position` of `leaf`, whose bytes are `page`, which can hold it.
  void insert_in_place(std::span<uint8_t> page, const LeafView& leaf, size_t position, std::string_view key,
                       std::string_view value);
  // Puts a built page into `reuse` when its order fits, else into a new page (freeing `reuse`).
  Result<PageNumber> place(std::optional<PageNumber> reuse, std::span<const uint8_t> built);
  Result<Checksum> flush_page(PageNumber page, size_t depth);
  size_t build_leaf(std::span<const LeafEntry> entries, std::vector<uint8_t>& out);

  WriteSpace& space_;
  TreeRoot& root_;
  EntryWidths widths_;
  EntryOrder order_;
  InsertPath* path_;
  bool path_kept_ = false;  // during an insert: no page but the leaf's content changed so far
};

// Visits every page of the tree rooted at `root`, parents before children. `read_leaves`:
// whether leaf bytes are needed (else leaves are visited with empty bytes, unread).
using PageVisitor = std::function<Status(PageNumber page, std::span<const uint8_t> bytes)>;
Status visit_tree_pages(const PageCache& cache, PageNumber root, EntryWidths widths, bool read_leaves,
                        const PageVisitor& visit);

// The placeholder checksum of a child that is still in memory.
Checksum deferred_checksum();

}  // namespace redb::detail
