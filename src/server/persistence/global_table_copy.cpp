#include "server/persistence/global_table_copy.h"

#include <vector>

#include "server/persistence/shard_schema.h"
#include "server/persistence/table_copy.h"

namespace shard_migrate {

namespace {

// The four global tables open on shard 0's write transaction, released latest first.
class DestinationGlobalTables {
 public:
  DestinationGlobalTables() = default;
  DestinationGlobalTables(const DestinationGlobalTables&) = delete;
  DestinationGlobalTables& operator=(const DestinationGlobalTables&) = delete;
  ~DestinationGlobalTables() {
    while (!tables_.empty()) tables_.pop_back();
  }

  // Opens (creating) the four tables in their order; fails with the library's text.
  CopyStatus open(redb::WriteTransaction& transaction) {
    tables_.reserve(global_tables.size());
    for (const redb::TableDefinition* definition : global_tables) {
      auto table = transaction.open_table(*definition);
      if (!table) return std::unexpected(std::move(table.error().text));
      tables_.push_back(std::move(*table));
    }
    return {};
  }

  redb::Table& table(size_t index) { return tables_[index]; }

 private:
  std::vector<redb::Table> tables_;  // in the order of `global_tables`
};

}  // namespace

std::expected<uint64_t, std::string> copy_global_tables(std::span<const redb::Database> sources,
                                                        redb::WriteTransaction& dest) {
  DestinationGlobalTables destination;
  if (auto opened = destination.open(dest); !opened) return std::unexpected(std::move(opened.error()));
  uint64_t count = 0;
  auto every_row = [](const redb::TableScan&) { return true; };
  auto count_row = [&](const redb::TableScan&) { ++count; };
  for (const redb::Database& source : sources) {
    // One read transaction per source serves its four scans.
    auto transaction = source.begin_read();
    if (!transaction) return std::unexpected(std::move(transaction.error().text));
    for (size_t index = 0; index < global_tables.size(); ++index) {
      // Absent, or stored under another definition or kind: this table of this source is skipped.
      auto table = transaction->open_table(*global_tables[index]);
      if (!table) continue;
      if (auto copied = copy_rows(*table, destination.table(index), every_row, count_row); !copied)
        return std::unexpected(std::move(copied.error()));
    }
  }
  return count;
}

}  // namespace shard_migrate
