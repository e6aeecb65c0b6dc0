// Destination-mode migration with its file-system operations supplied by the caller (the
// in-place migration passes its own; tests pass one that fails chosen calls).
#pragma once

#include <cstdint>
#include <string>

#include "server/persistence/file_system.h"
#include "server/persistence/shard_migrate.h"

namespace shard_migrate {

MigrationResult migrate_shards_into(const std::string& persist_dir, const std::string& dest_dir, uint64_t shards,
                                    FileSystem& file_system);

}  // namespace shard_migrate
