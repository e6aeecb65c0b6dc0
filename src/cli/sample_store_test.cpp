// The sample-store tool: deterministic output, the file layout and its usage errors.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "cli/child_process.h"
#include "server/persistence/shard_schema.h"
#include "storage/redb.h"
#include "test_support/fixtures.h"

namespace {

namespace fs = std::filesystem;

cli_test::Outcome run_sample_store(std::vector<std::string> arguments) {
  cli_test::Launch launch;
  launch.program = SAMPLE_STORE_BINARY;
  launch.arguments = std::move(arguments);
  return cli_test::run(launch);
}

std::string file_bytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(SampleStore, SameArgumentsWriteTheSameFiles) {
  test_support::ScratchDir scratch;
  for (const char* name : {"a", "b"}) {
    const auto outcome = run_sample_store({"--out", (scratch.path() / name).string(), "--files", "2", "--graphs",
                                           "5", "--seed", "7", "--scale", "0.2"});
    ASSERT_EQ(outcome.status, 0) << outcome.standard_error;
  }
  for (const char* file : {"graph-0.redb", "graph-1.redb"}) {
    const std::string a = file_bytes(scratch.path() / "a" / file);
    EXPECT_FALSE(a.empty());
    EXPECT_TRUE(a == file_bytes(scratch.path() / "b" / file)) << file << " differs between two runs";
  }

  // One file is named graph.redb and holds all ten tables, every graph in it.
  ASSERT_EQ(run_sample_store({"--out", (scratch.path() / "single").string(), "--files", "1", "--graphs", "5",
                              "--seed", "7", "--scale", "0.2"})
                .status,
            0);
  auto database = redb::Database::open((scratch.path() / "single" / "graph.redb").string());
  ASSERT_TRUE(database) << database.error().text;
  auto read = database->begin_read();
  ASSERT_TRUE(read);
  auto meta = read->open_table(shard_migrate::graph_meta_table);
  ASSERT_TRUE(meta) << meta.error().text;
  EXPECT_EQ(meta->len(), 8u);  // five tenant graphs, the empty, a non-ASCII and a 300-byte one
  for (const redb::TableDefinition* definition : shard_migrate::global_tables) {
    auto table = read->open_table(*definition);
    ASSERT_TRUE(table) << table.error().text;
    EXPECT_GT(table->len(), 0u) << definition->name;
  }
}

TEST(SampleStore, RejectsBadArguments) {
  test_support::ScratchDir scratch;
  const std::string out = (scratch.path() / "out").string();
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"--out", out, "--files", "2", "--graphs", "3"},
      {"--out", out, "--files", "0", "--graphs", "3", "--seed", "1"},
      {"--out", out, "--files", "two", "--graphs", "3", "--seed", "1"},
      {"--out", out, "--files", "2", "--graphs", "3", "--seed", "1", "--scale", "0"},
      {"--out", out, "--files", "2", "--graphs", "3", "--seed", "1", "--scale", "x"},
      {"--out", out, "--files", "2", "--graphs", "3", "--seed", "1", "--seed", "2"},
      {"--out", out, "--files", "2", "--graphs", "3", "--seed"},
      {"--out", out, "--files", "2", "--graphs", "3", "--seed", "1", "--extra"},
  };
  for (const auto& arguments : cases) {
    const auto outcome = run_sample_store(arguments);
    EXPECT_EQ(outcome.status, 2) << ::testing::PrintToString(arguments);
    EXPECT_TRUE(outcome.standard_error.starts_with("sample-store: ")) << outcome.standard_error;
    EXPECT_NE(outcome.standard_error.find("Usage: sample-store"), std::string::npos);
  }
  EXPECT_FALSE(fs::exists(out));
}

}  // namespace
