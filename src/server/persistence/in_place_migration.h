// In-place migration with its file-system operations supplied by the caller (tests pass one
// that fails chosen calls), and the completion event it raises.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "server/persistence/file_system.h"
#include "server/persistence/shard_migrate.h"

namespace shard_migrate {

inline constexpr std::string_view temporary_dir_name = ".shard-migrate-tmp";
inline constexpr std::string_view backup_dir_prefix = ".shard-migrate-backup-";
// The journal of a swap in progress; while it exists the store is split and only an in-place
// run, which finishes the swap first, may use the persist directory.
inline constexpr std::string_view swap_journal_name = ".shard-migrate-swap";
inline constexpr std::string_view event_target = "quorvane_graph::server::persistence::shard_migrate";

MigrationResult migrate_in_place(const std::string& persist_dir, uint64_t shards, FileSystem& file_system);

// Raises the INFO event "shard migration complete: {} -> {} shards, {} graphs; old files backed
// up to {}" under `event_target`. Its text is built only when a subscriber wants the event.
void emit_migration_complete(const MigrationReport& report, std::string_view backup_dir);

}  // namespace shard_migrate
