// Creating databases and the lifecycle of write transactions: what reaches the file, what
// never does, and files written by the real library taking further writes.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <cstring>
#include <functional>
#include <set>

#include "format/little_endian.h"
#include "read/tree_cursor.h"
#include "read/tree_verify.h"
#include "redb.h"
#include "test_support/fixtures.h"
#include "testing/on_disk.h"
#include "testing/write_validator.h"
#include "write/btree_insert.h"
#include "write/page_cache.h"
#include "write/write_state.h"

namespace redb {
namespace {

namespace fs = std::filesystem;
using test_support::file_bytes;
using test_support::ScratchDir;

// Every user table with its stored types and rows, read through the public interface.
struct TableContent {
  StoredTable table;
  std::vector<std::pair<std::string, std::string>> rows;
  bool operator==(const TableContent& other) const {
    return table.name == other.table.name && table.kind == other.table.kind && table.key_type == other.table.key_type &&
           table.value_type == other.table.value_type && rows == other.rows;
  }
};
std::vector<TableContent> content_of(Database& database) {
  std::vector<TableContent> content;
  auto read = database.begin_read();
  EXPECT_TRUE(read) << read.error().text;
  auto tables = read->list_tables();
  EXPECT_TRUE(tables) << tables.error().text;
  for (const StoredTable& table : *tables) {
    TableContent entry{table, {}};
    auto scan = read->scan_stored(table.name);
    EXPECT_TRUE(scan) << scan.error().text;
    while (true) {
      auto more = scan->next();
      EXPECT_TRUE(more) << more.error().text;
      if (!more || !*more) break;
      entry.rows.emplace_back(scan->key(), scan->value());
    }
    content.push_back(std::move(entry));
  }
  return content;
}
std::vector<TableContent> content_of(const fs::path& path) {
  auto database = Database::open(path.string());
  EXPECT_TRUE(database) << database.error().text;
  return database ? content_of(*database) : std::vector<TableContent>{};
}

// Validates with the key order of the tables the tests write, by stored key type.
Result<testing::ValidatedFile> validate(const fs::path& path) {
  static const auto key_order = testing::key_order_by_type(
      {TypeDesc::tuple({Scalar::str, Scalar::str}), TypeDesc::tuple({Scalar::str, Scalar::str, Scalar::str, Scalar::u32}),
       TypeDesc::tuple({Scalar::str, Scalar::u64}), TypeDesc::tuple({Scalar::u64, Scalar::u64}),
       TypeDesc::tuple({Scalar::u64, Scalar::str}), TypeDesc::scalar(Scalar::u64), TypeDesc::scalar(Scalar::u32)});
  return testing::validate_file(path.string(), key_order);
}

const TableDefinition nodes{"nodes", TypeDesc::tuple({Scalar::str, Scalar::str}), TypeDesc::scalar(Scalar::bytes)};
const TableDefinition edges{"edges", TypeDesc::tuple({Scalar::str, Scalar::str, Scalar::str, Scalar::u32}),
                            TypeDesc::scalar(Scalar::bytes)};
const TableDefinition ledger{"ledger", TypeDesc::tuple({Scalar::str, Scalar::u64}), TypeDesc::scalar(Scalar::str)};
const TableDefinition semantic_store{"semantic_store", TypeDesc::scalar(Scalar::str), TypeDesc::scalar(Scalar::bytes)};
const TableDefinition graph_meta{"graph_meta", TypeDesc::scalar(Scalar::str), TypeDesc::scalar(Scalar::bytes)};
const TableDefinition audit_chain{"audit_chain", TypeDesc::tuple({Scalar::str, Scalar::u64}), TypeDesc::scalar(Scalar::bytes)};
const TableDefinition raft_log{"raft_log", TypeDesc::tuple({Scalar::u64, Scalar::u64}), TypeDesc::scalar(Scalar::bytes)};
const TableDefinition raft_meta{"raft_meta", TypeDesc::tuple({Scalar::u64, Scalar::str}), TypeDesc::scalar(Scalar::bytes)};
const TableDefinition xshard_prepare{"xshard_prepare", TypeDesc::tuple({Scalar::str, Scalar::u64}),
                                     TypeDesc::scalar(Scalar::bytes)};
const TableDefinition xshard_decision{"xshard_decision", TypeDesc::scalar(Scalar::str), TypeDesc::scalar(Scalar::u8)};

std::string u64_bytes(uint64_t value) {
  std::string out(8, '\0');
  for (int i = 0; i < 8; ++i) out[i] = static_cast<char>(value >> (8 * i));
  return out;
}
std::string u32_bytes(uint32_t value) { return u64_bytes(value).substr(0, 4); }
std::string with_length(std::string_view text) { return std::string(1, static_cast<char>(text.size())) + std::string(text); }

using Rows = std::vector<std::pair<std::string, std::string>>;

// Opens the file and inserts `rows` into graph_meta in one committed write transaction.
void commit_graph_meta_rows(const fs::path& path, const Rows& rows) {
  auto database = Database::open(path.string());
  ASSERT_TRUE(database) << database.error().text;
  auto transaction = database->begin_write();
  ASSERT_TRUE(transaction) << transaction.error().text;
  {
    auto table = transaction->open_table(graph_meta);
    ASSERT_TRUE(table) << table.error().text;
    for (const auto& [key, value] : rows) ASSERT_TRUE(table->insert(key, value));
  }
  auto committed = transaction->commit();
  ASSERT_TRUE(committed) << committed.error().text;
}

// `content` with `rows` added to its graph_meta table, whose text keys sort as bytes.
void add_graph_meta_rows(std::vector<TableContent>& content, const Rows& rows) {
  for (TableContent& table : content) {
    if (table.table.name != "graph_meta") continue;
    table.rows.insert(table.rows.end(), rows.begin(), rows.end());
    std::sort(table.rows.begin(), table.rows.end());
  }
}

// The three write patterns of reference-write/, through this library.
enum class Scenario { empty, six_empty_tables, graph };
void write_scenario(const fs::path& path, Scenario scenario) {
  auto database = Database::create(path.string());
  ASSERT_TRUE(database) << database.error().text;
  if (scenario == Scenario::empty) return;
  auto transaction = database->begin_write();
  ASSERT_TRUE(transaction) << transaction.error().text;
  ASSERT_TRUE(transaction->set_durability(Durability::immediate));
  {
    std::vector<Table> graph_tables;
    for (const TableDefinition* definition : {&nodes, &edges, &ledger, &semantic_store, &graph_meta, &audit_chain}) {
      auto table = transaction->open_table(*definition);
      ASSERT_TRUE(table) << table.error().text;
      graph_tables.push_back(std::move(*table));
    }
    if (scenario == Scenario::graph) {
      for (std::string graph : {"tenant-0/kg-0", "tenant-0/kg-1"}) {
        auto insert = [](Table& table, std::string key, std::string value) {
          auto inserted = table.insert(key, value);
          ASSERT_TRUE(inserted) << inserted.error().text;
        };
        insert(graph_tables[4], graph, "{\"graph\":\"" + graph + "\"}");
        insert(graph_tables[3], graph, "semantic");
        insert(graph_tables[0], with_length(graph) + "alice", "person");
        insert(graph_tables[0], with_length(graph) + "bob", "person");
        insert(graph_tables[1], std::string{static_cast<char>(graph.size()), 5, 3} + graph + "alicebob" + u32_bytes(1),
               "knows");
        insert(graph_tables[2], with_length(graph) + u64_bytes(1), "created \xc3\xa9");
        insert(graph_tables[5], with_length(graph) + u64_bytes(1), std::string(32, '\x5a'));
      }
    }
    while (!graph_tables.empty()) graph_tables.pop_back();
    if (scenario == Scenario::graph) {
      std::vector<std::pair<const TableDefinition*, std::vector<std::pair<std::string, std::string>>>> global = {
          {&raft_log, {{u64_bytes(1) + u64_bytes(1), "entry"}, {u64_bytes(1) + u64_bytes(2), "entry 2"}}},
          {&raft_meta, {{u64_bytes(1) + "term", u64_bytes(1)}}},
          {&xshard_prepare, {{with_length("tx-1") + u64_bytes(0), "prepare"}}},
          {&xshard_decision, {{"tx-1", "\x01"}}}};
      for (auto& [definition, rows] : global) {
        auto table = transaction->open_table(*definition);
        ASSERT_TRUE(table) << table.error().text;
        for (auto& [key, value] : rows) ASSERT_TRUE(table->insert(key, value));
      }
    }
  }
  auto committed = transaction->commit();
  ASSERT_TRUE(committed) << committed.error().text;
}

// What the real library depends on agrees with the file it wrote for the same operations:
// header fields, god byte, both slots' versions, the system tables and their definitions, the
// user tables with their definitions and rows, and an allocator_state that is exactly the
// pages in use (page placement may differ).
TEST(ReferenceWrite, ScenariosAgreeWithTheLibrarysFiles) {
  REQUIRE_FIXTURES();
  ScratchDir dir;
  for (auto [scenario, name] : {std::pair{Scenario::empty, "empty.redb"}, std::pair{Scenario::six_empty_tables, "six-empty-tables.redb"},
                                std::pair{Scenario::graph, "graph.redb"}}) {
    SCOPED_TRACE(name);
    fs::path ours = dir.path() / name;
    write_scenario(ours, scenario);
    fs::create_directories(dir.path() / "reference");
    fs::path reference = test_support::copy_fixture(std::string("reference-write/") + name, dir.path() / "reference");
    auto mine = validate(ours);
    ASSERT_TRUE(mine) << mine.error().text;
    auto theirs = validate(reference);
    ASSERT_TRUE(theirs) << theirs.error().text;

    EXPECT_EQ(fs::file_size(ours), fs::file_size(reference));
    EXPECT_EQ(mine->header.layout, theirs->header.layout);
    EXPECT_EQ(mine->header.god_byte, theirs->header.god_byte);
    for (size_t slot = 0; slot < 2; ++slot) EXPECT_EQ(mine->header.slots[slot].version, 3);
    auto definitions_agree = [](const std::map<std::string, StoredDefinition>& a, const std::map<std::string, StoredDefinition>& b) {
      if (a.size() != b.size()) return false;
      for (const auto& [table, definition] : a) {
        auto other = b.find(table);
        if (other == b.end()) return false;
        const StoredDefinition& theirs = other->second;
        if (definition.kind != theirs.kind || definition.fixed_key_width != theirs.fixed_key_width ||
            definition.fixed_value_width != theirs.fixed_value_width || definition.key_type != theirs.key_type ||
            definition.value_type != theirs.value_type || serialize_table_definition(definition).size() != serialize_table_definition(theirs).size())
          return false;
      }
      return true;
    };
    EXPECT_TRUE(definitions_agree(mine->system_tables, theirs->system_tables));
    EXPECT_TRUE(definitions_agree(mine->user_tables, theirs->user_tables));
    for (const auto& [table, definition] : mine->user_tables)
      EXPECT_EQ(definition.table_length, theirs->user_tables.at(table).table_length) << table;
    // Same rows, same number of Region rows, the same region tracker.
    ASSERT_EQ(mine->allocator_rows.size(), theirs->allocator_rows.size());
    std::string tracker = allocator_state_key::encode(allocator_state_key::region_tracker_tag);
    EXPECT_TRUE(mine->allocator_rows.at(tracker) == theirs->allocator_rows.at(tracker));
    EXPECT_TRUE(content_of(ours) == content_of(reference));
  }
}

// The validator finds the faults it is there for (so that its passing means something).
TEST(WriteValidator, RejectsDamagedFiles) {
  ScratchDir dir;
  fs::path path = dir.path() / "graph.redb";
  write_scenario(path, Scenario::graph);
  auto validated = validate(path);
  ASSERT_TRUE(validated) << validated.error().text;
  const std::string original = file_bytes(path);
  PageNumber nodes_root = validated->user_tables.at("nodes").root->root;
  uint64_t nodes_offset = validated->header.layout.page_offset(nodes_root.region, nodes_root.index, nodes_root.order);
  struct Case {
    std::string name;
    std::function<void(std::string&)> damage;
    std::string expected;
  };
  for (const Case& c : std::vector<Case>{
           {"leaf byte", [&](std::string& bytes) { bytes[nodes_offset + 40] ^= 1; }, "leaf checksum"},
           {"recovery bit", [](std::string& bytes) { bytes[9] |= 0x02; }, "god byte"},
           {"one-phase commit", [](std::string& bytes) { bytes[9] &= ~0x04; }, "god byte"},
           {"extra page", [](std::string& bytes) { bytes.append(4096, '\0'); }, "file length"},
       }) {
    std::string bytes = original;
    c.damage(bytes);
    fs::path damaged = dir.path() / "damaged.redb";
    std::ofstream(damaged, std::ios::binary | std::ios::trunc) << bytes;
    auto result = validate(damaged);
    ASSERT_FALSE(result) << c.name;
    EXPECT_NE(result.error().text.find(c.expected), std::string::npos) << c.name << ": " << result.error().text;
  }
}

TEST(CreateDatabase, AFreshFileIsAValidEmptyDatabaseAndCreateOpensExistingOnes) {
  ScratchDir dir;
  fs::path path = dir.path() / "graph.redb";
  {
    auto database = Database::create(path.string());
    ASSERT_TRUE(database) << database.error().text;
    EXPECT_FALSE(database->needs_full_repair());
  }
  EXPECT_EQ(fs::file_size(path), 1056768u);
  auto validated = validate(path);
  ASSERT_TRUE(validated) << validated.error().text;
  EXPECT_EQ(validated->header.god_byte, 0x04);
  EXPECT_TRUE(validated->user_tables.empty());
  EXPECT_EQ(validated->system_tables.size(), 4u);

  write_scenario(dir.path() / "graph-0.redb", Scenario::graph);
  std::string before = file_bytes(dir.path() / "graph-0.redb");
  {
    // create on a database opens it; only reading it writes nothing.
    auto database = Database::create((dir.path() / "graph-0.redb").string());
    ASSERT_TRUE(database) << database.error().text;
    EXPECT_EQ(content_of(*database).size(), 10u);
    auto locked = Database::create((dir.path() / "graph-0.redb").string());
    ASSERT_FALSE(locked);
    EXPECT_EQ(locked.error().text, "Database already open. Cannot acquire lock.");
  }
  EXPECT_TRUE(file_bytes(dir.path() / "graph-0.redb") == before);

  for (std::string content : {std::string("x"), std::string(5000, '\0'), std::string("not a database at all")}) {
    fs::path other = dir.path() / "other";
    std::ofstream(other, std::ios::binary | std::ios::trunc) << content;
    auto refused = Database::create(other.string());
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().text, "I/O error: invalid data");
    EXPECT_TRUE(file_bytes(other) == content);  // never overwritten
  }
}

TEST(WriteTransaction, AbortLeavesNothingOfItselfInTheFile) {
  ScratchDir dir;
  fs::path path = dir.path() / "graph.redb";
  write_scenario(path, Scenario::graph);
  std::string before = file_bytes(path);
  {
    detail::dirty_page_budget = 64 << 10;  // spill to the file while the transaction runs
    auto database = Database::open(path.string());
    ASSERT_TRUE(database);
    auto transaction = database->begin_write();
    ASSERT_TRUE(transaction) << transaction.error().text;
    auto table = transaction->open_table(nodes);
    ASSERT_TRUE(table);
    for (int i = 0; i < 20000; ++i) ASSERT_TRUE(table->insert(with_length("g") + std::to_string(i), std::string(300, 'v')));
    auto created = transaction->open_table({"scratch", TypeDesc::scalar(Scalar::str), TypeDesc::scalar(Scalar::bytes)});
    ASSERT_TRUE(created);
    detail::dirty_page_budget = detail::default_dirty_page_budget;
  }
  // Spilled pages lie in what was free space and the growth is cut back: the committed state
  // is intact and the file as long as its layout.
  std::string after = file_bytes(path);
  ASSERT_EQ(after.size(), before.size());
  EXPECT_TRUE(after.substr(0, 4096) == before.substr(0, 4096));
  auto validated = validate(path);
  ASSERT_TRUE(validated) << validated.error().text;
  EXPECT_EQ(validated->user_tables.count("scratch"), 0u);
  EXPECT_EQ(validated->user_tables.at("nodes").table_length, 4u);

  // A database created and released with an aborted first transaction stays a valid empty one.
  fs::path fresh = dir.path() / "fresh.redb";
  {
    auto database = Database::create(fresh.string());
    ASSERT_TRUE(database);
    auto transaction = database->begin_write();
    ASSERT_TRUE(transaction);
    ASSERT_TRUE(transaction->open_table(nodes));
  }
  auto empty = validate(fresh);
  ASSERT_TRUE(empty) << empty.error().text;
  EXPECT_TRUE(empty->user_tables.empty());
}

TEST(WriteTransaction, OneAtATimeAndTablesFollowTheOpenChecks) {
  ScratchDir dir;
  fs::path path = dir.path() / "graph.redb";
  write_scenario(path, Scenario::graph);
  auto database = Database::open(path.string());
  ASSERT_TRUE(database);
  {
    auto first = database->begin_write();
    ASSERT_TRUE(first);
    auto second = database->begin_write();
    ASSERT_FALSE(second);
    EXPECT_EQ(second.error().text, "A transaction is still in progress. Operation cannot be performed.");
    auto mismatch = first->open_table({"nodes", TypeDesc::tuple({Scalar::str, Scalar::u64}), TypeDesc::scalar(Scalar::bytes)});
    ASSERT_FALSE(mismatch);
    EXPECT_EQ(mismatch.error().text, "nodes is of type Table<(&str,&str), &[u8]>");
    auto table = first->open_table(xshard_decision);
    ASSERT_TRUE(table);
    EXPECT_EQ(table->len(), 1u);
    auto replaced = table->insert("tx-1", "\x02");
    ASSERT_TRUE(replaced);
    EXPECT_TRUE(*replaced);
    EXPECT_EQ(table->len(), 1u);
    auto invalid = table->insert("tx-2", "too long for u8");
    EXPECT_FALSE(invalid);
  }
  auto transaction = database->begin_write();  // the aborted one released its place
  ASSERT_TRUE(transaction);
  {
    auto table = transaction->open_table(graph_meta);
    ASSERT_TRUE(table);
    ASSERT_TRUE(table->insert("late", "row"));
    auto refused = transaction->commit();
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().text, "Table 'graph_meta' is still open");
  }
  ASSERT_TRUE(transaction->commit());
  auto read = database->begin_read();
  ASSERT_TRUE(read);
  EXPECT_EQ(read->open_table(graph_meta)->len(), 3u);
}

