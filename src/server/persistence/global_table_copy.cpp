#include "server/persistence/global_table_copy.h"

#include "server/persistence/shard_schema.h"
#include "server/persistence/table_copy.h"

namespace shard_migrate {

std::expected<uint64_t, std::string> copy_global_tables(std::span<const redb::Database> sources,
                                                        redb::WriteTransaction& dest) {
  // The four destination tables, opened (and so created) in their order, released latest first.
  auto destination = OpenTables::open(dest, global_tables);
  if (!destination) return std::unexpected(std::move(destination.error()));
  uint64_t count = 0;
  auto every_row = [](const redb::TableScan&) { return true; };
  auto count_row = [&](const redb::TableScan&) { ++count; };
  for (const redb::Database& source : sources) {
    // One read transaction per source serves its four scans.
    auto transaction = source.begin_read();
    if (!transaction) return std::unexpected(std::move(transaction.error().text));
    for (const redb::TableDefinition* definition : global_tables) {
      // Absent, or stored under another definition or kind: this table of this source is
      // skipped. Damage or an I/O error while it is looked up fails the run.
      auto table = transaction->open_table(*definition);
      if (!table && table.error().kind == redb::Error::Kind::table) continue;
      if (!table) return std::unexpected(std::move(table.error().text));
      if (auto copied = copy_rows(*table, destination->table(*definition), every_row, count_row); !copied)
        return std::unexpected(std::move(copied.error()));
    }
  }
  return count;
}

}  // namespace shard_migrate
