#include "server/persistence/destination_migration.h"

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include "server/persistence/migration_test_support.h"
#include "server/persistence/shard_files.h"
#include "server/persistence/shard_schema.h"
#include "test_support/fixtures.h"

namespace shard_migrate {
namespace {

namespace fs = std::filesystem;
using namespace shard_migrate::testing;
using test_support::ScratchDir;

const redb::TableDefinition nodes_with_other_key{"nodes", redb::TypeDesc::tuple({Scalar::str, Scalar::u64}),
                                                 redb::TypeDesc::scalar(Scalar::bytes)};
const redb::TableDefinition decision_with_other_value{"xshard_decision", redb::TypeDesc::scalar(Scalar::str),
                                                      redb::TypeDesc::scalar(Scalar::u16)};

// Three sources whose numeric order (1, 5, 12) differs from their text order, with keys
// repeated across sources, a graph without graph_meta, the empty and a 300-byte identifier, a
// missing table and two tables stored under other types. Returns their contents in discovery
// order.
std::vector<SourceContent> write_three_sources(const fs::path& dir) {
  const std::string long_graph(300, 'L');
  std::vector<Row> first{
      {graph_meta_table, "g0", "meta g0 from 1"},
      {graph_meta_table, "g1", "meta g1 from 1"},
      {graph_meta_table, "", ""},
      {graph_meta_table, long_graph, "long"},
      {nodes_table, nodes_key("g0", "alice"), "person"},
      {nodes_table, nodes_key("g1", "bob"), "bob from 1"},
      {nodes_table, nodes_key("", ""), ""},
      {nodes_table, nodes_key(long_graph, "n"), "long node"},
      {edges_table, edges_key("g0", "alice", "bob", 256), "knows"},
      {edges_table, edges_key("g1", "bob", "carol", 0xffffffff), "likes"},
      {ledger_table, text_u64_key("g0", 1), "created \xc3\xa9"},
      {ledger_table, text_u64_key("g1", UINT64_MAX), ""},
      {semantic_store_table, "g0", std::string(5000, 's')},
      {audit_chain_table, text_u64_key("g0", 0), std::string(32, 'Z')},
      {raft_log_table, raft_log_key(1, 1), "entry"},
      {raft_log_table, raft_log_key(1, 2), "entry 2"},
      {xshard_decision_table, "tx-1", std::string(1, '\x01')},
  };
  std::vector<Row> second{
      {graph_meta_table, "g1", "meta g1 from 5"},
      {graph_meta_table, "g2", "meta g2 from 5"},
      {nodes_with_other_key, text_u64_key("g2", 7), "skipped"},
      {edges_table, edges_key("g2", "x", "y", 1), "e"},
      {semantic_store_table, "g2", "sem"},
      {audit_chain_table, text_u64_key("g2", 1), "a"},
      {raft_log_table, raft_log_key(1, 1), "entry from 5"},
      {raft_meta_table, raft_meta_key(1, "term"), u64_bytes(3)},
      {xshard_prepare_table, text_u64_key("tx-2", 0), "prepare"},
  };
  std::vector<Row> third{
      {graph_meta_table, "g1", "meta g1 from 12"},
      {nodes_table, nodes_key("g1", "bob"), "bob from 12"},
      {nodes_table, nodes_key("orphan", "n"), "graph without meta"},
      {ledger_table, text_u64_key("orphan", 5), "orphan ledger"},
      {raft_meta_table, raft_meta_key(1, "term"), u64_bytes(4)},
      {decision_with_other_value, "tx-9", std::string(2, '\x02')},
  };
  write_store((dir / "graph-1.redb").string(), first);
  write_store((dir / "graph-5.redb").string(), second);
  write_store((dir / "graph-12.redb").string(), third);
  return {content_of(first), content_of(second), content_of(third)};
}

TEST(MigrateShardsInto, EveryRecordLandsInItsShardWithTheLaterSourceWinning) {
  ScratchDir scratch;
  fs::path persist = scratch.path() / "persist";
  fs::create_directory(persist);
  std::vector<SourceContent> sources = write_three_sources(persist);
  auto before = snapshot_files(persist);
  for (uint64_t shards : {0, 1, 2, 3, 4, 7}) {
    SCOPED_TRACE("shards=" + std::to_string(shards));
    std::string dest = (scratch.path() / ("dest-" + std::to_string(shards)) / "nested").string();
    auto report = migrate_shards_into(persist.string(), dest, shards);
    ASSERT_TRUE(report) << report.error();
    ExpectedMigration expected = expected_migration(sources, shards);
    EXPECT_EQ(*report, expected.report);
    expect_layout(dest, shards, expected);
    EXPECT_EQ(snapshot_files(persist), before) << "sources changed";
  }
  // Worked out by hand for these sources: graphs g0 g1 "" L... g2; the other-typed nodes of
  // graph-5 and xshard_decision of graph-12 are skipped.
  auto report = migrate_shards_into(persist.string(), (scratch.path() / "by-hand").string(), 4);
  ASSERT_TRUE(report) << report.error();
  EXPECT_EQ(*report, (MigrationReport{.source_shards = 3, .dest_shards = 4, .graphs = 5, .nodes = 6, .edges = 3,
                                      .ledger = 3, .semantic = 2, .audit = 2, .global = 7}));
}

TEST(MigrateShardsInto, SourcesWithoutGraphTablesStillGiveSixTablesPerShard) {
  ScratchDir scratch;
  write_store((scratch.path() / "graph.redb").string(), {}, {});
  std::string dest = (scratch.path() / "dest").string();
  auto report = migrate_shards_into(scratch.str(), dest, 3);
  ASSERT_TRUE(report) << report.error();
  EXPECT_EQ(*report, (MigrationReport{.source_shards = 1, .dest_shards = 3}));
  expect_layout(dest, 3, expected_migration({SourceContent{}}, 3));
}

TEST(MigrateShardsInto, RefusesTakenShardNamesBeforeOpeningAnySource) {
  struct Case {
    const char* label;
    uint64_t shards;
    std::vector<const char*> files;        // present in the destination
    std::vector<const char*> directories;  // present in the destination
    const char* refused;                   // nullptr: the run succeeds
  };
  const Case cases[] = {
      {"one name taken", 4, {"graph-2.redb"}, {}, "graph-2.redb"},
      {"first in index order", 4, {"graph-2.redb", "graph-0.redb"}, {}, "graph-0.redb"},
      {"a directory", 2, {}, {"graph-0.redb"}, "graph-0.redb"},
      {"single file", 1, {"graph.redb"}, {}, "graph.redb"},
      {"numbered leftover with one shard", 1, {"graph-0.redb", "other.txt"}, {}, nullptr},
      {"single leftover with three shards", 3, {"graph.redb"}, {}, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ScratchDir scratch;
    fs::path persist = scratch.path() / "persist";
    fs::path dest = scratch.path() / "dest";
    fs::create_directories(persist);
    fs::create_directories(dest);
    write_store((persist / "graph.redb").string(), {{graph_meta_table, "g", "m"}});
    for (const char* name : c.files) std::ofstream(dest / name) << "leftover";
    for (const char* name : c.directories) fs::create_directory(dest / name);
    // A lock held on the source shows that a refusal comes before any source is opened.
    int held = ::open((persist / "graph.redb").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);
    auto report = migrate_shards_into(persist.string(), dest.string(), c.shards);
    ::close(held);
    if (c.refused != nullptr) {
      ASSERT_FALSE(report);
      EXPECT_EQ(report.error(), "destination shard file already exists: " + (dest / c.refused).string() +
                                    " (refusing to overwrite)");
    } else {
      ASSERT_FALSE(report);  // got past the refuse check: the held lock stops it
      EXPECT_EQ(report.error(), "open source " + (persist / "graph.redb").string() +
                                    ": Database already open. Cannot acquire lock.");
      for (const char* name : c.files) EXPECT_EQ(file_bytes(dest / name), "leftover");
    }
  }
}

TEST(MigrateShardsInto, DanglingLinkWithAShardNameIsNotRefused) {
  ScratchDir scratch;
  write_store((scratch.path() / "graph.redb").string(), {{graph_meta_table, "g", "m"}});
  fs::path dest = scratch.path() / "dest";
  fs::create_directory(dest);
  fs::create_symlink(dest / "target.redb", dest / "graph.redb");
  auto report = migrate_shards_into(scratch.str(), dest.string(), 1);
  ASSERT_TRUE(report) << report.error();
  EXPECT_EQ(report->graphs, 1u);
  EXPECT_TRUE(fs::is_regular_file(dest / "target.redb"));
}

TEST(MigrateShardsInto, FailuresBeforeAnyShardReturnTheirTexts) {
  ScratchDir scratch;
  fs::path persist = scratch.path() / "persist";
  fs::create_directory(persist);
  write_store((persist / "graph-0.redb").string(), {{graph_meta_table, "g", "m"}});
  write_store((persist / "graph-1.redb").string(), {{graph_meta_table, "h", "m"}});
  std::ofstream(scratch.path() / "regular") << "x";
  auto before = snapshot_files(persist);

  // Discovery.
  auto missing = migrate_shards_into((scratch.path() / "none/").string(), (scratch.path() / "d1").string(), 2);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error(),
            "no redb shard files (graph.redb / graph-<n>.redb) found under " + (scratch.path() / "none/").string());
  EXPECT_FALSE(fs::exists(scratch.path() / "d1"));

  // Destination directory creation: the system's text alone.
  auto onto_file = migrate_shards_into(persist.string(), (scratch.path() / "regular").string(), 2);
  ASSERT_FALSE(onto_file);
  EXPECT_EQ(onto_file.error(), "File exists (os error 17)");
  auto below_file = migrate_shards_into(persist.string(), (scratch.path() / "regular" / "sub").string(), 2);
  ASSERT_FALSE(below_file);
  EXPECT_EQ(below_file.error(), "Not a directory (os error 20)");

  // A locked second source: named with the library's text; the first is released again.
  int held = ::open((persist / "graph-1.redb").c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);
  auto locked = migrate_shards_into(persist.string(), (scratch.path() / "d2").string(), 2);
  ::close(held);
  ASSERT_FALSE(locked);
  EXPECT_EQ(locked.error(),
            "open source " + (persist / "graph-1.redb").string() + ": Database already open. Cannot acquire lock.");
  EXPECT_TRUE(redb::Database::open((persist / "graph-0.redb").string())) << "first source still locked";
  EXPECT_TRUE(fs::is_empty(scratch.path() / "d2"));
  EXPECT_EQ(snapshot_files(persist), before);

  // A directory that discovery accepted under a shard name.
  fs::create_directory(persist / "graph-2.redb");
  auto directory = migrate_shards_into(persist.string(), (scratch.path() / "d3").string(), 2);
  ASSERT_FALSE(directory);
  EXPECT_EQ(directory.error(), "open source " + (persist / "graph-2.redb").string() + ": I/O error: Is a directory (os error 21)");
}

TEST(MigrateShardsInto, FailureAtShardTwoKeepsTheCommittedShards) {
  ScratchDir scratch;
  fs::path persist = scratch.path() / "persist";
  fs::create_directory(persist);
  std::vector<Row> rows;
  for (int g = 0; g < 40; ++g) {
    std::string graph = "graph-" + std::to_string(g);
    rows.push_back({graph_meta_table, graph, "meta"});
    rows.push_back({nodes_table, nodes_key(graph, "n"), "node"});
  }
  write_store((persist / "graph.redb").string(), rows);
  fs::path dest = scratch.path() / "dest";
  fs::create_directory(dest);
  // Passes the refuse check (it resolves nowhere) but cannot be created.
  fs::create_symlink(scratch.path() / "missing-dir" / "file", dest / "graph-2.redb");

  auto report = migrate_shards_into(persist.string(), dest.string(), 4);
  ASSERT_FALSE(report);
  EXPECT_EQ(report.error(),
            "create dest " + (dest / "graph-2.redb").string() + ": I/O error: No such file or directory (os error 2)");
  for (const char* committed : {"graph-0.redb", "graph-1.redb"}) {
    auto meta = read_rows((dest / committed).string(), graph_meta_table);
    ASSERT_TRUE(meta) << committed;
    EXPECT_FALSE(meta->empty());
    for (const auto& [key, value] : *meta) EXPECT_EQ(shard_for_graph(key, 4, 4), committed[6] == '0' ? 0u : 1u);
  }
  EXPECT_TRUE(read_rows((dest / "graph-0.redb").string(), raft_log_table));
  EXPECT_FALSE(fs::exists(dest / "graph-3.redb"));

  auto again = migrate_shards_into(persist.string(), dest.string(), 4);
  ASSERT_FALSE(again);
  EXPECT_EQ(again.error(), "destination shard file already exists: " + (dest / "graph-0.redb").string() +
                               " (refusing to overwrite)");
}

TEST(MigrateShardsInto, DestinationBesideTheSources) {
  ScratchDir scratch;
  write_store((scratch.path() / "graph-5.redb").string(), {{graph_meta_table, "a", "1"}});
  write_store((scratch.path() / "graph-6.redb").string(), {{graph_meta_table, "b", "2"}});
  auto beside = migrate_shards_into(scratch.str(), scratch.str(), 2);
  ASSERT_TRUE(beside) << beside.error();
  EXPECT_EQ(beside->graphs, 2u);
  EXPECT_TRUE(fs::exists(scratch.path() / "graph-0.redb"));
  EXPECT_TRUE(fs::exists(scratch.path() / "graph-1.redb"));
  // Now the new names are taken by sources.
  auto over = migrate_shards_into(scratch.str(), scratch.str(), 2);
  ASSERT_FALSE(over);
  EXPECT_EQ(over.error(), "destination shard file already exists: " + scratch.str() +
                              "/graph-0.redb (refusing to overwrite)");
}

TEST(MigrateShardsInto, EmptyDestinationTextIsTheWorkingDirectory) {
  ScratchDir scratch;
  fs::create_directory(scratch.path() / "persist");
  fs::create_directory(scratch.path() / "work");
  write_store((scratch.path() / "persist" / "graph.redb").string(), {{graph_meta_table, "g", "m"}});
  fs::path previous = fs::current_path();
  fs::current_path(scratch.path() / "work");
  auto report = migrate_shards_into((scratch.path() / "persist").string(), "", 2);
  fs::current_path(previous);
  ASSERT_TRUE(report) << report.error();
  EXPECT_TRUE(fs::exists(scratch.path() / "work" / "graph-0.redb"));
  EXPECT_TRUE(fs::exists(scratch.path() / "work" / "graph-1.redb"));
}

}  // namespace
}  // namespace shard_migrate
