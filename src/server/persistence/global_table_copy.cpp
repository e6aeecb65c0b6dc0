#include "server/persistence/global_table_copy.h"

#include "server/persistence/shard_schema.h"
#include "server/persistence/table_copy.h"

namespace shard_migrate {

std::expected<uint64_t, std::string> copy_global_tables(std::span<const redb::Database> sources,
                                                        redb::WriteTransaction& dest, RowAccounts& accounts) {
  // The four destination tables, opened (and so created) in their order, released latest first.
  auto destination = OpenTables::open(dest, global_tables);
  if (!destination) return std::unexpected(std::move(destination.error()));
  uint64_t count = 0;
  RowPipe pipe;
  for (size_t source_index = 0; source_index < sources.size(); ++source_index) {
    // One read transaction per source serves its four scans.
    auto transaction = sources[source_index].begin_read();
    if (!transaction) return std::unexpected(std::move(transaction.error().text));
    for (const redb::TableDefinition* definition : global_tables) {
      // Absent, or stored under another definition or kind: this table of this source is
      // skipped. Damage or an I/O error while it is looked up fails the run.
      auto table = transaction->open_table(*definition);
      if (!table && table.error().kind == redb::Error::Kind::table) continue;
      if (!table) return std::unexpected(std::move(table.error().text));
      auto scan = table->scan();
      if (!scan) return std::unexpected(std::move(scan.error().text));
      uint64_t rows = 0;
      if (auto copied = pipe.copy(*scan, destination->table(*definition), [&](std::string_view) { ++rows; });
          !copied)
        return std::unexpected(std::move(copied.error()));
      count += rows;
      accounts.note(source_index, *definition, table->len(), rows, scan->leaf_depths());
    }
  }
  return count;
}

}  // namespace shard_migrate
