// The swap that ends an in-place migration, recorded in a journal before its first move so that
// a run interrupted during the swap is finished by the next run instead of forgotten.
#pragma once

#include <string>
#include <vector>

#include "server/persistence/file_system.h"

namespace shard_migrate {

// One swap. Every name is a file name directly inside the persist directory.
struct ShardSwap {
  std::string backup_dir_name;         // ".shard-migrate-backup-<seconds>"
  std::vector<std::string> old_files;  // moved into the backup directory, in this order
  std::vector<std::string> new_files;  // moved from the temporary directory into place, in this order
};

// Records `swap` in the journal of `persist_dir`, whole or absent: written under a name in the
// temporary directory and synced, renamed into place, then the persist directory is synced.
FileSystemStatus write_swap_journal(const std::string& persist_dir, const ShardSwap& swap, FileSystem& file_system);

// Carries the journalled `swap` through from wherever an earlier attempt left it, then removes
// the temporary directory and the journal. Fails, touching nothing, with "cannot finish the
// interrupted shard swap recorded in {journal path}: {what is missing}" when the disk does not
// match the journal; otherwise with the text of the first failed file-system step.
FileSystemStatus finish_swap(const std::string& persist_dir, const ShardSwap& swap, FileSystem& file_system);

// When `persist_dir` holds a swap journal, reads it and finishes that swap; otherwise does
// nothing.
FileSystemStatus finish_interrupted_swap(const std::string& persist_dir, FileSystem& file_system);

}  // namespace shard_migrate
