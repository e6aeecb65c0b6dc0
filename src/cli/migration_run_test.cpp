// End-to-end runs of the built migrate-shards program on stores made by sample-store: both
// modes, the result line against the engine's own report, the failure line, and the exit
// statuses when the result line cannot be written.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "cli/child_process.h"
#include "server/persistence/shard_migrate.h"
#include "server/persistence/shard_schema.h"
#include "storage/redb.h"
#include "test_support/damage.h"
#include "test_support/fixtures.h"

namespace {

namespace fs = std::filesystem;
using cli_test::Launch;
using cli_test::Outcome;
using cli_test::Stream;

// Writes a small sample store into `directory`; the same call always writes the same store.
void make_store(const fs::path& directory, int files) {
  Launch launch;
  launch.program = SAMPLE_STORE_BINARY;
  launch.arguments = {"--out", directory.string(), "--files", std::to_string(files), "--graphs", "9",
                      "--seed", "20261210", "--scale", "0.1"};
  const Outcome outcome = cli_test::run(launch);
  ASSERT_EQ(outcome.status, 0) << outcome.standard_error;
}

Outcome run_program(std::vector<std::string> arguments, Stream standard_output = Stream::captured,
                    std::string working_directory = {}) {
  Launch launch;
  launch.program = MIGRATE_SHARDS_BINARY;
  launch.arguments = std::move(arguments);
  launch.standard_output = standard_output;
  launch.working_directory = std::move(working_directory);
  return cli_test::run(launch);
}

std::string expected_line(const shard_migrate::MigrationReport& r) {
  return "migration OK: " + std::to_string(r.source_shards) + " -> " + std::to_string(r.dest_shards) +
         " shards | graphs=" + std::to_string(r.graphs) + " nodes=" + std::to_string(r.nodes) +
         " edges=" + std::to_string(r.edges) + " ledger=" + std::to_string(r.ledger) +
         " semantic=" + std::to_string(r.semantic) + " audit=" + std::to_string(r.audit) +
         " global=" + std::to_string(r.global) + "\n";
}

// Row counts of the ten tables in each shard file of `directory` (-1 for a table it lacks),
// by file name; a file that does not open fails the test.
std::map<std::string, std::vector<int64_t>> table_lengths(const fs::path& directory) {
  std::map<std::string, std::vector<int64_t>> lengths;
  for (const fs::directory_entry& entry : fs::directory_iterator(directory)) {
    if (entry.path().extension() != ".redb") continue;
    auto database = redb::Database::open(entry.path().string());
    EXPECT_TRUE(database) << entry.path() << ": " << database.error().text;
    if (!database) continue;
    auto read = database->begin_read();
    EXPECT_TRUE(read);
    if (!read) continue;
    std::vector<int64_t>& row = lengths[entry.path().filename().string()];
    for (const redb::TableDefinition* definition : shard_migrate::graph_tables) {
      auto table = read->open_table(*definition);
      row.push_back(table ? static_cast<int64_t>(table->len()) : -1);
    }
    for (const redb::TableDefinition* definition : shard_migrate::global_tables) {
      auto table = read->open_table(*definition);
      row.push_back(table ? static_cast<int64_t>(table->len()) : -1);
    }
  }
  return lengths;
}

std::vector<std::string> file_names(const fs::path& directory) {
  std::vector<std::string> names;
  for (const fs::directory_entry& entry : fs::directory_iterator(directory))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// Each test gets a store made by the program under test and an identical twin for the engine.
class MigrationRun : public ::testing::Test {
 protected:
  void SetUp() override {
    make_store(store(), 3);
    make_store(twin(), 3);
  }
  fs::path store() const { return scratch_.path() / "store"; }
  fs::path twin() const { return scratch_.path() / "twin"; }
  fs::path at(const std::string& name) const { return scratch_.path() / name; }

  test_support::ScratchDir scratch_;
};

TEST_F(MigrationRun, DestinationModePrintsTheEnginesReport) {
  const Outcome outcome = run_program({"--persist-dir", store().string(), "--shards", "4", "--dest-dir", at("out").string()});
  const shard_migrate::MigrationResult report = shard_migrate::migrate_shards_into(twin().string(), at("twin-out").string(), 4);
  ASSERT_TRUE(report) << report.error();

  EXPECT_EQ(outcome.status, 0) << outcome.standard_error;
  EXPECT_EQ(outcome.standard_error, "");
  EXPECT_EQ(outcome.standard_output, expected_line(*report));
  EXPECT_EQ(report->source_shards, 3u);
  EXPECT_EQ(report->dest_shards, 4u);
  EXPECT_EQ(report->graphs, 12u);
  EXPECT_EQ(table_lengths(at("out")), table_lengths(at("twin-out")));
  EXPECT_EQ(file_names(store()), (std::vector<std::string>{"graph-0.redb", "graph-1.redb", "graph-2.redb"}));

  // A second run into the same destination is refused; nothing reaches standard output.
  const Outcome again = run_program({"--persist-dir", store().string(), "--shards", "4", "--dest-dir", at("out").string()});
  EXPECT_EQ(again.status, 1);
  EXPECT_EQ(again.standard_output, "");
  EXPECT_EQ(again.standard_error, "migration FAILED: destination shard file already exists: " +
                                      (at("out") / "graph-0.redb").string() + " (refusing to overwrite)\n");
}

TEST_F(MigrationRun, InPlaceModePrintsTheEnginesReport) {
  const Outcome outcome = run_program({"--persist-dir", store().string(), "--shards", "2"});
  const shard_migrate::MigrationResult report = shard_migrate::migrate_in_place(twin().string(), 2);
  ASSERT_TRUE(report) << report.error();

  EXPECT_EQ(outcome.status, 0) << outcome.standard_error;
  EXPECT_EQ(outcome.standard_output, expected_line(*report));
  EXPECT_EQ(table_lengths(store()), table_lengths(twin()));
  const std::vector<std::string> names = file_names(store());
  ASSERT_EQ(names.size(), 3u);
  EXPECT_TRUE(names[0].starts_with(".shard-migrate-backup-")) << names[0];
  EXPECT_EQ(file_names(store() / names[0]), (std::vector<std::string>{"graph-0.redb", "graph-1.redb", "graph-2.redb"}));
  EXPECT_EQ(names[1], "graph-0.redb");
  EXPECT_EQ(names[2], "graph-1.redb");
}

TEST_F(MigrationRun, ShardCountZeroReachesTheEngineAndIsClampedThere) {
  const Outcome outcome = run_program({"--persist-dir", store().string(), "--shards", "0", "--dest-dir", at("out").string()});
  EXPECT_EQ(outcome.status, 0) << outcome.standard_error;
  EXPECT_TRUE(outcome.standard_output.starts_with("migration OK: 3 -> 1 shards | ")) << outcome.standard_output;
  EXPECT_EQ(file_names(at("out")), std::vector<std::string>{"graph.redb"});
}

// An empty destination text still selects destination mode: relative to the working directory.
TEST_F(MigrationRun, EmptyDestinationDirectorySelectsDestinationMode) {
  fs::create_directory(at("cwd"));
  const Outcome outcome = run_program({"--persist-dir", store().string(), "--shards", "2", "--dest-dir="},
                                      Stream::captured, at("cwd").string());
  EXPECT_EQ(outcome.status, 0) << outcome.standard_error;
  EXPECT_EQ(file_names(at("cwd")), (std::vector<std::string>{"graph-0.redb", "graph-1.redb"}));
  EXPECT_EQ(file_names(store()), (std::vector<std::string>{"graph-0.redb", "graph-1.redb", "graph-2.redb"}));
}

TEST_F(MigrationRun, AResultLineThatCannotBeWrittenIsAnInternalFaultAfterACompleteMigration) {
  ASSERT_TRUE(shard_migrate::migrate_shards_into(twin().string(), at("twin-out").string(), 3));
  const auto complete = table_lengths(at("twin-out"));
  struct Case {
    Stream stream;
    std::string name;
    int status;
    std::string fault;
  };
  const std::vector<Case> cases = {
      {Stream::full_device, "full", 101, "failed printing to stdout: No space left on device (os error 28)"},
      {Stream::reader_gone, "gone", 101, "failed printing to stdout: Broken pipe (os error 32)"},
      // A closed standard output is reopened on /dev/null before anything else can take it.
      {Stream::closed, "closed", 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome outcome =
        run_program({"--persist-dir", store().string(), "--shards", "3", "--dest-dir", at(c.name).string()}, c.stream);
    EXPECT_EQ(outcome.status, c.status);
    if (!c.fault.empty()) {
      EXPECT_NE(outcome.standard_error.find(c.fault), std::string::npos) << outcome.standard_error;
    } else {
      EXPECT_EQ(outcome.standard_error, "");
    }
    EXPECT_EQ(table_lengths(at(c.name)), complete);
  }
}

// A source that is damaged where the run looks its tables up fails the run with the storage
// text and exit status 1; in place, the old file stays where it was and nothing is swapped.
TEST(DamagedSourceRun, FailsWithTheStorageTextAndLeavesTheOldFileInPlace) {
  REQUIRE_FIXTURES();
  for (const test_support::SourceDamage& c : test_support::nodes_lookup_damages()) {
    SCOPED_TRACE(c.label);
    test_support::ScratchDir store;
    const fs::path source = test_support::copy_fixture("reference-write/graph.redb", store.path());
    c.damage(source);
    const std::string before = test_support::file_bytes(source);
    const Outcome outcome = run_program({"--persist-dir", store.str(), "--shards", "2"});
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.standard_output, "");
    EXPECT_EQ(outcome.standard_error, "migration FAILED: " + c.error + "\n");
    EXPECT_EQ(test_support::file_bytes(source), before);
    // The partly built layout stays in the temporary directory; there is no backup directory.
    EXPECT_EQ(file_names(store.path()), (std::vector<std::string>{".shard-migrate-tmp", "graph.redb"}));
  }
}

}  // namespace