TEST(WriteTransaction, InsertLengthLimitsInTheLibrarysOrder) {
  constexpr uint64_t gib = uint64_t{1} << 30;
  struct Case {
    uint64_t key, value;
    std::optional<uint64_t> reported;
  };
  for (const Case& c : std::vector<Case>{{10, 3 * gib, std::nullopt},
                                         {3 * gib, 10, std::nullopt},
                                         {10, 3 * gib + 1, 3 * gib + 1},
                                         {3 * gib + 1, 10, 3 * gib + 1},
                                         {3 * gib + 1, 3 * gib + 2, 3 * gib + 2},  // the value is checked first
                                         {2 * gib, 2 * gib, 4 * gib},
                                         {768 << 20, 3 * gib, std::nullopt}}) {
    auto checked = detail::check_insert_lengths(c.key, c.value);
    if (!c.reported) {
      EXPECT_TRUE(checked) << c.key << " " << c.value;
      continue;
    }
    ASSERT_FALSE(checked);
    EXPECT_EQ(checked.error().text,
              "The value (length=" + std::to_string(*c.reported) + ") being inserted exceeds the maximum of 3GiB");
  }
}

// Files the real library wrote take further writes: their rows stay, new rows join, and the
// result passes the validator (allocator state rebuilt from what the commit reaches,
// savepoint and freed-page tables kept).
TEST(WriteIntoExistingFiles, LibraryFilesKeepTheirRowsAndTakeNewOnes) {
  REQUIRE_FIXTURES();
  ScratchDir dir;
  for (std::string fixture : {"single/graph.redb", "deep/graph.redb", "history/graph.redb", "crashed/graph.redb",
                              "numbered/graph-2.redb"}) {
    SCOPED_TRACE(fixture);
    fs::create_directories(dir.path() / fs::path(fixture).parent_path());
    fs::path copy = test_support::copy_fixture(fixture, dir.path() / fs::path(fixture).parent_path());
    std::vector<TableContent> expected = content_of(copy);
    Rows written;
    for (int i = 0; i < 3000; ++i) written.emplace_back("written-" + std::to_string(i), std::string(i % 500, 'w'));
    ASSERT_NO_FATAL_FAILURE(commit_graph_meta_rows(copy, written));
    auto validated = validate(copy);
    ASSERT_TRUE(validated) << validated.error().text;
    {
      auto reopened = Database::open(copy.string());
      ASSERT_TRUE(reopened) << reopened.error().text;
      EXPECT_FALSE(reopened->needs_full_repair());  // the library's quick path, also after a crashed file
    }
    std::vector<TableContent> after = content_of(copy);
    add_graph_meta_rows(expected, written);
    if (std::none_of(expected.begin(), expected.end(), [](auto& t) { return t.table.name == "graph_meta"; })) {
      ADD_FAILURE() << "fixture without graph_meta";
      continue;
    }
    EXPECT_TRUE(after == expected);
  }
}

