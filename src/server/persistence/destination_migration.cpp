// Destination-mode migration: K new shard databases built one after the other, each in one
// write transaction with immediate durability, from the records of every source that route to
// that shard.
//
// Order matters for what a failure leaves behind: every refusal is decided before any source is
// opened or any file created; every source is open (and locked) before the first destination
// file exists; shard d is committed and closed before shard d + 1 is created, so a failure
// leaves shards 0 … d−1 complete and shard d without any of its tables. Sources are only read
// and released without a write, so their files stay byte-for-byte unchanged.
#include "server/persistence/destination_migration.h"

#include <algorithm>
#include <span>
#include <vector>

#include "server/persistence/global_table_copy.h"
#include "server/persistence/graph_table_copy.h"
#include "server/persistence/in_place_migration.h"
#include "server/persistence/migration_texts.h"
#include "server/persistence/shard_files.h"
#include "server/persistence/shard_schema.h"
#include "storage/redb.h"

namespace shard_migrate {

namespace {

// The open source databases in discovery order, released in that same order.
class SourceDatabases {
 public:
  SourceDatabases() = default;
  SourceDatabases(const SourceDatabases&) = delete;
  SourceDatabases& operator=(const SourceDatabases&) = delete;
  ~SourceDatabases() {
    for (redb::Database& database : databases_) redb::Database released = std::move(database);
  }

  // Opens every path (read-write, locked); fails with "open source {path}: {library text}".
  CopyStatus open_all(const std::vector<std::string>& paths) {
    paths_ = paths;
    databases_.reserve(paths.size());
    for (const std::string& path : paths) {
      auto database = redb::Database::open(path);
      if (!database) return std::unexpected(open_source_text(path, database.error().text));
      databases_.push_back(std::move(*database));
    }
    return {};
  }

  std::span<const redb::Database> all() const { return databases_; }
  std::span<const std::string> paths() const { return paths_; }

 private:
  std::vector<std::string> paths_;
  std::vector<redb::Database> databases_;
};

// What every destination shard of one run shares.
struct RunTallies {
  RunTallies(size_t source_count, uint64_t shard_count)
      : accounts(source_count), routes(source_count, graph_tables.size(), shard_count) {}
  GraphsSeen graphs_seen;
  GraphCounters counters;
  uint64_t global = 0;
  RowAccounts accounts;
  MixedPageRoutes routes;
};

// Creates, fills, commits and closes destination shard `dest_index` at `shard_path`.
CopyStatus build_destination_shard(const std::string& shard_path, uint64_t dest_index, uint64_t requested_shards,
                                   uint64_t shard_count, const SourceDatabases& sources, RunTallies& tallies) {
  // a. Create the shard database.
  auto database = redb::Database::create(shard_path);
  if (!database) return std::unexpected(create_dest_text(shard_path, database.error().text));
  // b. Begin its one write transaction.
  auto transaction = database->begin_write();
  if (!transaction) return std::unexpected(std::move(transaction.error().text));
  // c. Immediate durability.
  if (auto durable = transaction->set_durability(redb::Durability::immediate); !durable)
    return std::unexpected(std::move(durable.error().text));
  // d. Open (and so create) the six graph tables.
  auto tables = open_destination_graph_tables(*transaction);
  if (!tables) return std::unexpected(std::move(tables.error()));
  // e. Copy the graph records routed to this shard.
  if (auto copied = copy_graph_tables(sources.all(), dest_index, requested_shards, shard_count, *tables,
                                      tallies.graphs_seen, tallies.counters, tallies.accounts, tallies.routes);
      !copied)
    return copied;
  // f. Shard 0 alone receives the global tables, after every source's graph records.
  if (dest_index == 0) {
    auto global = copy_global_tables(sources.all(), *transaction, tallies.accounts);
    if (!global) return std::unexpected(std::move(global.error()));
    tallies.global += *global;
  }
  // After the last shard's records, every row of every source table copied must have been
  // read; otherwise a damaged tree lost some, and this shard is not committed.
  if (dest_index + 1 == shard_count) {
    if (auto damage = tallies.accounts.first_damage(sources.paths())) return std::unexpected(std::move(*damage));
  }
  // g. Close the six tables, latest first.
  tables->close();
  // h. Commit.
  if (auto committed = transaction->commit(); !committed) return std::unexpected(std::move(committed.error().text));
  // i. The database is closed when it goes out of scope, before the next shard is created.
  return {};
}

}  // namespace

MigrationResult migrate_shards_into(const std::string& persist_dir, const std::string& dest_dir, uint64_t shards,
                                    FileSystem& file_system) {
  // 1. Clamp. `shards` itself stays the input of naming and routing.
  const uint64_t shard_count = std::max<uint64_t>(shards, 1);

  // A store whose in-place swap was interrupted is split between the persist and the backup
  // directory: refuse it, touching nothing.
  if (file_system.entry_exists(join_path(persist_dir, swap_journal_name)))
    return std::unexpected(interrupted_swap_refused_text(persist_dir));

  // 2. Discover the sources.
  auto source_paths = discover_shard_files(persist_dir);
  if (!source_paths) return std::unexpected(std::move(source_paths.error()));

  // 3. Create the destination directory with its missing parents.
  if (auto made = file_system.make_directories(dest_dir); !made) return std::unexpected(std::move(made.error()));

  // 4. Refuse when any name of the new layout is taken, before any source is opened.
  for (uint64_t dest_index = 0; dest_index < shard_count; ++dest_index) {
    std::string shard_path = join_path(dest_dir, shard_file_name(dest_index, shards));
    if (file_system.exists(shard_path)) return std::unexpected(destination_exists_text(shard_path));
  }

  // 5. Open every source, in discovery order.
  SourceDatabases sources;
  if (auto opened = sources.open_all(*source_paths); !opened) return std::unexpected(std::move(opened.error()));

  // 6. Start the tallies (released before the sources).
  RunTallies tallies(source_paths->size(), shard_count);

  // 7. Build each destination shard in turn.
  for (uint64_t dest_index = 0; dest_index < shard_count; ++dest_index) {
    std::string shard_path = join_path(dest_dir, shard_file_name(dest_index, shards));
    if (auto built = build_destination_shard(shard_path, dest_index, shards, shard_count, sources, tallies); !built)
      return std::unexpected(std::move(built.error()));
  }
  // Make the new directory entries durable along with the committed shards.
  if (auto synced = file_system.sync_directory(dest_dir); !synced) return std::unexpected(std::move(synced.error()));

  // 8. Fill the report.
  MigrationReport report{
      .source_shards = source_paths->size(),
      .dest_shards = shard_count,
      .graphs = tallies.counters.graphs,
      .nodes = tallies.counters.nodes,
      .edges = tallies.counters.edges,
      .ledger = tallies.counters.ledger,
      .semantic = tallies.counters.semantic,
      .audit = tallies.counters.audit,
      .global = tallies.global,
  };
  // 9. The tallies, then the sources (in discovery order), are released on return.
  return report;
}

MigrationResult migrate_shards_into(const std::string& persist_dir, const std::string& dest_dir, uint64_t shards) {
  return migrate_shards_into(persist_dir, dest_dir, shards, system_file_system());
}

}  // namespace shard_migrate
