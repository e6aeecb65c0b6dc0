// The rows a run reads from each source table it copies, held against the table's stored
// length. A damaged tree (a child pointer moved, a subtree lost) shows as a difference, or as
// leaves at different depths, and fails the run instead of losing rows without a word. It
// costs a counter per source table: nothing is read twice.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "storage/redb.h"

namespace shard_migrate {

class RowAccounts {
 public:
  explicit RowAccounts(size_t source_count) : sources_(source_count) {}

  // Notes one scan of `table` of source `source` (in discovery order), whose stored length is
  // `stored_length`: it handed out `rows` rows and read leaves at `depths`. The scans of one
  // table over all passes must hand out each of its rows exactly once.
  void note(size_t source, const redb::TableDefinition& table, uint64_t stored_length, uint64_t rows,
            std::optional<redb::LeafDepths> depths);

  // Once every pass is done: "DB corrupted: ..." naming the first source table (sources in
  // discovery order, tables in the order first noted) whose rows do not add up to its stored
  // length, or whose leaves are not all at one depth; nothing when every table is whole.
  std::optional<std::string> first_damage(std::span<const std::string> source_paths) const;

 private:
  struct Account {
    std::string_view table;
    uint64_t stored_length = 0;
    uint64_t rows = 0;
    std::optional<redb::LeafDepths> depths;
  };
  std::vector<std::vector<Account>> sources_;
};

}  // namespace shard_migrate
