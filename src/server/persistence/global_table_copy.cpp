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
  std::array<redb::Table*, global_tables.size()> destinations;
  for (size_t table = 0; table < global_tables.size(); ++table)
    destinations[table] = &destination->table(*global_tables[table]);
  uint64_t count = 0;
  auto copied = copy_source_tables(
      sources, global_tables, destinations,
      [](size_t, size_t, const redb::ReadOnlyTable& read) { return read.scan(); },
      [&](size_t, std::string_view) { ++count; }, accounts);
  if (!copied) return std::unexpected(std::move(copied.error()));
  return count;
}

}  // namespace shard_migrate
