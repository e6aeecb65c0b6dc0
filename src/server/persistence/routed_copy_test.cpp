// The routed copy on trees of many leaves per graph: whatever the shard count (over 64 too: the
// record of a mixed page keeps a bit per shard), every record reaches the shard its graph
// routes to (later sources winning), although each pass after the first reads only what may
// route to it; and a tree whose shape a reader cannot trust fails the run with
// "DB corrupted: ..." instead of losing records without a word.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "server/persistence/migration_test_support.h"
#include "server/persistence/row_accounts.h"
#include "server/persistence/shard_files.h"
#include "server/persistence/shard_migrate.h"
#include "server/persistence/shard_schema.h"
#include "storage/testing/database_image.h"
#include "storage/testing/tree_damage.h"
#include "test_support/fixtures.h"

namespace shard_migrate {
namespace {

namespace fs = std::filesystem;
using namespace shard_migrate::testing;
using test_support::ScratchDir;

// A value of `length` bytes that differs with `seed`.
std::string value_of(size_t length, uint64_t seed) {
  std::string value(length, '\0');
  for (size_t i = 0; i < length; ++i) value[i] = static_cast<char>('a' + (seed * 31 + i * 7) % 26);
  return value;
}

// Graph g<i> lives in source i % 3 with 250 nodes of 100 to 700 bytes (so some 30 leaves of
// nodes per graph), edges, ledger and audit rows; graphs 0 to 4 repeat their first 40 nodes,
// with other values, in the next source. Graph 3's first node carries 30 000 bytes (a leaf of
// a higher order). Returns the source paths in discovery order.
std::vector<std::string> write_sources(const fs::path& dir) {
  std::vector<std::vector<Row>> rows(3);
  for (uint64_t g = 0; g < 15; ++g) {
    const std::string graph = "g" + std::to_string(g);
    std::vector<Row>& home = rows[g % 3];
    home.push_back({graph_meta_table, graph, "meta of " + graph});
    home.push_back({semantic_store_table, graph, value_of(300, g)});
    for (uint64_t n = 0; n < 250; ++n) {
      const std::string node = "node-" + std::to_string(1000 + n);
      const size_t length = g == 3 && n == 0 ? 30000 : 100 + (g * 250 + n) * 37 % 600;
      home.push_back({nodes_table, nodes_key(graph, node), value_of(length, g * 1000 + n)});
      if (g < 5 && n < 40) rows[(g + 1) % 3].push_back({nodes_table, nodes_key(graph, node), "repeat " + node});
    }
    for (uint32_t e = 0; e < 60; ++e) home.push_back({edges_table, edges_key(graph, "a", "b", e), value_of(50, e)});
    for (uint64_t l = 1; l <= 20; ++l) home.push_back({ledger_table, text_u64_key(graph, l), "entry " + std::to_string(l)});
    for (uint64_t a = 1; a <= 20; ++a) home.push_back({audit_chain_table, text_u64_key(graph, a), value_of(40, a)});
  }
  rows[1].push_back({raft_log_table, raft_log_key(1, 1), "entry"});
  rows[2].push_back({raft_log_table, raft_log_key(1, 1), "entry from the third source"});
  std::vector<std::string> paths;
  for (size_t s = 0; s < rows.size(); ++s) {
    paths.push_back((dir / ("graph-" + std::to_string(s) + ".redb")).string());
    write_store(paths.back(), rows[s]);
  }
  return paths;
}

// What a source holds, read with its own stored definitions (no typed scan, no filter).
SourceContent scan_source(const std::string& path) {
  SourceContent content;
  auto database = redb::Database::open(path);
  EXPECT_TRUE(database) << database.error().text;
  if (!database) return content;
  auto transaction = database->begin_read();
  auto tables = transaction->list_tables();
  EXPECT_TRUE(tables);
  for (const redb::StoredTable& table : *tables) {
    SourceTable source_table{table.name, table.kind == redb::TableKind::multimap, table.key_type, table.value_type, {}};
    auto scan = transaction->scan_stored(table.name);
    EXPECT_TRUE(scan);
    while (*scan->next()) source_table.rows.emplace_back(scan->key(), scan->value());
    content.push_back(std::move(source_table));
  }
  return content;
}

// Migrates `persist` into `dest` with `shards` shards and checks the report and every shard
// against what the independent scan of the sources puts there.
void expect_migration_as_scanned(const fs::path& persist, const fs::path& dest, const std::vector<SourceContent>& sources,
                                 uint64_t shards) {
  const ExpectedMigration expected = expected_migration(sources, shards);
  auto report = migrate_shards_into(persist.string(), dest.string(), shards);
  ASSERT_TRUE(report) << report.error();
  EXPECT_EQ(*report, expected.report);
  expect_layout(dest.string(), shards, expected);
}

TEST(RoutedCopy, EveryShardCountPutsEveryRecordInItsShard) {
  ScratchDir scratch;
  const fs::path persist = scratch.path() / "persist";
  fs::create_directory(persist);
  std::vector<SourceContent> sources;
  for (const std::string& path : write_sources(persist)) sources.push_back(scan_source(path));
  for (uint64_t shards : {1, 2, 7, 64, 100}) {
    SCOPED_TRACE("shards=" + std::to_string(shards));
    expect_migration_as_scanned(persist, scratch.path() / ("dest-" + std::to_string(shards)), sources, shards);
  }
}

// The copy hands rows from its scan to its inserts in batches of bounded size and row count:
// many small rows fill several batches, and a row larger than a batch (2 MiB, 600 KiB) goes
// over on its own between them; the second source replaces a large value by a small one and
// a small one by a large one. Every shard gets exactly its rows, later source winning.
TEST(RoutedCopy, RowsOfEverySizeArriveInScanOrder) {
  ScratchDir scratch;
  const fs::path persist = scratch.path() / "persist";
  fs::create_directory(persist);
  std::vector<Row> first, second;
  for (const char* graph : {"a", "b", "c", "d"}) {
    first.push_back({graph_meta_table, graph, "meta"});
    for (uint64_t n = 0; n < 1500; ++n) {
      const size_t length = n == 700 ? size_t{2} << 20 : n == 701 || n == 1499 ? 600 << 10 : 20;
      first.push_back({nodes_table, nodes_key(graph, "node-" + std::to_string(10000 + n)), value_of(length, n)});
    }
    second.push_back({nodes_table, nodes_key(graph, "node-10700"), "small now"});
    second.push_back({nodes_table, nodes_key(graph, "node-10005"), value_of(700 << 10, 5)});
  }
  write_store((persist / "graph-0.redb").string(), first);
  write_store((persist / "graph-1.redb").string(), second);
  const std::vector<SourceContent> sources = {scan_source((persist / "graph-0.redb").string()),
                                              scan_source((persist / "graph-1.redb").string())};
  for (uint64_t shards : {1, 3}) {
    SCOPED_TRACE("shards=" + std::to_string(shards));
    expect_migration_as_scanned(persist, scratch.path() / ("dest-" + std::to_string(shards)), sources, shards);
  }
}

TEST(RoutedCopy, ARecordOutsideItsSubtreeFailsTheRun) {
  // A nodes tree of two leaves whose checksums all hold: g1's leaf ends with a g2 record, which
  // sorts before the next leaf's first key but lies past the separator g1/n2.
  redb::testing::DatabaseImage image;
  const std::string keys[] = {nodes_key("g1", "n1"), nodes_key("g1", "n2"), nodes_key("g2", "n0"),
                              nodes_key("g2", "n1"), nodes_key("g2", "n2")};
  const redb::LeafEntry left[] = {{keys[0], "a"}, {keys[1], "b"}, {keys[2], "misplaced"}};
  const redb::LeafEntry right[] = {{keys[3], "d"}, {keys[4], "e"}};
  const redb::EntryWidths widths{};
  const redb::testing::DatabaseImage::Placed leaves[] = {image.add_leaf(left, widths), image.add_leaf(right, widths)};
  const std::string_view separators[] = {keys[1]};
  const auto root = image.add_branch(leaves, separators, std::nullopt);
  redb::StoredDefinition definition = redb::StoredDefinition::for_new_table(nodes_table.key, nodes_table.value);
  definition.root = redb::BtreeHeader{root.page, root.checksum, 5};
  definition.table_length = 5;
  const auto table_tree = image.add_table_tree({{"nodes", definition}});
  const std::vector<uint8_t> bytes = image.finish(
      redb::testing::DatabaseImage::commit(table_tree, 2, image.add_allocator_state(2)),
      redb::testing::DatabaseImage::commit(std::nullopt, 1));
  for (uint64_t shards : {1, 3}) {
    SCOPED_TRACE("shards=" + std::to_string(shards));
    ScratchDir scratch;
    const fs::path source = scratch.path() / "graph.redb";
    std::ofstream(source, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                  static_cast<std::streamsize>(bytes.size()));
    auto report = migrate_shards_into(scratch.str(), (scratch.path() / "dest").string(), shards);
    ASSERT_FALSE(report);
    EXPECT_EQ(report.error(), "DB corrupted: a key lies outside the bounds its branch gives it");
    EXPECT_EQ(file_bytes(source), std::string(bytes.begin(), bytes.end()));
  }
}

// One source of 2 400 nodes in three graphs: a nodes tree three levels deep.
std::vector<Row> deep_nodes() {
  std::vector<Row> rows;
  for (const char* graph : {"a", "b", "c"})
    for (uint64_t n = 0; n < 800; ++n)
      rows.push_back({nodes_table, nodes_key(graph, "node-" + std::to_string(10000 + n)), value_of(300, n)});
  rows.push_back({graph_meta_table, "a", "meta"});
  return rows;
}

TEST(RoutedCopy, AChildPointerMovedOneLevelDownFailsTheRun) {
  for (uint64_t shards : {1, 4}) {
    SCOPED_TRACE("shards=" + std::to_string(shards));
    ScratchDir scratch;
    const fs::path source = scratch.path() / "graph.redb";
    write_store(source.string(), deep_nodes());
    redb::testing::point_child_one_level_down(source, "nodes");
    const std::string damaged = file_bytes(source);

    auto report = migrate_shards_into(scratch.str(), (scratch.path() / "dest").string(), shards);
    ASSERT_FALSE(report);
    EXPECT_TRUE(report.error().starts_with("DB corrupted: ")) << report.error();
    EXPECT_NE(report.error().find("'nodes' of source " + source.string()), std::string::npos) << report.error();

    // In place, the old file stays where it was, unchanged, and nothing is backed up.
    auto in_place = migrate_in_place(scratch.str(), shards);
    ASSERT_FALSE(in_place);
    EXPECT_EQ(in_place.error(), report.error());
    EXPECT_EQ(file_bytes(source), damaged);
    for (const auto& entry : fs::directory_iterator(scratch.path()))
      EXPECT_FALSE(entry.path().filename().string().starts_with(".shard-migrate-backup")) << entry.path();
  }
}

TEST(RowAccounts, EveryTableMustHandOutItsStoredLengthOverAllPasses) {
  const std::vector<std::string> paths = {"/store/graph-0.redb", "/store/graph-1.redb"};
  RowAccounts accounts(2);
  // Three passes over two sources: nodes of source 0 is whole, edges of source 1 lost a row.
  for (uint64_t pass = 0; pass < 3; ++pass) {
    accounts.note(0, nodes_table, 9, 3, redb::LeafDepths{2, 2});
    accounts.note(1, edges_table, 7, pass == 0 ? 0 : 3, pass == 0 ? std::nullopt : std::optional(redb::LeafDepths{1, 1}));
  }
  EXPECT_EQ(accounts.first_damage(paths),
            "DB corrupted: 6 rows read from table 'edges' of source /store/graph-1.redb, but its stored length is 7");
  accounts.note(1, edges_table, 7, 1, redb::LeafDepths{1, 1});
  EXPECT_EQ(accounts.first_damage(paths), std::nullopt);
  // Leaves at different depths, even in different passes, are damage too; sources are
  // reported in discovery order.
  accounts.note(1, ledger_table, 0, 0, redb::LeafDepths{1, 1});
  accounts.note(0, audit_chain_table, 4, 4, redb::LeafDepths{2, 2});
  accounts.note(0, audit_chain_table, 4, 0, redb::LeafDepths{1, 2});
  EXPECT_EQ(accounts.first_damage(paths),
            "DB corrupted: the leaves of table 'audit_chain' of source /store/graph-0.redb are not all at one depth (1 "
            "and 2)");
}

}  // namespace
}  // namespace shard_migrate
