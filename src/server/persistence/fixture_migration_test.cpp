// Migrations of copies of the reference files written by the real library: the counters of the
// reference runs, the destination content read back against the dumps, unchanged sources.
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "server/persistence/in_place_migration.h"
#include "server/persistence/migration_test_support.h"
#include "server/persistence/shard_migrate.h"
#include "test_support/fixtures.h"

namespace shard_migrate {
namespace {

namespace fs = std::filesystem;
using namespace shard_migrate::testing;
using test_support::ScratchDir;

struct Scenario {
  const char* folder;
  std::vector<const char*> sources;  // shard files in discovery order
  MigrationReport counters;          // source_shards and the row counters; dest_shards set per run
};

const Scenario scenarios[] = {
    {"single", {"graph.redb"}, {1, 0, 6, 9, 8, 6, 4, 4, 16}},
    {"numbered", {"graph-0.redb", "graph-2.redb", "graph-10.redb"}, {3, 0, 4, 6, 3, 2, 2, 2, 12}},
    {"wrong-types", {"graph.redb"}, {1, 0, 1, 0, 1, 0, 1, 1, 3}},
    {"deep", {"graph.redb"}, {1, 0, 6, 29999, 30000, 1, 1, 0, 0}},
    {"history", {"graph.redb"}, {1, 0, 6, 319, 14, 79, 0, 30, 17}},
    {"crashed", {"graph.redb"}, {1, 0, 1, 240, 0, 0, 0, 0, 5}},
    {"crashed-nondurable", {"graph.redb"}, {1, 0, 1, 150, 0, 0, 0, 0, 3}},
    {"reference-write", {"graph.redb"}, {1, 0, 2, 4, 2, 2, 2, 2, 5}},
};

// A writable copy of a scenario's database files in `persist`, and their dumped contents.
std::vector<SourceContent> copy_scenario(const Scenario& scenario, const fs::path& persist) {
  fs::create_directories(persist);
  for (const auto& entry : fs::directory_iterator(test_support::fixtures_dir() / scenario.folder))
    if (entry.path().extension() == ".redb") test_support::copy_fixture(fs::path(scenario.folder) / entry.path().filename(), persist);
  std::vector<SourceContent> contents;
  for (const char* source : scenario.sources) {
    fs::path dump = test_support::fixtures_dir() / scenario.folder / (std::string(source) + ".dump.json");
    contents.push_back(content_of_dump(dump));
  }
  return contents;
}

TEST(FixtureMigration, ReferenceCountersAndContentForOneAndFourShards) {
  REQUIRE_FIXTURES();
  for (const Scenario& scenario : scenarios) {
    for (uint64_t shards : {1, 4}) {
      SCOPED_TRACE(std::string(scenario.folder) + " shards=" + std::to_string(shards));
      ScratchDir scratch;
      fs::path persist = scratch.path() / "persist";
      std::vector<SourceContent> sources = copy_scenario(scenario, persist);
      auto before = snapshot_files(persist);
      std::string dest = (scratch.path() / "dest").string();
      auto report = migrate_shards_into(persist.string(), dest, shards);
      ASSERT_TRUE(report) << report.error();
      MigrationReport expected = scenario.counters;
      expected.dest_shards = shards;
      EXPECT_EQ(*report, expected);
      ExpectedMigration from_dumps = expected_migration(sources, shards);
      EXPECT_EQ(from_dumps.report, expected) << "dumps disagree with the reference counters";
      expect_layout(dest, shards, from_dumps);
      EXPECT_EQ(snapshot_files(persist), before) << "a source changed";
    }
  }
}

TEST(FixtureMigration, InPlaceFromNumberedFixtureToOneShard) {
  REQUIRE_FIXTURES();
  ScratchDir persist;
  std::vector<SourceContent> sources = copy_scenario(scenarios[1], persist.path());
  auto before = snapshot_files(persist.path());
  auto report = migrate_in_place(persist.str(), 1);
  ASSERT_TRUE(report) << report.error();
  EXPECT_EQ(report->graphs, 4u);
  fs::path backup;
  for (const auto& entry : fs::directory_iterator(persist.path()))
    if (entry.path().filename().string().starts_with(".shard-migrate-backup-")) backup = entry.path();
  ASSERT_FALSE(backup.empty());
  EXPECT_EQ(snapshot_files(backup), before);
  EXPECT_FALSE(fs::exists(persist.path() / ".shard-migrate-tmp"));
  expect_layout(persist.str(), 1, expected_migration(sources, 1));
  // The later file in numeric order wins.
  auto meta = read_rows(persist.str() + "/graph.redb", graph_meta_table);
  ASSERT_TRUE(meta);
  std::map<std::string, std::string> merged(meta->begin(), meta->end());
  EXPECT_EQ(merged["shared/kg"], "meta from graph-10");
}

TEST(FixtureMigration, OldFormatSourceIsRefusedUnchanged) {
  REQUIRE_FIXTURES();
  ScratchDir scratch;
  fs::path source = test_support::copy_fixture("old-format/graph.redb", scratch.path());
  std::string before = file_bytes(source);
  auto report = migrate_shards_into(scratch.str(), (scratch.path() / "dest").string(), 2);
  ASSERT_FALSE(report);
  EXPECT_EQ(report.error(), "open source " + source.string() +
                                ": Manual upgrade required. Expected file format version 3, but file is version 2");
  EXPECT_EQ(file_bytes(source), before);
  EXPECT_FALSE(fs::exists(scratch.path() / "dest" / "graph-0.redb"));
}

}  // namespace
}  // namespace shard_migrate