// The pages of a page-list row's value: u16 count, then that many u64 page numbers.
std::vector<PageNumber> page_list(std::string_view value) {
  auto bytes = reinterpret_cast<const uint8_t*>(value.data());
  std::vector<PageNumber> pages;
  for (size_t i = 0; i < load_u16(bytes); ++i) pages.push_back(PageNumber::from_raw(load_u64(bytes + 2 + 8 * i)));
  return pages;
}

// The primary commit of a file on disk and the pages its user tables reach.
struct CommitOnDisk {
  SuperHeader header;
  PageAllocator user_pages{DatabaseLayout::initial()};  // allocated = reachable from the user root
  std::vector<PageNumber> listed_by_primary;             // data_pages_unreachable rows of the primary's id
};
CommitOnDisk commit_on_disk(const fs::path& path) {
  CommitOnDisk result;
  testing::OpenedFile opened = testing::open_raw(path);
  result.header = opened.header;
  CommitSlot user_only = result.header.primary();
  user_only.system_root.reset();
  auto reachable = detail::rebuild_allocator(*opened.file, result.header.layout, user_only);
  EXPECT_TRUE(reachable) << reachable.error().text;
  result.user_pages = std::move(*reachable);
  auto definition = testing::system_table(opened, "data_pages_unreachable");
  EXPECT_TRUE(definition);
  if (!definition) return result;
  testing::for_each_row(opened, *definition, [&](std::string_view key, std::string_view value) {
    if (load_u64(reinterpret_cast<const uint8_t*>(key.data())) != result.header.primary().transaction_id) return;
    std::vector<PageNumber> pages = page_list(value);
    result.listed_by_primary.insert(result.listed_by_primary.end(), pages.begin(), pages.end());
  });
  return result;
}

