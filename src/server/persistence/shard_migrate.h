// The shard migration engine: re-partitions the shard files of a persist directory into K new
// shard databases, either into a destination directory or in place behind a backup of the old
// files. Every failure comes back as one display text.
#pragma once

#include <cstdint>
#include <expected>
#include <string>

namespace shard_migrate {

// What a successful migration copied. Row counters count inserts, overwrites included, so they
// can exceed what the destination tables hold; `graphs` is the only de-duplicated count.
struct MigrationReport {
  uint64_t source_shards = 0;  // source shard files found by discovery
  uint64_t dest_shards = 0;    // K: the requested count clamped to at least 1
  uint64_t graphs = 0;         // distinct graph identifiers among the graph_meta rows copied
  uint64_t nodes = 0;          // inserts into nodes
  uint64_t edges = 0;          // inserts into edges
  uint64_t ledger = 0;         // inserts into ledger
  uint64_t semantic = 0;       // inserts into semantic_store
  uint64_t audit = 0;          // inserts into audit_chain
  uint64_t global = 0;         // inserts into the four global tables of shard 0

  friend bool operator==(const MigrationReport&, const MigrationReport&) = default;
};

// A report, or the error text of the step that failed.
using MigrationResult = std::expected<MigrationReport, std::string>;

// Writes the K-shard layout of the store in `persist_dir` into `dest_dir` (created with its
// parents when missing). Refuses when any of the K new file names is taken there, and when
// `persist_dir` holds an interrupted in-place swap. The sources
// are only read and are byte-for-byte unchanged afterwards. `shards` is taken unclamped.
MigrationResult migrate_shards_into(const std::string& persist_dir, const std::string& dest_dir, uint64_t shards);

// Migrates the store in `persist_dir` to K shards in place: builds the new layout in
// `.shard-migrate-tmp`, moves the old files into `.shard-migrate-backup-<seconds>` and the new
// ones into `persist_dir`. Nothing is rolled back after a failure; no record is lost. A swap
// that an earlier run left unfinished (journalled in `.shard-migrate-swap`) is finished first.
MigrationResult migrate_in_place(const std::string& persist_dir, uint64_t shards);

}  // namespace shard_migrate
