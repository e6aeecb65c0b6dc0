#include "server/persistence/shard_files.h"

#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "test_support/fixtures.h"

namespace shard_migrate {
namespace {

namespace fs = std::filesystem;
using test_support::ScratchDir;

void touch(const fs::path& path) { std::ofstream(path) << "x"; }

std::vector<std::string> discovered(const std::string& dir) {
  auto paths = discover_shard_files(dir);
  EXPECT_TRUE(paths) << paths.error();
  return paths ? *paths : std::vector<std::string>{};
}

TEST(ShardFileName, SingleFileBelowTwoShardsElseNumbered) {
  EXPECT_EQ(shard_file_name(0, 0), "graph.redb");
  EXPECT_EQ(shard_file_name(0, 1), "graph.redb");
  EXPECT_EQ(shard_file_name(0, 2), "graph-0.redb");
  EXPECT_EQ(shard_file_name(5, 8), "graph-5.redb");
  EXPECT_EQ(shard_file_name(UINT64_MAX - 1, UINT64_MAX), "graph-18446744073709551614.redb");
}

TEST(JoinPath, OneSlashBetweenUnlessEmptyOrPresent) {
  EXPECT_EQ(join_path("/data/store", "graph.redb"), "/data/store/graph.redb");
  EXPECT_EQ(join_path("/data/store/", "graph.redb"), "/data/store/graph.redb");
  EXPECT_EQ(join_path("store", "graph.redb"), "store/graph.redb");
  EXPECT_EQ(join_path("", "graph.redb"), "graph.redb");
}

TEST(NumberedShardName, AcceptsDecimalNumbersOnly) {
  struct Case {
    const char* name;
    std::optional<uint64_t> number;
  };
  const Case cases[] = {
      {"graph-0.redb", 0},
      {"graph-10.redb", 10},
      {"graph-007.redb", 7},
      {"graph-+5.redb", 5},
      {"graph-18446744073709551615.redb", UINT64_MAX},
      {"graph-000000000000000000000018446744073709551615.redb", UINT64_MAX},
      {"graph-18446744073709551616.redb", std::nullopt},
      {"graph-99999999999999999999.redb", std::nullopt},
      {"graph-.redb", std::nullopt},
      {"graph-+.redb", std::nullopt},
      {"graph--1.redb", std::nullopt},
      {"graph-+-1.redb", std::nullopt},
      {"graph-++1.redb", std::nullopt},
      {"graph-1a.redb", std::nullopt},
      {"graph-0x1.redb", std::nullopt},
      {"graph- 1.redb", std::nullopt},
      {"Graph-1.redb", std::nullopt},
      {"graph-1.REDB", std::nullopt},
      {"graph-1.redb.bak", std::nullopt},
      {"graph.redb", std::nullopt},
      {"graph-\xd9\xa1.redb", std::nullopt},  // ARABIC-INDIC DIGIT ONE
      {"graph-1\xff.redb", std::nullopt},     // not UTF-8
  };
  for (const Case& c : cases) EXPECT_EQ(numbered_shard_number(c.name), c.number) << c.name;
}

TEST(DiscoverShardFiles, NumberedFilesComeInNumericOrderAndHideGraphRedb) {
  ScratchDir dir;
  for (const char* name : {"graph-10.redb", "graph-2.redb", "graph-0.redb", "graph.redb", "graph-x.redb", "notes.txt"})
    touch(dir.path() / name);
  fs::create_directory(dir.path() / "graph-3.redb");  // a directory with a passing name is a source
  fs::create_symlink(dir.path() / "nowhere", dir.path() / "graph-7.redb");  // so is a dangling link
  std::string base = dir.str();
  EXPECT_EQ(discovered(base), (std::vector<std::string>{base + "/graph-0.redb", base + "/graph-2.redb",
                                                        base + "/graph-3.redb", base + "/graph-7.redb",
                                                        base + "/graph-10.redb"}));
  // A trailing slash gives the same paths.
  EXPECT_EQ(discovered(base + "/").front(), base + "/graph-0.redb");
}

TEST(DiscoverShardFiles, EqualNumbersKeepListingOrder) {
  ScratchDir dir;
  for (const char* name : {"graph-1.redb", "graph-01.redb", "graph-+1.redb", "graph-0.redb"}) touch(dir.path() / name);
  // The listing order, read independently.
  std::vector<std::string> listing_order;
  DIR* listing = ::opendir(dir.str().c_str());
  while (const dirent* entry = ::readdir(listing)) {
    std::string name = entry->d_name;
    if (name != "." && name != ".." && name != "graph-0.redb") listing_order.push_back(dir.str() + "/" + name);
  }
  ::closedir(listing);
  std::vector<std::string> expected{dir.str() + "/graph-0.redb"};
  expected.insert(expected.end(), listing_order.begin(), listing_order.end());
  EXPECT_EQ(discovered(dir.str()), expected);
}

TEST(DiscoverShardFiles, SingleFileWhenNoNumberedFile) {
  ScratchDir dir;
  touch(dir.path() / "graph.redb");
  touch(dir.path() / "graph-1.redb.bak");
  EXPECT_EQ(discovered(dir.str()), std::vector<std::string>{dir.str() + "/graph.redb"});

  ScratchDir with_directory;
  fs::create_directory(with_directory.path() / "graph.redb");
  EXPECT_EQ(discovered(with_directory.str()), std::vector<std::string>{with_directory.str() + "/graph.redb"});

  ScratchDir with_link;
  touch(with_link.path() / "target");
  fs::create_symlink(with_link.path() / "target", with_link.path() / "graph.redb");
  EXPECT_EQ(discovered(with_link.str()), std::vector<std::string>{with_link.str() + "/graph.redb"});
}

TEST(DiscoverShardFiles, RelativeDirectoryGivesRelativePaths) {
  ScratchDir dir;
  fs::create_directory(dir.path() / "store");
  touch(dir.path() / "store" / "graph-4.redb");
  touch(dir.path() / "graph.redb");
  fs::path previous = fs::current_path();
  fs::current_path(dir.path());
  auto relative = discover_shard_files("store");
  auto empty_text = discover_shard_files("");  // cannot be listed: graph.redb in the working directory
  fs::current_path(previous);
  ASSERT_TRUE(relative);
  EXPECT_EQ(*relative, std::vector<std::string>{"store/graph-4.redb"});
  ASSERT_TRUE(empty_text);
  EXPECT_EQ(*empty_text, std::vector<std::string>{"graph.redb"});
}

TEST(DiscoverShardFiles, NothingFoundNamesTheDirectoryAsGiven) {
  ScratchDir dir;
  fs::create_directory(dir.path() / "empty");
  fs::create_directory(dir.path() / "other");
  touch(dir.path() / "other" / "graph-1.redb.bak");
  touch(dir.path() / "regular");
  fs::create_directory(dir.path() / "dangling");
  fs::create_symlink(dir.path() / "nowhere", dir.path() / "dangling" / "graph.redb");
  for (std::string given : {dir.str() + "/empty", dir.str() + "/empty/", dir.str() + "/other", dir.str() + "/missing",
                            dir.str() + "/regular", dir.str() + "/dangling"}) {
    auto paths = discover_shard_files(given);
    ASSERT_FALSE(paths) << given;
    EXPECT_EQ(paths.error(), "no redb shard files (graph.redb / graph-<n>.redb) found under " + given);
  }
}

TEST(DiscoverShardFiles, SearchableButUnlistableDirectoryFindsOnlyGraphRedb) {
  if (::geteuid() == 0) GTEST_SKIP() << "permissions do not bind the superuser";
  ScratchDir dir;
  touch(dir.path() / "graph.redb");
  touch(dir.path() / "graph-1.redb");
  fs::permissions(dir.path(), fs::perms::owner_exec);
  auto paths = discover_shard_files(dir.str());
  fs::permissions(dir.path(), fs::perms::owner_all);
  ASSERT_TRUE(paths);
  EXPECT_EQ(*paths, std::vector<std::string>{dir.str() + "/graph.redb"});
}

}  // namespace
}  // namespace shard_migrate
