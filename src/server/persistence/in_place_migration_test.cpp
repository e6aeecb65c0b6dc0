#include "server/persistence/in_place_migration.h"

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <optional>
#include <set>
#include <grp.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include "server/persistence/destination_migration.h"
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
  enum class Operation { make_directories, write_file, rename, remove_file, sync_directory };
  static constexpr Operation every_operation[] = {Operation::make_directories, Operation::write_file,
                                                  Operation::rename, Operation::remove_file,
                                                  Operation::sync_directory};

  explicit FaultyFileSystem(uint64_t clock_seconds = 1700000000) : clock_seconds_(clock_seconds) {}
  // Fails the `nth` call (1-based) of `operation`.
  void fail(Operation operation, int nth) { failure_ = {operation, nth}; }
  // Whether the chosen failure was injected.
  bool failed() const { return failed_; }
  // Runs `action` when the clock is read (after the new layout is built, before the swap).
  void on_clock_read(std::function<void()> action) { on_clock_read_ = std::move(action); }

  FileSystemStatus make_directories(const std::string& path) override {
    if (should_fail(Operation::make_directories)) return injected();
    return real().make_directories(path);
  }
  bool exists(const std::string& path) override { return real().exists(path); }
  bool entry_exists(const std::string& path) override { return real().entry_exists(path); }
  FileSystemStatus write_file(const std::string& path, const std::string& contents) override {
    if (should_fail(Operation::write_file)) return injected();
    return real().write_file(path, contents);
  }
  std::expected<std::string, std::string> read_file(const std::string& path) override { return real().read_file(path); }
  FileSystemStatus rename(const std::string& from, const std::string& to) override {
    if (should_fail(Operation::rename)) return injected();
    return real().rename(from, to);
  }
  FileSystemStatus remove_file(const std::string& path) override {
    if (should_fail(Operation::remove_file)) return injected();
    return real().remove_file(path);
  }
  FileSystemStatus sync_directory(const std::string& path) override {
    if (should_fail(Operation::sync_directory)) return injected();
    return real().sync_directory(path);
  }
  FileSystemStatus remove_tree(const std::string& path) override { return real().remove_tree(path); }
  uint64_t wall_clock_seconds() override {
    if (on_clock_read_) on_clock_read_();
    return clock_seconds_;
  }

 private:
  static FileSystem& real() { return system_file_system(); }
  static std::unexpected<std::string> injected() { return std::unexpected(std::string("Input/output error (os error 5)")); }
  bool should_fail(Operation operation) {
    if (!failure_ || failure_->first != operation) return false;
    if (++calls_[static_cast<int>(operation)] != failure_->second) return false;
    failed_ = true;
    return true;
  }

  uint64_t clock_seconds_;
  std::optional<std::pair<Operation, int>> failure_;
  std::map<int, int> calls_;
  bool failed_ = false;
  std::function<void()> on_clock_read_;
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

  // A persist directory that does not exist cannot be locked; discovery reports it.
  auto missing = migrate_in_place(persist.str() + "/none", 2, file_system);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error(), "no redb shard files (graph.redb / graph-<n>.redb) found under " + persist.str() + "/none");
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

// The report of a run over a store that already has the layout of `expected`: every distinct
// record is inserted once.
MigrationReport layout_report(const ExpectedMigration& expected, uint64_t shards) {
  auto rows = [&](const char* table) { return uint64_t(expected.merged.at(table).size()); };
  return {shards,        shards,        rows("graph_meta"),     rows("nodes"),
          rows("edges"), rows("ledger"), rows("semantic_store"), rows("audit_chain"),
          rows("raft_log") + rows("raft_meta") + rows("xshard_prepare") + rows("xshard_decision")};
}

