#include "server/persistence/in_place_migration.h"

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <optional>
#include <set>
#include <sys/file.h>
#include <unistd.h>

#include "server/persistence/migration_test_support.h"
#include "server/persistence/shard_files.h"
#include "server/persistence/shard_schema.h"
#include "test_support/fixtures.h"
#include "tracing/tracing.h"

namespace shard_migrate {
namespace {

namespace fs = std::filesystem;
using namespace shard_migrate::testing;
using test_support::ScratchDir;

// The real file system with a fixed clock, failing one chosen call with EIO.
class FaultyFileSystem final : public FileSystem {
 public:
  enum class Operation { make_directories, rename, sync_directory };

  explicit FaultyFileSystem(uint64_t clock_seconds = 1700000000) : clock_seconds_(clock_seconds) {}
  // Fails the `nth` call (1-based) of `operation`.
  void fail(Operation operation, int nth) { failure_ = {operation, nth}; }

  FileSystemStatus make_directories(const std::string& path) override {
    if (should_fail(Operation::make_directories)) return injected();
    return real().make_directories(path);
  }
  bool exists(const std::string& path) override { return real().exists(path); }
  bool entry_exists(const std::string& path) override { return real().entry_exists(path); }
  FileSystemStatus rename(const std::string& from, const std::string& to) override {
    if (should_fail(Operation::rename)) return injected();
    return real().rename(from, to);
  }
  FileSystemStatus sync_directory(const std::string& path) override {
    if (should_fail(Operation::sync_directory)) return injected();
    return real().sync_directory(path);
  }
  FileSystemStatus remove_tree(const std::string& path) override { return real().remove_tree(path); }
  uint64_t wall_clock_seconds() override { return clock_seconds_; }

 private:
  static FileSystem& real() { return system_file_system(); }
  static std::unexpected<std::string> injected() { return std::unexpected(std::string("Input/output error (os error 5)")); }
  bool should_fail(Operation operation) {
    if (!failure_ || failure_->first != operation) return false;
    return ++calls_[static_cast<int>(operation)] == failure_->second;
  }

