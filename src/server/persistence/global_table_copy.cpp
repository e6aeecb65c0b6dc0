#include "server/persistence/global_table_copy.h"

#include <array>

#include "server/persistence/shard_schema.h"
#include "server/persistence/table_copy.h"

namespace shard_migrate {

std::expected<uint64_t, std::string> copy_global_tables(std::span<const redb::Database> sources,
                                                        redb::WriteTransaction& dest, RowAccounts& accounts) {
  // The four destination tables, opened (and so created) in their order, released latest first.
  auto destination = OpenTables::open(dest, global_tables);
  if (!destination) return std::unexpected(std::move(destination.error()));
  // The scanning side: every source's global tables in order.
  auto scan_all = [&](RowPipe::Feed& feed) {
    for (size_t source_index = 0; source_index < sources.size(); ++source_index) {
      // One read transaction per source serves its four scans.
      auto transaction = sources[source_index].begin_read();
      if (!transaction) return feed.fail(std::move(transaction.error().text));
      for (size_t table_index = 0; table_index < global_tables.size(); ++table_index) {
        const redb::TableDefinition& definition = *global_tables[table_index];
        // Absent, or stored under another definition or kind: this table of this source is
        // skipped. Damage or an I/O error while it is looked up fails the run.
        auto table = transaction->open_table(definition);
        if (!table && table.error().kind == redb::Error::Kind::table) continue;
        if (!table) return feed.fail(std::move(table.error().text));
        auto scan = table->scan();
        if (!scan) return feed.fail(std::move(scan.error().text));
        if (!feed.rows(*scan, table_index)) return;
        if (!feed.table_done({source_index, &definition, table->len(), scan->leaf_depths()})) return;
      }
    }
  };
  // The inserts, each row into its table, counted.
  struct Inserts {
    std::array<redb::Table*, global_tables.size()> tables;  // in the order of global_tables
    RowAccounts& accounts;
    uint64_t count = 0;
    uint64_t rows = 0;  // of the table being fed

    CopyStatus row(size_t table, std::string_view key, std::string_view value) {
      if (auto inserted = insert_fed_row(*tables[table], key, value); !inserted) return inserted;
      ++rows;
      ++count;
      return {};
    }
    void table_done(const FedTable& fed) {
      accounts.note(fed.source, *fed.definition, fed.stored_length, rows, fed.depths);
      rows = 0;
    }
  } inserts{{}, accounts};
  for (size_t table_index = 0; table_index < global_tables.size(); ++table_index)
    inserts.tables[table_index] = &destination->table(*global_tables[table_index]);
  RowPipe pipe;
  if (auto copied = pipe.run(scan_all, inserts); !copied) return std::unexpected(std::move(copied.error()));
  return inserts.count;
}

}  // namespace shard_migrate