// A persistent savepoint may be restored by the library later, so while one exists the data
// pages a commit replaces stay allocated, listed under the commit in data_pages_unreachable;
// without one they are free at once.
TEST(WriteIntoExistingFiles, ReplacedDataPagesStayListedWhileASavepointExists) {
  REQUIRE_FIXTURES();
  ScratchDir dir;
  for (auto [fixture, has_savepoint] : {std::pair{"history/graph.redb", true}, std::pair{"single/graph.redb", false}}) {
    SCOPED_TRACE(fixture);
    fs::path folder = dir.path() / (has_savepoint ? "history" : "single");
    fs::create_directories(folder);
    fs::path copy = test_support::copy_fixture(fixture, folder);
    CommitOnDisk before = commit_on_disk(copy);
    Rows written;
    for (int i = 0; i < 300; ++i) written.emplace_back("written-" + std::to_string(i), std::string(200, 'w'));
    ASSERT_NO_FATAL_FAILURE(commit_graph_meta_rows(copy, written));
    auto validated = validate(copy);
    ASSERT_TRUE(validated) << validated.error().text;
    CommitOnDisk after = commit_on_disk(copy);
    if (!has_savepoint) {
      EXPECT_TRUE(after.listed_by_primary.empty());
      continue;
    }
    // Exactly pages of the previous commit's user trees that the new one no longer reaches.
    EXPECT_FALSE(after.listed_by_primary.empty());
    for (PageNumber page : after.listed_by_primary) {
      EXPECT_FALSE(before.user_pages.is_free(page));
      EXPECT_TRUE(after.user_pages.is_free(page));
    }
  }
}

