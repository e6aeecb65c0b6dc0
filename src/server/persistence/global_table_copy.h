// The copy of the four global tables of every source into destination shard 0.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>

#include "server/persistence/row_accounts.h"
#include "storage/redb.h"

namespace shard_migrate {

// Copies every row of the four global tables of every source (in discovery order, later
// sources replacing equal keys) into `dest`, shard 0's write transaction, creating the four
// tables there even when no source holds them. Returns the number of inserts, overwrites
// included, and notes the rows of each source table in `accounts`. None of the global tables
// may already be open on `dest`.
std::expected<uint64_t, std::string> copy_global_tables(std::span<const redb::Database> sources,
                                                        redb::WriteTransaction& dest, RowAccounts& accounts);

}  // namespace shard_migrate