// Runs the same command again without faults, with the clock at `clock`: it succeeds with
// `report`, and the live store holds every record of the original sources exactly once.
void expect_rerun_finishes(const ScratchDir& persist, uint64_t shards, uint64_t clock, const MigrationReport& report,
                           const ExpectedMigration& expected) {
  FaultyFileSystem file_system(clock);
  auto rerun = migrate_in_place(persist.str(), shards, file_system);
  ASSERT_TRUE(rerun) << rerun.error();
  EXPECT_EQ(*rerun, report);
  EXPECT_FALSE(fs::exists(persist.path() / ".shard-migrate-swap"));
  EXPECT_FALSE(fs::exists(persist.path() / ".shard-migrate-tmp"));
  expect_layout(persist.str(), shards, expected);
}

// Injected failures at every file-system step of an in-place run from three old files to two
// new ones whose names overlap the old ones. After each, every old file is intact in place or
// in the backup directory and the new layout is complete across the temporary and persist
// directory; the next run finishes a journalled swap, then migrates the store it was asked
// for, so that every record is in the live store exactly once.
TEST(MigrateInPlace, FailureAtEachSwapStepLosesNothingAndTheRerunFinishesIt) {
  using Operation = FaultyFileSystem::Operation;
  struct Case {
    const char* label;
    Operation operation;
    int nth;
    bool layout_built;
    bool journalled;     // the journal is in place afterwards
    bool swap_begun;     // the rerun finds the new layout (after finishing the swap)
    bool backup_created;
    int old_in_backup;   // the first n old files are in the backup, the rest in place
    int new_in_persist;  // the first n new files are in place, the rest in the temporary directory
  };
  const Case cases[] = {
      {"temporary directory creation", Operation::make_directories, 1, false, false, false, false, 0, 0},
      {"temporary directory sync", Operation::sync_directory, 1, true, false, false, false, 0, 0},
      {"journal write", Operation::write_file, 1, true, false, false, false, 0, 0},
      {"journal rename", Operation::rename, 1, true, false, false, false, 0, 0},
      {"journal sync", Operation::sync_directory, 2, true, true, true, false, 0, 0},
      {"backup directory creation", Operation::make_directories, 2, true, true, true, false, 0, 0},
      {"persist sync after the backup directory", Operation::sync_directory, 3, true, true, true, true, 0, 0},
      {"first backup move", Operation::rename, 2, true, true, true, true, 0, 0},
      {"second backup move", Operation::rename, 3, true, true, true, true, 1, 0},
      {"last backup move", Operation::rename, 4, true, true, true, true, 2, 0},
      {"backup directory sync", Operation::sync_directory, 4, true, true, true, true, 3, 0},
      {"persist sync after the backup moves", Operation::sync_directory, 5, true, true, true, true, 3, 0},
      {"first new file move", Operation::rename, 5, true, true, true, true, 3, 0},
      {"second new file move", Operation::rename, 6, true, true, true, true, 3, 1},
      {"persist sync after the new files", Operation::sync_directory, 6, true, true, true, true, 3, 2},
      {"journal removal", Operation::remove_file, 1, true, true, true, true, 3, 2},
      {"persist sync after the journal removal", Operation::sync_directory, 7, true, false, true, true, 3, 2},
  };
  const std::vector<std::string> old_names{"graph-0.redb", "graph-1.redb", "graph-2.redb"};
  const std::vector<std::string> new_names{"graph-0.redb", "graph-1.redb"};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ScratchDir persist;
    std::vector<SourceContent> sources = write_sources(persist.path(), old_names);
    const ExpectedMigration expected = expected_migration(sources, 2);
    auto before = snapshot_files(persist.path());
    FaultyFileSystem file_system;
    file_system.fail(c.operation, c.nth);
    auto report = migrate_in_place(persist.str(), 2, file_system);
    ASSERT_FALSE(report);
    EXPECT_EQ(report.error(), "Input/output error (os error 5)");

    fs::path backup = persist.path() / backup_name;
    fs::path temporary = persist.path() / ".shard-migrate-tmp";
    EXPECT_EQ(fs::exists(persist.path() / ".shard-migrate-swap"), c.journalled);
    EXPECT_EQ(fs::exists(backup), c.backup_created);
    for (int i = 0; i < int(old_names.size()); ++i) {
      fs::path at = (i < c.old_in_backup ? backup : persist.path()) / old_names[i];
      EXPECT_EQ(file_bytes(at), before.at(old_names[i])) << old_names[i] << " not intact at " << at;
      if (i < c.old_in_backup && i >= int(new_names.size())) {
        EXPECT_FALSE(fs::exists(persist.path() / old_names[i]));
      }
    }
    if (c.layout_built) {
      // Gather the new files from where they should be and check the layout is complete.
      ScratchDir gathered;
      for (int i = 0; i < int(new_names.size()); ++i) {
        fs::path at = (i < c.new_in_persist ? persist.path() : temporary) / new_names[i];
        ASSERT_TRUE(fs::exists(at)) << at;
        fs::copy_file(at, gathered.path() / new_names[i]);
      }
      expect_layout(gathered.str(), 2, expected);
    }

    // A second later the same command finishes the swap, if one was journalled, and migrates
    // again: the new layout (two sources) once the swap began, else the old files.
    MigrationReport rerun_report = c.swap_begun ? layout_report(expected, 2) : expected.report;
    expect_rerun_finishes(persist, 2, 1700000001, rerun_report, expected);
    // The old files, unchanged, are in the backup directory of the run that swapped them out.
    fs::path old_files_backup = persist.path() / (c.swap_begun ? backup_name : ".shard-migrate-backup-1700000001");
    EXPECT_EQ(snapshot_files(old_files_backup), before);
  }
}