// The rows of a page-list system table of the file's primary commit, in key order.
struct PageListRow {
  uint64_t transaction_id = 0;
  uint64_t pagination = 0;
  std::vector<PageNumber> pages;
  bool operator==(const PageListRow&) const = default;
};
struct SystemTablesOnDisk {
  SuperHeader header;
  std::vector<PageListRow> allocated;               // data_pages_allocated
  std::vector<uint64_t> savepoint_transactions;     // persistent_savepoints, transaction ids
  std::vector<BtreeHeader> savepoint_user_roots;
  std::set<uint64_t> user_pages;                    // raw numbers of the pages the user root reaches
};
SystemTablesOnDisk system_tables_on_disk(const fs::path& path) {
  SystemTablesOnDisk result;
  testing::OpenedFile opened = testing::open_raw(path);
  result.header = opened.header;
  auto rows_of = [&](std::string_view name, const std::function<void(std::string_view, std::string_view)>& row) {
    if (auto definition = testing::system_table(opened, name)) testing::for_each_row(opened, *definition, row);
  };
  rows_of("data_pages_allocated", [&](std::string_view key, std::string_view value) {
    auto key_bytes = reinterpret_cast<const uint8_t*>(key.data());
    EXPECT_LE(load_u16(reinterpret_cast<const uint8_t*>(value.data())), 400u);
    result.allocated.push_back(PageListRow{load_u64(key_bytes), load_u64(key_bytes + 8), page_list(value)});
  });
  // u8 version, u64 savepoint id, u64 transaction id, u8 user root present, BtreeHeader.
  rows_of("persistent_savepoints", [&](std::string_view, std::string_view value) {
    auto value_bytes = reinterpret_cast<const uint8_t*>(value.data());
    result.savepoint_transactions.push_back(load_u64(value_bytes + 9));
    if (value_bytes[17] != 0) result.savepoint_user_roots.push_back(BtreeHeader::load(value_bytes + 18));
  });
  if (const CommitSlot& primary = result.header.primary(); primary.user_root)
    for (PageNumber page : testing::pages_of_user_tree(opened, *primary.user_root)) result.user_pages.insert(page.to_raw());
  return result;
}