  uint64_t clock_seconds_;
  std::optional<std::pair<Operation, int>> failure_;
  std::map<int, int> calls_;
};

const std::string backup_name = ".shard-migrate-backup-1700000000";

// Writes numbered (or, with `single`, one graph.redb) sources with a few graphs each.
std::vector<SourceContent> write_sources(const fs::path& persist, const std::vector<std::string>& names) {
  std::vector<SourceContent> contents;
  int serial = 0;
  for (const std::string& name : names) {
    std::vector<Row> rows;
    for (int g = 0; g < 6; ++g) {
      std::string graph = "g" + std::to_string(g);
      rows.push_back({graph_meta_table, graph, "meta from " + name});
      rows.push_back({nodes_table, nodes_key(graph, "n" + std::to_string(serial++)), "node from " + name});
      rows.push_back({ledger_table, text_u64_key(graph, 1), "ledger from " + name});
    }
    rows.push_back({raft_log_table, raft_log_key(1, serial), "entry from " + name});
    write_store((persist / name).string(), rows);
    contents.push_back(content_of(rows));
  }
  return contents;
}

std::set<std::string> names_in(const fs::path& dir) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.insert(entry.path().filename().string());
  return names;
}

TEST(MigrateInPlace, SwapsTheNewLayoutInBehindABackup) {
  struct Case {
    const char* label;
    std::vector<std::string> old_names;  // in discovery order
    uint64_t shards;
    std::set<std::string> new_names;
  };
  const Case cases[] = {
      {"single to four", {"graph.redb"}, 4, {"graph-0.redb", "graph-1.redb", "graph-2.redb", "graph-3.redb"}},
      {"four to one", {"graph-0.redb", "graph-1.redb", "graph-2.redb", "graph-3.redb"}, 1, {"graph.redb"}},
      {"two to a requested zero", {"graph-3.redb", "graph-10.redb"}, 0, {"graph.redb"}},
      {"same count", {"graph-0.redb", "graph-1.redb", "graph-2.redb"}, 3, {"graph-0.redb", "graph-1.redb", "graph-2.redb"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ScratchDir persist;
    std::vector<SourceContent> sources = write_sources(persist.path(), c.old_names);
    auto before = snapshot_files(persist.path());
    FaultyFileSystem file_system;
    auto report = migrate_in_place(persist.str(), c.shards, file_system);
    ASSERT_TRUE(report) << report.error();
    ExpectedMigration expected = expected_migration(sources, c.shards);
    EXPECT_EQ(*report, expected.report);
    std::set<std::string> expected_names = c.new_names;
    expected_names.insert(backup_name);
    EXPECT_EQ(names_in(persist.path()), expected_names);
    EXPECT_EQ(snapshot_files(persist.path() / backup_name), before) << "old files not all backed up unchanged";
    expect_layout(persist.str(), c.shards, expected);
  }
}

TEST(MigrateInPlace, LeftoverTemporaryDirectoryIsRemovedFirst) {
  ScratchDir persist;
  write_sources(persist.path(), {"graph.redb"});
  fs::path temporary = persist.path() / ".shard-migrate-tmp";
  fs::create_directories(temporary / "deeper");
  std::ofstream(temporary / "graph-0.redb") << "would be refused";
  // A link met below the temporary directory is removed, never followed.
  fs::create_directory(persist.path() / "kept");
  std::ofstream(persist.path() / "kept" / "file") << "keep";
  fs::create_directory_symlink(persist.path() / "kept", temporary / "deeper" / "link");
  FaultyFileSystem file_system;
  auto report = migrate_in_place(persist.str(), 2, file_system);
  ASSERT_TRUE(report) << report.error();
  EXPECT_FALSE(fs::exists(temporary));
  EXPECT_EQ(file_bytes(persist.path() / "kept" / "file"), "keep");
}

TEST(MigrateInPlace, LeftoverTemporaryLinkIsRemovedAsALink) {
  ScratchDir persist;
  write_sources(persist.path(), {"graph.redb"});
  ScratchDir elsewhere;
  std::ofstream(elsewhere.path() / "graph-0.redb") << "not ours";
  fs::create_directory_symlink(elsewhere.path(), persist.path() / ".shard-migrate-tmp");
  FaultyFileSystem file_system;
  auto report = migrate_in_place(persist.str(), 2, file_system);
  ASSERT_TRUE(report) << report.error();
  EXPECT_EQ(file_bytes(elsewhere.path() / "graph-0.redb"), "not ours");
  EXPECT_EQ(names_in(elsewhere.path()), std::set<std::string>{"graph-0.redb"});
}

TEST(MigrateInPlace, LeftoverTemporaryFileStaysAndFailsTheBuild) {
  ScratchDir persist;
  write_sources(persist.path(), {"graph-0.redb", "graph-1.redb"});
  std::ofstream(persist.path() / ".shard-migrate-tmp") << "plain file";
  auto before = snapshot_files(persist.path());
  FaultyFileSystem file_system;
  auto report = migrate_in_place(persist.str(), 4, file_system);
  ASSERT_FALSE(report);
  EXPECT_EQ(report.error(), "File exists (os error 17)");
  EXPECT_EQ(snapshot_files(persist.path()), before);
  EXPECT_EQ(names_in(persist.path()), (std::set<std::string>{".shard-migrate-tmp", "graph-0.redb", "graph-1.redb"}));
}

TEST(MigrateInPlace, DiscoveryFailureTouchesNothing) {
  ScratchDir persist;
  FaultyFileSystem file_system;
  auto report = migrate_in_place(persist.str() + "/", 2, file_system);
  ASSERT_FALSE(report);
  EXPECT_EQ(report.error(), "no redb shard files (graph.redb / graph-<n>.redb) found under " + persist.str() + "/");
  EXPECT_TRUE(fs::is_empty(persist.path()));
}

TEST(MigrateInPlace, BuildFailureLeavesOldFilesInPlaceAndNoBackup) {
  ScratchDir persist;
  write_sources(persist.path(), {"graph-0.redb", "graph-1.redb"});
  auto before = snapshot_files(persist.path());
  int held = ::open((persist.path() / "graph-1.redb").c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);
  FaultyFileSystem file_system;
  auto report = migrate_in_place(persist.str(), 3, file_system);
  ::close(held);
  ASSERT_FALSE(report);
  EXPECT_EQ(report.error(), "open source " + persist.str() + "/graph-1.redb: Database already open. Cannot acquire lock.");
  EXPECT_EQ(snapshot_files(persist.path()), before);
  EXPECT_EQ(names_in(persist.path()), (std::set<std::string>{".shard-migrate-tmp", "graph-0.redb", "graph-1.redb"}));
}

// Injected failures at every file-system step of a run from three old files to two new ones
// whose names overlap the old ones. After each, every old file is intact in place or in the
// backup directory, and the new layout is complete across the temporary and persist directory.
TEST(MigrateInPlace, FailureAtEachSwapStepLosesNothing) {
  using Operation = FaultyFileSystem::Operation;
  struct Case {
    const char* label;
    Operation operation;
    int nth;
    bool backup_created;
    int old_in_backup;   // the first n old files are in the backup, the rest in place
    int new_in_persist;  // the first n new files are in place, the rest in the temporary directory
    bool layout_built;
  };
  const Case cases[] = {
      {"temporary directory creation", Operation::make_directories, 1, false, 0, 0, false},
      {"temporary directory sync", Operation::sync_directory, 1, false, 0, 0, true},
      {"backup directory creation", Operation::make_directories, 2, false, 0, 0, true},
      {"first backup move", Operation::rename, 1, true, 0, 0, true},
      {"second backup move", Operation::rename, 2, true, 1, 0, true},
      {"last backup move", Operation::rename, 3, true, 2, 0, true},
      {"backup directory sync", Operation::sync_directory, 2, true, 3, 0, true},
      {"first new file move", Operation::rename, 4, true, 3, 0, true},
      {"second new file move", Operation::rename, 5, true, 3, 1, true},
      {"persist directory sync", Operation::sync_directory, 3, true, 3, 2, true},
  };
  const std::vector<std::string> old_names{"graph-0.redb", "graph-1.redb", "graph-2.redb"};
  const std::vector<std::string> new_names{"graph-0.redb", "graph-1.redb"};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ScratchDir persist;
    std::vector<SourceContent> sources = write_sources(persist.path(), old_names);
    auto before = snapshot_files(persist.path());
    FaultyFileSystem file_system;
    file_system.fail(c.operation, c.nth);
    auto report = migrate_in_place(persist.str(), 2, file_system);
    ASSERT_FALSE(report);
    EXPECT_EQ(report.error(), "Input/output error (os error 5)");

    fs::path backup = persist.path() / backup_name;
    fs::path temporary = persist.path() / ".shard-migrate-tmp";
    EXPECT_EQ(fs::exists(backup), c.backup_created);
    for (int i = 0; i < int(old_names.size()); ++i) {
      fs::path at = (i < c.old_in_backup ? backup : persist.path()) / old_names[i];
      EXPECT_EQ(file_bytes(at), before.at(old_names[i])) << old_names[i] << " not intact at " << at;
      if (i < c.old_in_backup && i >= int(new_names.size())) {
        EXPECT_FALSE(fs::exists(persist.path() / old_names[i]));
      }
    }
    if (!c.layout_built) continue;
    // Gather the new files from where they should be and check the layout is complete.
    ScratchDir gathered;
    for (int i = 0; i < int(new_names.size()); ++i) {
      fs::path at = (i < c.new_in_persist ? persist.path() : temporary) / new_names[i];
      ASSERT_TRUE(fs::exists(at)) << at;
      fs::copy_file(at, gathered.path() / new_names[i]);
    }
    expect_layout(gathered.str(), 2, expected_migration(sources, 2));
  }
}

TEST(MigrateInPlace, TakenBackupNameRefusesBeforeTheFirstMove) {
  ScratchDir persist;
  write_sources(persist.path(), {"graph-0.redb", "graph-1.redb"});
  auto before = snapshot_files(persist.path());
  fs::path backup = persist.path() / ".shard-migrate-backup-0";  // a clock before the epoch reads 0
  fs::create_directory(backup);
  std::ofstream(backup / "graph-1.redb") << "backed up earlier";
  FaultyFileSystem stopped_clock(0);
  auto report = migrate_in_place(persist.str(), 4, stopped_clock);
  ASSERT_FALSE(report);
  EXPECT_EQ(report.error(), "backup file already exists: " + (backup / "graph-1.redb").string() + " (refusing to overwrite)");
  EXPECT_EQ(file_bytes(backup / "graph-1.redb"), "backed up earlier");
  EXPECT_EQ(names_in(backup), std::set<std::string>{"graph-1.redb"});
  EXPECT_EQ(snapshot_files(persist.path()), before);
  EXPECT_EQ(names_in(persist.path() / ".shard-migrate-tmp").size(), 4u);

  // The next run in another second removes the temporary directory and builds again.
  FaultyFileSystem later_clock;
  auto retried = migrate_in_place(persist.str(), 4, later_clock);
  ASSERT_TRUE(retried) << retried.error();
  EXPECT_EQ(snapshot_files(persist.path() / backup_name), before);
}

TEST(MigrateInPlace, IgnoredGraphRedbIsBackedUpWhenOneShardWouldReplaceIt) {
  for (uint64_t shards : {1, 2}) {
    SCOPED_TRACE("shards=" + std::to_string(shards));
    ScratchDir persist;
    std::vector<SourceContent> sources = write_sources(persist.path(), {"graph-0.redb", "graph-1.redb"});
    std::vector<Row> ignored_rows{{graph_meta_table, "ignored", "never migrated"}};
    write_store((persist.path() / "graph.redb").string(), ignored_rows);
    auto before = snapshot_files(persist.path());
    FaultyFileSystem file_system;
    auto report = migrate_in_place(persist.str(), shards, file_system);
    ASSERT_TRUE(report) << report.error();
    EXPECT_EQ(*report, expected_migration(sources, shards).report);
    auto backed_up = snapshot_files(persist.path() / backup_name);
    if (shards == 1) {
      EXPECT_EQ(backed_up, before);  // graph.redb among them, unchanged
    } else {
      EXPECT_EQ(backed_up.count("graph.redb"), 0u);
      EXPECT_EQ(file_bytes(persist.path() / "graph.redb"), before.at("graph.redb"));
    }
    expect_layout(persist.str(), shards, expected_migration(sources, shards));
  }
}

TEST(MigrateInPlace, SecondRunOnALockedPersistDirectoryTouchesNothing) {
  ScratchDir persist;
  write_sources(persist.path(), {"graph.redb"});
  fs::create_directory(persist.path() / ".shard-migrate-tmp");
  auto before = snapshot_files(persist.path());
  int held = ::open(persist.str().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);
  FaultyFileSystem file_system;
  auto report = migrate_in_place(persist.str(), 2, file_system);
  ::close(held);
  ASSERT_FALSE(report);
  EXPECT_EQ(report.error(), "persist directory is locked by another migration: " + persist.str());
  EXPECT_EQ(snapshot_files(persist.path()), before);
  EXPECT_EQ(names_in(persist.path()), (std::set<std::string>{".shard-migrate-tmp", "graph.redb"}));
  EXPECT_TRUE(fs::is_empty(persist.path() / ".shard-migrate-tmp"));
}

class RecordingSubscriber final : public tracing::Subscriber {
 public:
  struct Recorded {
    tracing::Level level;
    std::string target;
    std::vector<std::pair<std::string, std::string>> fields;
  };
  explicit RecordingSubscriber(tracing::Level minimum) : minimum_(minimum) {}
  bool enabled(tracing::Level level, std::string_view) const override { return level >= minimum_; }
  void event(const tracing::Event& event) override {
    Recorded recorded{event.level, std::string(event.target), {}};
    for (const tracing::Field& field : event.fields) recorded.fields.emplace_back(field.name, field.value);
    events.push_back(std::move(recorded));
  }
  std::vector<Recorded> events;

 private:
  tracing::Level minimum_;
};

TEST(MigrateInPlace, RaisesOneCompletionEvent) {
  ScratchDir persist;
  write_sources(persist.path(), {"graph-0.redb", "graph-1.redb"});
  RecordingSubscriber subscriber(tracing::Level::info);
  tracing::Subscriber* previous = tracing::set_subscriber(&subscriber);
  FaultyFileSystem file_system;
  auto report = migrate_in_place(persist.str(), 4, file_system);
  tracing::set_subscriber(previous);
  ASSERT_TRUE(report) << report.error();
  ASSERT_EQ(subscriber.events.size(), 1u);
  const auto& event = subscriber.events[0];
  EXPECT_EQ(event.level, tracing::Level::info);
  EXPECT_EQ(event.target, "quorvane_graph::server::persistence::shard_migrate");
  ASSERT_EQ(event.fields.size(), 1u);
  EXPECT_EQ(event.fields[0].first, "message");
  EXPECT_EQ(event.fields[0].second, "shard migration complete: 2 -> 4 shards, 6 graphs; old files backed up to " +
                                        persist.str() + "/" + backup_name);

  // A subscriber that does not want INFO events receives nothing.
  RecordingSubscriber warnings_only(tracing::Level::warn);
  previous = tracing::set_subscriber(&warnings_only);
  emit_migration_complete(*report, "somewhere");
  tracing::set_subscriber(previous);
  EXPECT_TRUE(warnings_only.events.empty());
}

}  // namespace
}  // namespace shard_migrate
