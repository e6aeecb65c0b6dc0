// In-place migration: the new layout is built completely in `.shard-migrate-tmp`, and only then
// swapped in by renames: old files into a new backup directory, new files into the persist
// directory.
//
// Why this order loses nothing: until the first move every old file is in place and the new
// layout is complete in the temporary directory; during the moves each record is in an old file
// (in place or in the backup directory) or in a new file (in the temporary directory or in
// place). Each move is a rename within one file system, and the directories are synced after
// each group of moves so that a crash cannot undo a move the next group relies on. Nothing is
// rolled back after a failure; the next run starts again from whatever it finds.
#include "server/persistence/in_place_migration.h"

#include <algorithm>
#include <vector>

#include <fmt/format.h>

#include "server/persistence/destination_migration.h"
#include "server/persistence/migration_texts.h"
#include "server/persistence/shard_files.h"
#include "tracing/tracing.h"

namespace shard_migrate {

namespace {

struct Move {
  std::string from;
  std::string to;
};

// The moves that put the old files into the backup directory, in discovery order. With one
// new shard, an ignored `graph.redb` beside numbered files goes last, so that the new
// `graph.redb` cannot replace it.
std::vector<Move> backup_moves(const std::vector<std::string>& old_files, const std::string& persist_dir,
                               const std::string& backup_dir, uint64_t shard_count, FileSystem& file_system) {
  std::vector<Move> moves;
  for (const std::string& old_file : old_files) {
    std::string_view name = file_name_of(old_file);
    if (name.empty()) continue;
    moves.push_back({old_file, join_path(backup_dir, name)});
  }
  std::string single = join_path(persist_dir, single_shard_file_name);
  bool single_listed = std::find(old_files.begin(), old_files.end(), single) != old_files.end();
  if (shard_count == 1 && !single_listed && file_system.entry_exists(single))
    moves.push_back({single, join_path(backup_dir, single_shard_file_name)});
  return moves;
}

}  // namespace

void emit_migration_complete(const MigrationReport& report, std::string_view backup_dir) {
  if (!tracing::enabled(tracing::Level::info, event_target)) return;
  std::string message = fmt::format("shard migration complete: {} -> {} shards, {} graphs; old files backed up to {}",
                                    report.source_shards, report.dest_shards, report.graphs, backup_dir);
  tracing::event(tracing::Level::info, event_target, {{"message", message}});
}

MigrationResult migrate_in_place(const std::string& persist_dir, uint64_t shards, FileSystem& file_system) {
  // 1. Discover the old files; this list drives the backup moves.
  auto old_files = discover_shard_files(persist_dir);
  if (!old_files) return std::unexpected(std::move(old_files.error()));

  // One in-place run per persist directory: hold its lock until the end.
  auto lock = DirectoryLock::acquire(persist_dir);
  if (!lock) return std::unexpected(std::move(lock.error()));
  if (lock->outcome() == DirectoryLock::Outcome::held_elsewhere)
    return std::unexpected(persist_dir_locked_text(persist_dir));

  // 2. Remove a leftover temporary directory, whatever it holds; errors are ignored.
  const std::string temporary_dir = join_path(persist_dir, temporary_dir_name);
  (void)file_system.remove_tree(temporary_dir);

  // 3. Clamp.
  const uint64_t shard_count = std::max<uint64_t>(shards, 1);

  // 4. Build the complete new layout in the temporary directory. Every database handle is
  //    closed when this returns, so the moves below run with no file lock held.
  auto report = migrate_shards_into(persist_dir, temporary_dir, shard_count, file_system);
  if (!report) return report;

  // 5. Read the clock for the backup directory's name.
  const uint64_t seconds = file_system.wall_clock_seconds();

  // 6. Create (or reuse) the backup directory.
  const std::string backup_dir = join_path(persist_dir, fmt::format("{}{}", backup_dir_prefix, seconds));
  if (auto made = file_system.make_directories(backup_dir); !made) return std::unexpected(std::move(made.error()));

  // 7. Move the old files into it. A name already taken there (a reused backup directory)
  //    refuses the whole swap before the first move, so no backed-up file is ever replaced.
  const std::vector<Move> moves = backup_moves(*old_files, persist_dir, backup_dir, shard_count, file_system);
  for (const Move& move : moves) {
    if (file_system.entry_exists(move.to)) return std::unexpected(backup_exists_text(move.to));
  }
  for (const Move& move : moves) {
    if (auto moved = file_system.rename(move.from, move.to); !moved) return std::unexpected(std::move(moved.error()));
  }
  // The old files must be durably in the backup before new files take their names.
  if (auto synced = file_system.sync_directory(backup_dir); !synced) return std::unexpected(std::move(synced.error()));

  // 8. Move the new files into the persist directory.
  for (uint64_t dest_index = 0; dest_index < shard_count; ++dest_index) {
    std::string name = shard_file_name(dest_index, shard_count);
    if (auto moved = file_system.rename(join_path(temporary_dir, name), join_path(persist_dir, name)); !moved)
      return std::unexpected(std::move(moved.error()));
  }
  if (auto synced = file_system.sync_directory(persist_dir); !synced) return std::unexpected(std::move(synced.error()));

  // 9. Remove the (now empty) temporary directory; errors are ignored.
  (void)file_system.remove_tree(temporary_dir);

  // 10. Raise the completion event.
  emit_migration_complete(*report, backup_dir);

  // 11. The report of step 4, unchanged.
  return report;
}

MigrationResult migrate_in_place(const std::string& persist_dir, uint64_t shards) {
  return migrate_in_place(persist_dir, shards, system_file_system());
}

}  // namespace shard_migrate
