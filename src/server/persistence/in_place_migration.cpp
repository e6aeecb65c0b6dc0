// In-place migration: the new layout is built completely in `.shard-migrate-tmp`, and only then
// swapped in by renames: old files into a new backup directory, new files into the persist
// directory.
//
// Why this order loses nothing: until the first move every old file is in place and the new
// layout is complete in the temporary directory; during the moves each record is in an old file
// (in place or in the backup directory) or in a new file (in the temporary directory or in
// place). Each move is a rename within one file system, and the directories are synced after
// each group of moves so that a crash cannot undo a move the next group relies on. Nothing is
// rolled back after a failure. The swap is journalled before its first move, and the next run
// finishes a journalled swap before anything else, so a store is never left split between the
// persist and the backup directory (see shard_swap.cpp).
#include "server/persistence/in_place_migration.h"

#include <algorithm>
#include <vector>

#include <fmt/format.h>

#include "server/persistence/destination_migration.h"
#include "server/persistence/migration_texts.h"
#include "server/persistence/shard_files.h"
#include "server/persistence/shard_swap.h"
#include "tracing/tracing.h"

namespace shard_migrate {

namespace {

// The swap of this run: the old files into the backup directory in discovery order, then the
// new files in index order. With one new shard, an ignored `graph.redb` beside numbered files
// goes last among the old files, so that the new `graph.redb` cannot replace it.
ShardSwap plan_swap(const std::vector<std::string>& old_files, const std::string& persist_dir,
                    const std::string& backup_dir_name, uint64_t shard_count, FileSystem& file_system) {
  ShardSwap swap{backup_dir_name, {}, {}};
  for (const std::string& old_file : old_files) {
    std::string_view name = file_name_of(old_file);
    if (!name.empty()) swap.old_files.emplace_back(name);
  }
  std::string single = join_path(persist_dir, single_shard_file_name);
  bool single_listed = std::find(old_files.begin(), old_files.end(), single) != old_files.end();
  if (shard_count == 1 && !single_listed && file_system.entry_exists(single))
    swap.old_files.emplace_back(single_shard_file_name);
  for (uint64_t dest_index = 0; dest_index < shard_count; ++dest_index)
    swap.new_files.push_back(shard_file_name(dest_index, shard_count));
  return swap;
}

}  // namespace

void emit_migration_complete(const MigrationReport& report, std::string_view backup_dir) {
  if (!tracing::enabled(tracing::Level::info, event_target)) return;
  std::string message = fmt::format("shard migration complete: {} -> {} shards, {} graphs; old files backed up to {}",
                                    report.source_shards, report.dest_shards, report.graphs, backup_dir);
  tracing::event(tracing::Level::info, event_target, {{"message", message}});
}

MigrationResult migrate_in_place(const std::string& persist_dir, uint64_t shards, FileSystem& file_system) {
  // One in-place run per persist directory: hold its lock from before anything is read until
  // the end, so that no run acts on what it read while another was swapping.
  auto lock = DirectoryLock::acquire(persist_dir);
  if (!lock) return std::unexpected(std::move(lock.error()));
  if (lock->outcome() == DirectoryLock::Outcome::held_elsewhere)
    return std::unexpected(persist_dir_locked_text(persist_dir));

  // An interrupted swap of an earlier run is finished first: until then the store is split.
  if (auto finished = finish_interrupted_swap(persist_dir, file_system); !finished)
    return std::unexpected(std::move(finished.error()));

  // 1. Discover the old files; this list drives the backup moves.
  auto old_files = discover_shard_files(persist_dir);
  if (!old_files) return std::unexpected(std::move(old_files.error()));

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
  const std::string backup_dir_name = fmt::format("{}{}", backup_dir_prefix, seconds);
  const std::string backup_dir = join_path(persist_dir, backup_dir_name);

  // A name already taken in the backup directory (a reused one) refuses the whole swap before
  // it is journalled, so no backed-up file is ever replaced.
  const ShardSwap swap = plan_swap(*old_files, persist_dir, backup_dir_name, shard_count, file_system);
  for (const std::string& name : swap.old_files) {
    std::string backup_path = join_path(backup_dir, name);
    if (file_system.entry_exists(backup_path)) return std::unexpected(backup_exists_text(backup_path));
  }

  // Journal the swap, durably, before the backup directory exists.
  if (auto journalled = write_swap_journal(persist_dir, swap, file_system); !journalled)
    return std::unexpected(std::move(journalled.error()));

  // 6.-9. Create (or reuse) the backup directory, move the old files into it and the new files
  //    into the persist directory, remove the temporary directory and the journal; each
  //    group of moves durable before the next.
  if (auto swapped = finish_swap(persist_dir, swap, file_system); !swapped)
    return std::unexpected(std::move(swapped.error()));

  // 10. Raise the completion event.
  emit_migration_complete(*report, backup_dir);

  // 11. The report of step 4, unchanged.
  return report;
}

MigrationResult migrate_in_place(const std::string& persist_dir, uint64_t shards) {
  return migrate_in_place(persist_dir, shards, system_file_system());
}

}  // namespace shard_migrate
