// The engine's own error texts, each built in one place. Every other error text is the storage
// library's or the system's text, passed on unchanged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include <fmt/format.h>

namespace shard_migrate {

inline std::string no_shard_files_text(std::string_view dir) {
  return fmt::format("no redb shard files (graph.redb / graph-<n>.redb) found under {}", dir);
}

inline std::string destination_exists_text(std::string_view shard_path) {
  return fmt::format("destination shard file already exists: {} (refusing to overwrite)", shard_path);
}

inline std::string open_source_text(std::string_view source_path, std::string_view library_text) {
  return fmt::format("open source {}: {}", source_path, library_text);
}

inline std::string create_dest_text(std::string_view shard_path, std::string_view library_text) {
  return fmt::format("create dest {}: {}", shard_path, library_text);
}

// A source table whose tree does not hold what its stored length says, or whose leaves are not
// all at one depth: the tree is damaged, and a migration would lose rows without a word.
inline std::string rows_unaccounted_text(std::string_view table, std::string_view source_path, uint64_t rows_read,
                                         uint64_t stored_length) {
  return fmt::format("DB corrupted: {} rows read from table '{}' of source {}, but its stored length is {}", rows_read,
                     table, source_path, stored_length);
}

inline std::string uneven_leaves_text(std::string_view table, std::string_view source_path, size_t shallowest,
                                      size_t deepest) {
  return fmt::format("DB corrupted: the leaves of table '{}' of source {} are not all at one depth ({} and {})", table,
                     source_path, shallowest, deepest);
}

inline std::string backup_exists_text(std::string_view backup_path) {
  return fmt::format("backup file already exists: {} (refusing to overwrite)", backup_path);
}

inline std::string persist_dir_locked_text(std::string_view persist_dir) {
  return fmt::format("persist directory is locked by another migration: {}", persist_dir);
}

inline std::string unfinished_swap_text(std::string_view journal_path, std::string_view what_is_missing) {
  return fmt::format("cannot finish the interrupted shard swap recorded in {}: {}", journal_path, what_is_missing);
}

inline std::string interrupted_swap_refused_text(std::string_view persist_dir) {
  return fmt::format(
      "persist directory {} holds an interrupted shard swap: run an in-place migration of it to finish the swap first",
      persist_dir);
}

}  // namespace shard_migrate
