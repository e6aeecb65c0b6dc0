// A damaged source ends the run with the storage text ("DB corrupted: ..." or "I/O error: ...")
// and commits nothing of the shard being built: a record that does not decode under its
// table's types, and a table that cannot be opened for a storage reason. Only the reasons a
// healthy store may have (absent, other types or definition, multimap) skip a table.
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <xxhash.h>

#include "server/persistence/migration_test_support.h"
#include "server/persistence/shard_migrate.h"
#include "test_support/damage.h"
#include "test_support/fixtures.h"

namespace shard_migrate {
namespace {

namespace fs = std::filesystem;
using namespace shard_migrate::testing;
using test_support::ScratchDir;

// Facts about reference-write/graph.redb, from its layout.txt.
constexpr size_t user_tree_leaf_offset = 1052672;
constexpr size_t user_tree_leaf_used_bytes = 979;
constexpr size_t slot_offsets[] = {64, 192};
constexpr size_t slot_checksummed_bytes = 112;

std::string checksum_bytes(std::string_view data) {
  XXH128_hash_t hash = XXH3_128bits(data.data(), data.size());
  return u64_bytes(hash.low64) + u64_bytes(hash.high64);  // a little-endian u128
}

void replace_once(std::string& file, std::string_view old_bytes, std::string_view new_bytes, size_t from, size_t to) {
  size_t at = file.find(old_bytes, from);
  ASSERT_NE(at, std::string::npos) << "bytes not found";
  ASSERT_LT(at, to) << "bytes not found in the expected page";
  file.replace(at, old_bytes.size(), new_bytes);
}

// Changes `old_bytes` into `new_bytes` inside the leaf at `page_offset` and recomputes the leaf's
// checksum in the table tree, the table tree's checksum in both commit slots, and the slots'
// own checksums.
void damage_leaf(const fs::path& path, size_t page_offset, size_t used_bytes, std::string_view old_bytes,
                 std::string_view new_bytes) {
  std::string file = file_bytes(path);
  std::string old_leaf_checksum = checksum_bytes(std::string_view(file).substr(page_offset, used_bytes));
  std::string old_tree_checksum =
      checksum_bytes(std::string_view(file).substr(user_tree_leaf_offset, user_tree_leaf_used_bytes));
  replace_once(file, old_bytes, new_bytes, page_offset, page_offset + used_bytes);
  replace_once(file, old_leaf_checksum, checksum_bytes(std::string_view(file).substr(page_offset, used_bytes)),
               user_tree_leaf_offset, user_tree_leaf_offset + user_tree_leaf_used_bytes);
  std::string new_tree_checksum =
      checksum_bytes(std::string_view(file).substr(user_tree_leaf_offset, user_tree_leaf_used_bytes));
  for (size_t slot : slot_offsets) {
    replace_once(file, old_tree_checksum, new_tree_checksum, slot, slot + slot_checksummed_bytes);
    file.replace(slot + slot_checksummed_bytes, 16, checksum_bytes(std::string_view(file).substr(slot, slot_checksummed_bytes)));
  }
  std::ofstream(path, std::ios::binary | std::ios::trunc) << file;
}

TEST(DamagedSource, UndecodableRecordEndsTheRunWithItsStorageText) {
  REQUIRE_FIXTURES();
  struct Case {
    const char* label;
    size_t page_offset;
    size_t used_bytes;
    std::string old_bytes;
    std::string new_bytes;
  };
  const Case cases[] = {
      {"ledger text not UTF-8", 20480, 84, "created \xc3\xa9", "created \xc3\x28"},
      {"graph_meta key not UTF-8", 4096, 96, "tenant-0/kg-1", "tenant-0/kg-\xff"},
      {"raft_meta key text not UTF-8", 32768, 32, "term", "te\xffm"},
  };
  for (const Case& c : cases) {
    for (uint64_t shards : {1, 3}) {
      SCOPED_TRACE(std::string(c.label) + " shards=" + std::to_string(shards));
      ScratchDir scratch;
      fs::path source = test_support::copy_fixture("reference-write/graph.redb", scratch.path());
      damage_leaf(source, c.page_offset, c.used_bytes, c.old_bytes, c.new_bytes);
      std::string before = file_bytes(source);
      fs::path dest = scratch.path() / "dest";
      auto report = migrate_shards_into(scratch.str(), dest.string(), shards);
      ASSERT_FALSE(report);
      EXPECT_TRUE(report.error().starts_with("DB corrupted: ")) << report.error();
      EXPECT_EQ(file_bytes(source), before);
      // Every pass reads every source in full, so shard 0 already fails, keeping none of its tables.
      std::string shard_0 = (dest / shard_file_name(0, shards)).string();
      EXPECT_EQ(table_open_error(shard_0, nodes_table), "Table 'nodes' does not exist");
      if (shards > 1) {
        EXPECT_FALSE(fs::exists(dest / shard_file_name(1, shards)));
      }
    }
  }
}

TEST(DamagedSource, TableThatFailsToOpenForAStorageReasonEndsTheRun) {
  REQUIRE_FIXTURES();
  std::vector<test_support::SourceDamage> cases = test_support::nodes_lookup_damages();
  cases.push_back({"damaged raft_log definition",
                   [](const fs::path& path) { test_support::damage_table_definition(path, "\x01(u64,u64)\x01"); },
                   "DB corrupted: definition of table 'raft_log': type name with unknown classification byte 9"});
  for (const test_support::SourceDamage& c : cases) {
    SCOPED_TRACE(c.label);
    ScratchDir scratch;
    fs::path source = test_support::copy_fixture("reference-write/graph.redb", scratch.path());
    c.damage(source);
    std::string before = file_bytes(source);
    fs::path dest = scratch.path() / "dest";
    auto report = migrate_shards_into(scratch.str(), dest.string(), 2);
    ASSERT_FALSE(report);
    EXPECT_EQ(report.error(), c.error);
    EXPECT_EQ(file_bytes(source), before);
    EXPECT_EQ(table_open_error((dest / "graph-0.redb").string(), nodes_table), "Table 'nodes' does not exist");
    EXPECT_FALSE(fs::exists(dest / "graph-1.redb"));
  }
}

}  // namespace
}  // namespace shard_migrate
