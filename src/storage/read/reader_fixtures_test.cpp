// Reading the reference files written by the real library: dumps, typed scans, open errors,
// and that reading never changes a file.
#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>

#include "redb.h"
#include "test_support/fixtures.h"
#include "testing/memory_file.h"
#include "testing/redb_dump.h"
#include "testing/schema.h"

// Counts heap allocations, so that a test can show that scanning costs none per record. Left
// out of sanitizer builds, whose allocator checks the pairing of new and delete.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool counting_allocations = false;
namespace {
std::atomic<uint64_t> allocation_count{0};
}  // namespace
#else
constexpr bool counting_allocations = true;
namespace {
std::atomic<uint64_t> allocation_count{0};
}  // namespace
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
  ++allocation_count;
  if (void* block = std::malloc(size ? size : 1)) return block;
  throw std::bad_alloc();
}
void operator delete(void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
#pragma GCC diagnostic pop
#endif

namespace redb {
namespace {

namespace fs = std::filesystem;
using test_support::copy_fixture;
using test_support::fixtures_dir;
using test_support::file_bytes;
using test_support::ScratchDir;
using testing::run_dump;

std::vector<std::string> fixture_files() {
  std::vector<std::string> files;
  for (const char* name : {"single/graph.redb", "numbered/graph-0.redb", "numbered/graph-2.redb",
                           "numbered/graph-10.redb", "wrong-types/graph.redb", "deep/graph.redb", "history/graph.redb",
                           "crashed/graph.redb", "crashed-nondurable/graph.redb", "reference-write/empty.redb",
                           "reference-write/six-empty-tables.redb", "reference-write/graph.redb"})
    files.push_back(name);
  return files;
}

TEST(ReferenceFiles, DumpExactlyAsTheLibrarySeesThem) {
  REQUIRE_FIXTURES();
  for (const std::string& name : fixture_files()) {
    ScratchDir scratch;
    fs::path copy = copy_fixture(name, scratch.path());
    auto result = run_dump(copy, scratch);
    if (!result) GTEST_SKIP() << "redb-dump is not built";
    EXPECT_EQ(result->status, 0) << name << ": " << result->err;
    EXPECT_TRUE(result->out == file_bytes(fixtures_dir() / (name + ".dump.json"))) << name << " differs from its dump";
  }
}

TEST(ReferenceFiles, OldFormatIsRefusedWithTheLibrarysText) {
  REQUIRE_FIXTURES();
  ScratchDir scratch;
  fs::path copy = copy_fixture("old-format/graph.redb", scratch.path());
  std::string expected = file_bytes(fixtures_dir() / "old-format/graph.redb.redb3-open-error.txt");
  while (!expected.empty() && expected.back() == '\n') expected.pop_back();
  auto database = Database::open(copy.string());
  ASSERT_FALSE(database);
  EXPECT_EQ(database.error().text, expected);
  if (auto result = run_dump(copy, scratch)) {
    EXPECT_EQ(result->status, 1);
    EXPECT_EQ(result->err, expected + "\n");
    EXPECT_EQ(result->out, "");
  }
}

TEST(ReferenceFiles, OnlyTheCrashedFilesNeedTheFullRepair) {
  REQUIRE_FIXTURES();
  for (const std::string& name : fixture_files()) {
    ScratchDir scratch;
    auto database = Database::open(copy_fixture(name, scratch.path()).string());
    ASSERT_TRUE(database) << name << ": " << database.error().text;
    EXPECT_EQ(database->needs_full_repair(), name.starts_with("crashed")) << name;
  }
}

TEST(ReferenceFiles, ReadingLeavesEveryFileByteForByteUnchanged) {
  REQUIRE_FIXTURES();
  for (const std::string& name : fixture_files()) {
    ScratchDir scratch;
    fs::path copy = copy_fixture(name, scratch.path());
    const std::string before = file_bytes(copy);
    {
      auto database = Database::open(copy.string());
      ASSERT_TRUE(database) << name;
      auto transaction = database->begin_read();
      ASSERT_TRUE(transaction);
      auto tables = transaction->list_tables();
      ASSERT_TRUE(tables);
      for (const StoredTable& table : *tables) {
        auto scan = transaction->scan_stored(table.name);
        ASSERT_TRUE(scan);
        while (true) {
          auto more = scan->next();
          ASSERT_TRUE(more) << more.error().text;
          if (!*more) break;
        }
      }
    }
    EXPECT_TRUE(file_bytes(copy) == before) << name << " was modified by reading it";
  }
}

using testing::schema;
const TypeDesc text = testing::schema_text, bytes = testing::schema_bytes;

// Rows of a typed scan; the graph identifier of each row is checked against the key.
Result<std::vector<std::pair<std::string, std::string>>> typed_rows(const ReadTransaction& transaction,
                                                                    const TableDefinition& definition,
                                                                    uint64_t* length = nullptr) {
  auto table = transaction.open_table(definition);
  if (!table) return std::unexpected(table.error());
  if (length) *length = table->len();
  auto scan = table->scan();
  if (!scan) return std::unexpected(scan.error());
  std::vector<std::pair<std::string, std::string>> rows;
  while (true) {
    auto more = scan->next();
    if (!more) return std::unexpected(more.error());
    if (!*more) break;
    std::string_view identifier = scan->key_element(0);
    EXPECT_EQ(identifier, definition.key.element(scan->key(), 0));
    if (!definition.key.is_tuple()) {
      EXPECT_EQ(identifier, scan->key());
    }
    rows.emplace_back(scan->key(), scan->value());
  }
  return rows;
}

TEST(ReferenceFiles, EverySchemaTableScansValidatedInKeyOrder) {
  REQUIRE_FIXTURES();
  ScratchDir scratch;
  auto database = Database::open(copy_fixture("single/graph.redb", scratch.path()).string());
  ASSERT_TRUE(database);
  auto transaction = database->begin_read();
  ASSERT_TRUE(transaction);
  size_t total = 0;
  for (const TableDefinition& definition : schema) {
    uint64_t length = 0;
    auto rows = typed_rows(*transaction, definition, &length);
    ASSERT_TRUE(rows) << definition.name << ": " << rows.error().text;
    EXPECT_EQ(rows->size(), length) << definition.name;
    auto stored = transaction->scan_stored(std::string(definition.name));
    ASSERT_TRUE(stored);
    for (const auto& row : *rows) {
      ASSERT_TRUE(*stored->next());
      EXPECT_EQ(stored->key(), row.first);
      EXPECT_EQ(stored->value(), row.second);
    }
    EXPECT_FALSE(*stored->next());
    total += rows->size();
  }
  EXPECT_EQ(total, 53u);
  // Graph identifiers come out of tuple keys without their length prefix, the 300-byte one too.
  auto nodes = typed_rows(*transaction, schema[0]);
  ASSERT_TRUE(nodes);
  bool found_long = false;
  for (const auto& row : *nodes) found_long |= schema[0].key.element(row.first, 0).size() == 300;
  EXPECT_TRUE(found_long);
}

TEST(ReferenceFiles, MismatchedDefinitionsGiveTheLibrarysTableErrors) {
  REQUIRE_FIXTURES();
  ScratchDir scratch;
  auto database = Database::open(copy_fixture("wrong-types/graph.redb", scratch.path()).string());
  ASSERT_TRUE(database);
  auto transaction = database->begin_read();
  ASSERT_TRUE(transaction);
  for (const TableDefinition& definition : schema) {
    auto rows = typed_rows(*transaction, definition);
    // A mismatch is a table error of its own, which the migration tells apart from damage.
    if (!rows) {
      EXPECT_EQ(rows.error().kind, Error::Kind::table) << definition.name;
    }
    if (definition.name == "nodes") {
      EXPECT_EQ(rows.error().text, "nodes is of type Table<(&str,u64), &[u8]>");
    } else if (definition.name == "ledger") {
      EXPECT_EQ(rows.error().text, "ledger is a multimap table");
    } else if (definition.name == "xshard_decision") {
      EXPECT_EQ(rows.error().text, "xshard_decision is of type Table<&str, u16>");
    } else {
      ASSERT_TRUE(rows) << definition.name << ": " << rows.error().text;
      EXPECT_EQ(rows->size(), 1u) << definition.name;
    }
  }
  // A legacy-encoded tuple table never opens as the current encoding, though its name reads the same.
  auto legacy = transaction->open_table({"audit_chain", TypeDesc::legacy_tuple({Scalar::str, Scalar::u64}), bytes});
  EXPECT_EQ(legacy.error().text, "audit_chain is of type Table<(&str,u64), &[u8]>");
  auto absent = transaction->open_table({"absent", text, bytes});
  EXPECT_EQ(absent.error().text, "Table 'absent' does not exist");
  EXPECT_EQ(absent.error().kind, Error::Kind::table);
  EXPECT_EQ(transaction->scan_stored("absent").error().text, "Table 'absent' does not exist");

  auto multimap = transaction->scan_stored("ledger");
  ASSERT_TRUE(multimap);
  size_t pairs = 0;
  while (*multimap->next()) ++pairs;
  EXPECT_EQ(pairs, 3u);
}

TEST(ReferenceFiles, DeepTreesScanEveryRowInOrder) {
  REQUIRE_FIXTURES();
  ScratchDir scratch;
  auto database = Database::open(copy_fixture("deep/graph.redb", scratch.path()).string());
  ASSERT_TRUE(database);
  auto transaction = database->begin_read();
  ASSERT_TRUE(transaction);
  auto nodes = typed_rows(*transaction, schema[0]);
  ASSERT_TRUE(nodes) << nodes.error().text;
  EXPECT_EQ(nodes->size(), 29999u);
  auto edges = typed_rows(*transaction, schema[1]);
  ASSERT_TRUE(edges) << edges.error().text;
  EXPECT_EQ(edges->size(), 30000u);
  auto semantic = typed_rows(*transaction, schema[3]);
  ASSERT_TRUE(semantic);
  ASSERT_EQ(semantic->size(), 1u);
  EXPECT_EQ((*semantic)[0].second.size(), 1500000u);
}

// What draining a scan cost: the rows it handed out and the heap allocations made meanwhile.
struct ScanCost {
  uint64_t rows = 0;
  uint64_t allocations = 0;
};

ScanCost drain_counting_allocations(TableScan& scan) {
  ScanCost cost;
  const uint64_t before = allocation_count.load();
  while (*scan.next()) ++cost.rows;
  cost.allocations = allocation_count.load() - before;
  return cost;
}

TEST(ReferenceFiles, ScanningAllocatesNothingPerRecord) {
  REQUIRE_FIXTURES();
  if (!counting_allocations) GTEST_SKIP() << "allocations are not counted in sanitizer builds";
  ScratchDir scratch;
  auto database = Database::open(copy_fixture("deep/graph.redb", scratch.path()).string());
  ASSERT_TRUE(database);
  auto transaction = database->begin_read();
  ASSERT_TRUE(transaction);
  for (const TableDefinition& definition : {schema[0], schema[1]}) {
    auto table = transaction->open_table(definition);
    ASSERT_TRUE(table);
    auto scan = table->scan();
    ASSERT_TRUE(scan);
    const ScanCost cost = drain_counting_allocations(*scan);
    EXPECT_GT(cost.rows, 29000u);
    // Buffers grow a few times (the first pages of each level, larger pages, longer keys).
    EXPECT_LT(cost.allocations, 64u) << definition.name << ": " << cost.allocations << " allocations for "
                                     << cost.rows << " rows";
  }
}

TEST(ReferenceFiles, FilteredScanningAllocatesNothingPerRecord) {
  REQUIRE_FIXTURES();
  if (!counting_allocations) GTEST_SKIP() << "allocations are not counted in sanitizer builds";
  // Wants every other first element (by its length), so that both kinds of rows are met.
  struct EveryOther final : KeyFilter {
    bool wanted(std::string_view element) override { return element.size() % 2 == 0; }
  };
  ScratchDir scratch;
  auto database = Database::open(copy_fixture("deep/graph.redb", scratch.path()).string());
  ASSERT_TRUE(database);
  auto transaction = database->begin_read();
  ASSERT_TRUE(transaction);
  for (UnwantedRows unwanted : {UnwantedRows::skipped, UnwantedRows::checked}) {
    for (const TableDefinition& definition : {schema[0], schema[1]}) {
      auto table = transaction->open_table(definition);
      ASSERT_TRUE(table);
      EveryOther filter;
      auto scan = table->scan(filter, unwanted);
      ASSERT_TRUE(scan);
      const ScanCost cost = drain_counting_allocations(*scan);
      EXPECT_GT(cost.rows, 0u);
      EXPECT_LT(cost.allocations, 64u) << definition.name << ": " << cost.allocations << " allocations for "
                                       << cost.rows << " rows";
    }
  }
}

// ---- Opening files that are not databases, or whose header the library would assert on ----

TEST(OpenFile, RefusesWhatIsNotADatabaseWithTheLibrarysTexts) {
  REQUIRE_FIXTURES();
  const std::string valid = file_bytes(fixtures_dir() / "reference-write/graph.redb");
  auto with = [&](size_t offset, std::string bytes) {
    std::string changed = valid;
    changed.replace(offset, bytes.size(), bytes);
    return changed;
  };
  struct Case {
    const char* name;
    std::string content;
    const char* error;
  };
  const std::string magic = valid.substr(0, 9);
  const Case cases[] = {
      {"empty", "", "I/O error: invalid data"},
      {"one byte", "r", "I/O error: invalid data"},
      {"eight bytes of the magic", magic.substr(0, 8), "I/O error: invalid data"},
      {"wrong magic", with(3, "c"), "I/O error: invalid data"},
      {"zeros", std::string(8192, '\0'), "I/O error: invalid data"},
      {"magic only", magic, "I/O error: failed to fill whole buffer"},
      {"319 bytes", valid.substr(0, 319), "I/O error: failed to fill whole buffer"},
      {"version 2 in slot 1", with(192, "\x02"),
       "Manual upgrade required. Expected file format version 3, but file is version 2"},
      {"version 0 in slot 0", with(64, std::string(1, '\0')), "DB corrupted: Expected file format version <= 3, found 0"},
      {"page size 8192", with(12, std::string("\x00\x20\x00\x00", 4)),
       "DB corrupted: unsupported page size 8192 (expected 4096)"},
      {"no region", with(28, std::string(4, '\0')), "DB corrupted: the header describes no region"},
      {"shorter than the layout", valid.substr(0, valid.size() - 4096),
       "DB corrupted: file length 1052672 is shorter than the layout length 1056768"},
      {"header page only", valid.substr(0, 4096),
       "DB corrupted: file length 4096 is shorter than the layout length 1056768"},
      {"one byte more", valid + "x",
       "DB corrupted: file length 1056769 does not fit the region layout (nearest layout length 1056768)"},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> content(c.content.begin(), c.content.end());
    auto database = Database::open_file(std::make_unique<testing::MemoryFile>(content));
    ASSERT_FALSE(database) << c.name;
    EXPECT_EQ(database.error().text, c.error) << c.name;
  }
}

TEST(OpenFile, PathErrorsAreTheSystemTexts) {
  ScratchDir scratch;
  EXPECT_EQ(Database::open((scratch.path() / "missing.redb").string()).error().text,
            "I/O error: No such file or directory (os error 2)");
  EXPECT_EQ(Database::open(scratch.str()).error().text, "I/O error: Is a directory (os error 21)");
}

TEST(OpenFile, ASecondOpenOfTheSameFileFindsItLocked) {
  REQUIRE_FIXTURES();
  ScratchDir scratch;
  fs::path copy = copy_fixture("single/graph.redb", scratch.path());
  auto first = Database::open(copy.string());
  ASSERT_TRUE(first);
  EXPECT_EQ(Database::open(copy.string()).error().text, "Database already open. Cannot acquire lock.");
}

TEST(OpenFile, WholePagesPastTheLayoutAreARecoveryNotAnError) {
  REQUIRE_FIXTURES();
  std::string longer = file_bytes(fixtures_dir() / "reference-write/graph.redb") + std::string(4096, '\x5a');
  auto database = Database::open_file(std::make_unique<testing::MemoryFile>(std::vector<uint8_t>(longer.begin(), longer.end())));
  ASSERT_TRUE(database) << database.error().text;
  // The closing commit left a current allocator state, so the library takes its quick path.
  EXPECT_FALSE(database->needs_full_repair());
  auto transaction = database->begin_read();
  ASSERT_TRUE(transaction);
  EXPECT_EQ(transaction->list_tables()->size(), 10u);
}

}  // namespace
}  // namespace redb