// Moves the persistent savepoint of a file to a later transaction id by rewriting its record in
// place (same length), with the checksums above it: its leaf, the system table tree's leaf and
// the primary slot. Both trees are single leaves in the files used.
void move_savepoint(const fs::path& path, uint64_t transaction_id) {
  testing::OpenedFile opened = testing::open_raw(path);
  ASSERT_TRUE(opened.file);
  File& file = *opened.file;
  SuperHeader header = opened.header;
  CommitSlot& primary = header.slots[header.primary_index()];
  auto rewrite_leaf = [&](PageNumber page, EntryWidths widths, std::string_view key, auto&& change) -> Checksum {
    std::vector<uint8_t> bytes(page.byte_length());
    uint64_t offset = header.layout.page_offset(page.region, page.index, page.order);
    EXPECT_TRUE(file.read_at(offset, bytes));
    EXPECT_EQ(page_type(bytes), leaf_page_type);
    auto leaf = LeafView::open(bytes, widths);
    EXPECT_TRUE(leaf);
    for (size_t i = 0; i < leaf->count(); ++i) {
      if (!key.empty() && leaf->key(i) != key) continue;
      std::string_view value = leaf->value(i);
      change(bytes.data() + (reinterpret_cast<const uint8_t*>(value.data()) - bytes.data()), value);
      break;
    }
    EXPECT_TRUE(file.write_at(offset, bytes));
    return page_checksum(bytes, leaf->used_length());
  };
  primary.system_root->checksum = rewrite_leaf(
      primary.system_root->root, detail::table_tree_widths, "persistent_savepoints", [&](uint8_t* target, std::string_view value) {
        auto definition = parse_table_definition(value, "persistent_savepoints");
        ASSERT_TRUE(definition && definition->root);
        definition->root->checksum = rewrite_leaf(definition->root->root, definition->tree_widths(), "",
                                                  [&](uint8_t* record, std::string_view) { store_u64(record + 9, transaction_id); });
        std::string stored = serialize_table_definition(*definition);
        ASSERT_EQ(stored.size(), value.size());
        std::memcpy(target, stored.data(), stored.size());
      });
  ASSERT_TRUE(file.write_at(0, serialize_super_header(header)));
}

