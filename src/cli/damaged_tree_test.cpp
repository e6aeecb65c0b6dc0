// The built program on a store whose tree is damaged without a checksum noticing: a branch of
// a cleanly closed file points one level down, so that a reader would miss the rows below.
// The run fails instead of reporting success with rows missing, and in place the old files stay.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>

#include "cli/child_process.h"
#include "storage/testing/tree_damage.h"
#include "test_support/fixtures.h"

namespace {

namespace fs = std::filesystem;

TEST(DamagedTree, AChildPointerMovedOneLevelDownFailsTheRunWithExitStatusOne) {
  test_support::ScratchDir scratch;
  const fs::path store = scratch.path() / "store";
  cli_test::Launch make;
  make.program = SAMPLE_STORE_BINARY;
  make.arguments = {"--out", store.string(), "--files", "2", "--graphs", "12", "--seed", "5"};
  const cli_test::Outcome made = cli_test::run(make);
  ASSERT_EQ(made.status, 0) << made.standard_error;
  redb::testing::point_child_one_level_down(store / "graph-0.redb", "nodes");
  std::map<std::string, std::string> before;
  for (const auto& entry : fs::directory_iterator(store))
    before[entry.path().filename().string()] = test_support::file_bytes(entry.path());

  cli_test::Launch migrate;
  migrate.program = MIGRATE_SHARDS_BINARY;
  migrate.arguments = {"--persist-dir", store.string(), "--shards", "3"};
  const cli_test::Outcome outcome = cli_test::run(migrate);
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.standard_output, "");
  EXPECT_TRUE(outcome.standard_error.starts_with("migration FAILED: DB corrupted: ")) << outcome.standard_error;
  EXPECT_NE(outcome.standard_error.find("'nodes' of source " + (store / "graph-0.redb").string()), std::string::npos)
      << outcome.standard_error;

  // The old files are in place and unchanged; nothing was backed up.
  std::map<std::string, std::string> after;
  for (const auto& entry : fs::directory_iterator(store)) {
    if (entry.is_regular_file()) after[entry.path().filename().string()] = test_support::file_bytes(entry.path());
    EXPECT_FALSE(entry.path().filename().string().starts_with(".shard-migrate-backup")) << entry.path();
  }
  EXPECT_EQ(after, before);
}

}  // namespace