// A run that finishes an interrupted swap can itself be interrupted at any step, of the
// recovery or of its own migration after it; the next run still finishes everything.
TEST(MigrateInPlace, InterruptedRecoveryIsFinishedByTheNextRun) {
  using Operation = FaultyFileSystem::Operation;
  const std::pair<Operation, int> first_interruptions[] = {
      {Operation::make_directories, 2},  // journalled, no backup directory yet
      {Operation::rename, 3},            // one old file in the backup
      {Operation::rename, 6},            // one new file in place
      {Operation::remove_file, 1},       // every file moved, the journal left
  };
  for (const auto& [first_operation, first_nth] : first_interruptions) {
    for (Operation operation : FaultyFileSystem::every_operation) {
      for (int nth = 1;; ++nth) {
        SCOPED_TRACE(::testing::Message() << "first " << int(first_operation) << "#" << first_nth << ", then "
                                          << int(operation) << "#" << nth);
        ScratchDir persist;
        const ExpectedMigration expected =
            expected_migration(write_sources(persist.path(), {"graph-0.redb", "graph-1.redb", "graph-2.redb"}), 2);
        FaultyFileSystem first;
        first.fail(first_operation, first_nth);
        ASSERT_FALSE(migrate_in_place(persist.str(), 2, first));
        FaultyFileSystem second(1700000001);
        second.fail(operation, nth);
        auto recovery = migrate_in_place(persist.str(), 2, second);
        if (!second.failed()) {
          // Past the last call of this operation: the second run went through.
          ASSERT_TRUE(recovery) << recovery.error();
          break;
        }
        ASSERT_FALSE(recovery);
        expect_rerun_finishes(persist, 2, 1700000002, layout_report(expected, 2), expected);
        if (::testing::Test::HasFatalFailure()) return;
      }
    }
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

// Every directory (as "name/") and every regular file's bytes below `root`, by relative path.
std::map<std::string, std::string> snapshot_tree(const fs::path& root) {
  std::map<std::string, std::string> tree;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    std::string relative = fs::relative(entry.path(), root).string();
    if (entry.is_directory()) tree[relative + "/"] = "";
    else tree[relative] = file_bytes(entry.path());
  }
  return tree;
}

// A run from graph-0 … graph-2 to two shards, interrupted by a failure of the nth rename:
// 1 is the journal's, 2 to 4 move the old files out, 5 and 6 the new files in.
void interrupt_swap_at_rename(const ScratchDir& persist, int nth) {
  write_sources(persist.path(), {"graph-0.redb", "graph-1.redb", "graph-2.redb"});
  FaultyFileSystem file_system;
  file_system.fail(FaultyFileSystem::Operation::rename, nth);
  auto report = migrate_in_place(persist.str(), 2, file_system);
  ASSERT_FALSE(report);
  ASSERT_TRUE(fs::exists(persist.path() / ".shard-migrate-swap"));
}

// When a file the journal lists is nowhere to be found, or the journal itself is damaged, the
// interrupted swap cannot be finished: the run says what is missing and changes nothing.
TEST(MigrateInPlace, JournalThatDoesNotMatchTheDiskChangesNothing) {
  struct Case {
    const char* label;
    int interrupted_rename;
    std::vector<std::string> removed;  // relative to the persist directory
    std::string what_is_missing;       // "{P}", "{T}" and "{B}" stand for the directories
  };
  const Case cases[] = {
      {"a new file in neither place", 5, {".shard-migrate-tmp/graph-0.redb"},
       "new shard file graph-0.redb is neither in {T} nor in {P}"},
      // graph-1.redb in the persist directory is still the old file, not the new one.
      {"a new file whose name an old file not yet moved holds", 3, {".shard-migrate-tmp/graph-1.redb"},
       "new shard file graph-1.redb is neither in {T} nor in {P}"},
      {"an old file in neither place", 3, {backup_name + "/graph-0.redb"},
       "old shard file graph-0.redb is neither in {P} nor in {B}"},
      {"an old and a new file missing", 3, {"graph-2.redb", ".shard-migrate-tmp/graph-0.redb"},
       "old shard file graph-2.redb is neither in {P} nor in {B}; new shard file graph-0.redb is neither in {T} nor in {P}"},
      {"a damaged journal", 3, {}, "the journal is damaged"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ScratchDir persist;
    interrupt_swap_at_rename(persist, c.interrupted_rename);
    for (const std::string& removed : c.removed) ASSERT_TRUE(fs::remove(persist.path() / removed)) << removed;
    if (c.removed.empty()) std::ofstream(persist.path() / ".shard-migrate-swap", std::ios::app) << "old graph-3.redb\n";
    auto before = snapshot_tree(persist.path());

    FaultyFileSystem later(1700000001);
    auto report = migrate_in_place(persist.str(), 2, later);
    ASSERT_FALSE(report);
    std::string what = c.what_is_missing;
    for (auto [mark, dir] : {std::pair{"{P}", persist.str()}, {"{T}", persist.str() + "/.shard-migrate-tmp"},
                             {"{B}", persist.str() + "/" + backup_name}}) {
      for (size_t at; (at = what.find(mark)) != std::string::npos;) what.replace(at, 3, dir);
    }
    EXPECT_EQ(report.error(), "cannot finish the interrupted shard swap recorded in " + persist.str() +
                                  "/.shard-migrate-swap: " + what);
    EXPECT_EQ(snapshot_tree(persist.path()), before);
  }
}

// A store split by an interrupted swap is never migrated in destination mode: it would miss
// the records of the files already in the backup directory.
TEST(MigrateInPlace, DestinationModeRefusesAnInterruptedSwap) {
  ScratchDir persist;
  interrupt_swap_at_rename(persist, 3);
  auto before = snapshot_tree(persist.path());
  ScratchDir elsewhere;
  auto report = migrate_shards_into(persist.str(), (elsewhere.path() / "dest").string(), 2);
  ASSERT_FALSE(report);
  EXPECT_EQ(report.error(), "persist directory " + persist.str() +
                                " holds an interrupted shard swap: run an in-place migration of it to finish the swap first");
  EXPECT_EQ(snapshot_tree(persist.path()), before);
  EXPECT_FALSE(fs::exists(elsewhere.path() / "dest"));
}

// The lock is held from before discovery to the end: a second run that starts while the first
// has built the new layout and not yet swapped it in is refused and changes nothing.
TEST(MigrateInPlace, SecondRunDuringTheFirstIsRefusedWithTheLockText) {
  ScratchDir persist;
  std::vector<SourceContent> sources = write_sources(persist.path(), {"graph-0.redb", "graph-1.redb"});
  std::optional<MigrationResult> second;
  std::map<std::string, std::string> before_second, after_second;
  FaultyFileSystem first;
  first.on_clock_read([&] {
    before_second = snapshot_tree(persist.path());
    FaultyFileSystem other(1700000005);
    second = migrate_in_place(persist.str(), 3, other);
    after_second = snapshot_tree(persist.path());
  });
  auto report = migrate_in_place(persist.str(), 2, first);
  ASSERT_TRUE(second.has_value());
  ASSERT_FALSE(*second);
  EXPECT_EQ(second->error(), "persist directory is locked by another migration: " + persist.str());
  EXPECT_EQ(after_second, before_second);
  ASSERT_TRUE(report) << report.error();
  EXPECT_EQ(*report, expected_migration(sources, 2).report);
  expect_layout(persist.str(), 2, expected_migration(sources, 2));
}

// A persist directory that may be written and searched but not read cannot be opened for the
// lock nor for a directory sync; it is migrated unlocked. The superuser ignores permissions, so
// then the run happens in a child process under another user.
TEST(MigrateInPlace, UnreadablePersistDirectoryIsMigratedUnlocked) {
  ScratchDir scratch;
  fs::path persist = scratch.path() / "persist";
  fs::create_directory(persist);
  std::vector<SourceContent> sources = write_sources(persist, {"graph.redb"});
  auto before = snapshot_files(persist);
  const bool superuser = ::geteuid() == 0;
  constexpr uid_t other_user = 65534;
  if (superuser) {
    for (const auto& entry : fs::recursive_directory_iterator(scratch.path()))
      ASSERT_EQ(::chown(entry.path().c_str(), other_user, other_user), 0);
    ASSERT_EQ(::chown(scratch.path().c_str(), other_user, other_user), 0);
  }
  fs::permissions(persist, fs::perms::owner_write | fs::perms::owner_exec);

  std::string error;
  if (!superuser) {
    FaultyFileSystem file_system;
    auto report = migrate_in_place(persist.string(), 2, file_system);
    if (!report) error = report.error();
  } else {
    int pipe_ends[2];
    ASSERT_EQ(::pipe(pipe_ends), 0);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      ::close(pipe_ends[0]);
      if (::setgroups(0, nullptr) != 0 || ::setgid(other_user) != 0 || ::setuid(other_user) != 0) ::_exit(2);
      FaultyFileSystem file_system;
      auto report = migrate_in_place(persist.string(), 2, file_system);
      std::string text = report ? "" : report.error();
      ssize_t written = ::write(pipe_ends[1], text.data(), text.size());
      ::_exit(written == ssize_t(text.size()) ? 0 : 3);
    }
    ::close(pipe_ends[1]);
    char buffer[512];
    for (ssize_t count; (count = ::read(pipe_ends[0], buffer, sizeof buffer)) > 0;) error.append(buffer, count);
    ::close(pipe_ends[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
  }
  fs::permissions(persist, fs::perms::owner_all);
  EXPECT_EQ(error, "");
  expect_layout(persist.string(), 2, expected_migration(sources, 2));
  EXPECT_EQ(snapshot_files(persist / backup_name), before);
  EXPECT_FALSE(fs::exists(persist / ".shard-migrate-swap"));
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