// While a persistent savepoint exists, the data pages each commit allocated are listed under
// it in data_pages_allocated (a restore of the savepoint frees them from there); rows older
// than the oldest savepoint go, and without a savepoint the table stays empty.
TEST(WriteIntoExistingFiles, DataPagesACommitAllocatesAreListedWhileASavepointExists) {
  REQUIRE_FIXTURES();
  ScratchDir dir;
  struct Case {
    std::string fixture;
    bool has_savepoint;
    std::optional<uint64_t> savepoint_moved_to;  // leaves library rows older than the savepoint
  };
  for (const Case& c : {Case{"history/graph.redb", true, {}}, Case{"history/graph.redb", true, 58},
                        Case{"single/graph.redb", false, {}}}) {
    SCOPED_TRACE(c.fixture + (c.savepoint_moved_to ? " with the savepoint moved" : ""));
    const bool has_savepoint = c.has_savepoint;
    fs::path folder = dir.path() / fmt::format("{}-{}", fs::path(c.fixture).parent_path().string(), c.savepoint_moved_to.value_or(0));
    fs::create_directories(folder);
    fs::path copy = test_support::copy_fixture(c.fixture, folder);
    if (c.savepoint_moved_to) move_savepoint(copy, *c.savepoint_moved_to);
    SystemTablesOnDisk library = system_tables_on_disk(copy);
    ASSERT_EQ(library.savepoint_transactions.empty(), !has_savepoint);
    uint64_t oldest = has_savepoint ? *std::min_element(library.savepoint_transactions.begin(),
                                                        library.savepoint_transactions.end()) : 0;
    // The library's own rows that a restore can still use stay as they were.
    std::vector<PageListRow> kept;
    for (const PageListRow& row : library.allocated)
      if (has_savepoint && row.transaction_id >= oldest) kept.push_back(row);
    if (c.savepoint_moved_to) {
      ASSERT_EQ(oldest, *c.savepoint_moved_to);
      ASSERT_LT(kept.size(), library.allocated.size());
    }
    std::vector<TableContent> expected = content_of(copy);

    for (int round = 0; round < 2; ++round) {
      SCOPED_TRACE(round);
      SystemTablesOnDisk before = system_tables_on_disk(copy);
      // Enough rows for several leaves and a branch, one value on a page of higher order.
      Rows written;
      for (int i = 0; i < 300; ++i)
        written.emplace_back(fmt::format("round-{}-{:03}", round, i), std::string(i == 7 ? 20000 : 150 + i, static_cast<char>('a' + round)));
      ASSERT_NO_FATAL_FAILURE(commit_graph_meta_rows(copy, written));
      add_graph_meta_rows(expected, written);
      auto validated = validate(copy);
      ASSERT_TRUE(validated) << validated.error().text;
      SystemTablesOnDisk after = system_tables_on_disk(copy);
      uint64_t commit = after.header.primary().transaction_id;

      if (!has_savepoint) {
        EXPECT_TRUE(after.allocated.empty());
      } else {
        // Exactly the pages of the new user trees that the previous commit's did not use, in
        // rows (commit, 0…n−1) after the rows kept from before.
        std::set<uint64_t> new_pages;
        for (uint64_t page : after.user_pages)
          if (!before.user_pages.contains(page)) new_pages.insert(page);
        ASSERT_FALSE(new_pages.empty());
        std::vector<PageListRow> earlier(after.allocated.begin(), after.allocated.end());
        std::erase_if(earlier, [&](const PageListRow& row) { return row.transaction_id == commit; });
        EXPECT_EQ(earlier, kept);
        std::multiset<uint64_t> listed;
        uint64_t pagination = 0;
        for (const PageListRow& row : after.allocated) {
          if (row.transaction_id != commit) continue;
          EXPECT_EQ(row.pagination, pagination++);
          for (PageNumber page : row.pages) listed.insert(page.to_raw());
        }
        EXPECT_EQ(listed, std::multiset<uint64_t>(new_pages.begin(), new_pages.end()));
        for (const PageListRow& row : after.allocated) EXPECT_GE(row.transaction_id, oldest);
        kept = after.allocated;

        // The savepoint's trees are still allocated and read back intact.
        testing::OpenedFile opened = testing::open_raw(copy);
        ASSERT_TRUE(opened.file);
        auto state = detail::rebuild_allocator(*opened.file, after.header.layout, after.header.primary());
        ASSERT_TRUE(state) << state.error().text;
        for (const BtreeHeader& root : after.savepoint_user_roots) {
          auto check = detail::verify_table_tree(opened.source(), root);
          ASSERT_TRUE(check) << check.error().text;
          EXPECT_EQ(*check, detail::TreeCheck::intact);
        }
        for (const BtreeHeader& root : library.savepoint_user_roots)
          for (PageNumber page : testing::pages_of_user_tree(opened, root)) EXPECT_FALSE(state->is_free(page));
      }
      auto reopened = Database::open(copy.string());
      ASSERT_TRUE(reopened) << reopened.error().text;
      EXPECT_FALSE(reopened->needs_full_repair());
      EXPECT_TRUE(content_of(*reopened) == expected);
    }
  }
}

}  // namespace
}  // namespace redb
