// Damaged and crashed files: every damage gives an error text (never a crash or an
// out-of-bounds read; run under ASan/UBSan), and a crashed file is read from the commit the
// library's repair would choose.
#include <filesystem>
#include <fstream>
#include <functional>
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <sstream>

#include "format/header.h"
#include "format/little_endian.h"
#include "format/page_layout.h"
#include "format/table_definition.h"
#include "redb.h"
#include "test_support/fixtures.h"
#include "testing/database_image.h"
#include "testing/memory_file.h"
#include "testing/redb_dump.h"
#include "testing/schema.h"

namespace redb {
namespace {

using testing::DatabaseImage;
using testing::MemoryFile;
using Bytes = std::vector<uint8_t>;

Bytes load_fixture(const std::string& name) {
  std::ifstream in(test_support::fixtures_dir() / name, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

using testing::schema;
const TypeDesc text = testing::schema_text, bytes = testing::schema_bytes;

// Drains a scan; the first error's text, or "" at the end.
std::string drain(Result<TableScan> scan, size_t* rows = nullptr) {
  if (!scan) return scan.error().text;
  while (true) {
    auto more = scan->next();
    if (!more) return more.error().text;
    if (!*more) return "";
    if (rows) ++*rows;
  }
}

// Opens `file` and reads all of it: the stored tables, then each schema table through its
// definition (skipping absent and mismatched ones, the table errors of a healthy file). The
// first error's text, or "".
std::string read_everything(std::span<const uint8_t> file, bool stored_scans = true) {
  auto database = Database::open_file(MemoryFile::view(file));
  if (!database) return database.error().text;
  auto transaction = database->begin_read();
  if (!transaction) return transaction.error().text;
  auto tables = transaction->list_tables();
  if (!tables) return tables.error().text;
  if (stored_scans) {
    for (const StoredTable& table : *tables)
      if (auto error = drain(transaction->scan_stored(table.name)); !error.empty()) return error;
  }
  for (const TableDefinition& definition : schema) {
    auto table = transaction->open_table(definition);
    if (!table) {
      if (table.error().kind == Error::Kind::storage) return table.error().text;
      continue;
    }
    if (auto error = drain(table->scan()); !error.empty()) return error;
  }
  return "";
}

// Where things are in a clean reference file, found through the page views.
class FixtureMap {
 public:
  explicit FixtureMap(const Bytes& file) : file_(file) {
    auto header = parse_super_header(std::span<const uint8_t, super_header_size>(file.data(), super_header_size));
    header_ = *header;
    table_tree_ = header_.primary().user_root->root.offset_in(header_.layout);
  }
  size_t table_tree_leaf() const { return table_tree_; }
  // Offset of the stored definition of `table` (the table tree must be one leaf).
  size_t definition(std::string_view table) const {
    auto leaf = LeafView::open(page(table_tree_), {});
    for (size_t i = 0; i < leaf->count(); ++i)
      if (leaf->key(i) == table) return table_tree_ + offset_in_page(leaf->value(i), table_tree_);
    ADD_FAILURE() << "no table " << table;
    return 0;
  }
  size_t table_name(std::string_view table) const {
    auto leaf = LeafView::open(page(table_tree_), {});
    for (size_t i = 0; i < leaf->count(); ++i)
      if (leaf->key(i) == table) return table_tree_ + offset_in_page(leaf->key(i), table_tree_);
    return 0;
  }
  StoredDefinition stored(std::string_view table) const {
    auto leaf = LeafView::open(page(table_tree_), {});
    for (size_t i = 0; i < leaf->count(); ++i)
      if (leaf->key(i) == table) return *parse_table_definition(leaf->value(i), table);
    ADD_FAILURE() << "no table " << table;
    return {};
  }
  // Offset of the root page of `table` (a leaf in the small reference files).
  size_t root(std::string_view table) const { return stored(table).root->root.offset_in(header_.layout); }
  LeafView leaf(size_t offset, EntryWidths widths) const { return *LeafView::open(page(offset), widths); }
  size_t offset_in_page(std::string_view part, size_t page_offset) const {
    return static_cast<size_t>(reinterpret_cast<const uint8_t*>(part.data()) - (file_.data() + page_offset));
  }
  const SuperHeader& header() const { return header_; }

 private:
  std::span<const uint8_t> page(size_t offset) const { return {file_.data() + offset, page_size}; }
  const Bytes& file_;
  SuperHeader header_;
  size_t table_tree_ = 0;
};

TEST(DamagedFiles, EachDamageGivesItsErrorText) {
  REQUIRE_FIXTURES();
  const Bytes clean = load_fixture("single/graph.redb");
  const FixtureMap map(clean);
  ASSERT_EQ(read_everything(clean), "");

  const size_t nodes_leaf = map.root("nodes");
  const size_t ledger_leaf = map.root("ledger");
  const StoredDefinition graph_meta = map.stored("graph_meta");
  const LeafView meta = map.leaf(map.root("graph_meta"), graph_meta.tree_widths());
  const size_t last_meta_key = map.root("graph_meta") + map.offset_in_page(meta.key(meta.count() - 1), map.root("graph_meta"));
  const size_t long_meta_key = map.root("graph_meta") + map.offset_in_page(meta.key(meta.count() - 2), map.root("graph_meta"));
  const LeafView nodes = map.leaf(nodes_leaf, {});
  const size_t first_node_key = nodes_leaf + map.offset_in_page(nodes.key(0), nodes_leaf);

  struct Case {
    const char* name;
    std::function<void(Bytes&)> damage;
    const char* error;
  };
  const Case cases[] = {
      {"root page beyond the file",
       [&](Bytes& f) { store_u64(&f[map.definition("nodes") + 10], PageNumber{0, 5000, 0}.to_raw()); },
       "I/O error: failed to fill whole buffer"},
      {"root page of an impossible order",
       [&](Bytes& f) { store_u64(&f[map.definition("nodes") + 10], uint64_t{25} << 59); },
       "DB corrupted: page order 25 out of range"},
      {"unknown page type", [&](Bytes& f) { f[nodes_leaf] = 7; }, "DB corrupted: unknown page type 7"},
      {"zero entries", [&](Bytes& f) { store_u16(&f[nodes_leaf + 2], 0); }, "DB corrupted: leaf page has no entries"},
      {"key offset past the page end", [&](Bytes& f) { store_u32(&f[nodes_leaf + 4], 0x10000); },
       "DB corrupted: leaf page key offsets are out of order or past its end"},
      {"entry count past the page", [&](Bytes& f) { store_u16(&f[nodes_leaf + 2], 0xFFFF); },
       "DB corrupted: leaf page offset arrays run past its end"},
      {"tuple length prefix past the key end", [&](Bytes& f) { f[first_node_key] = 0xFD; },
       "DB corrupted: stored (&str,&str) has a length prefix past its end"},
      {"integer part of the wrong width",
       [&](Bytes& f) { store_u32(&f[ledger_leaf + 4], load_u32(&f[ledger_leaf + 4]) - 1); },
       "DB corrupted: stored (&str,u64) has a u64 element of the wrong width"},
      {"stored text not UTF-8", [&](Bytes& f) { f[last_meta_key] = 0xFF; },
       "DB corrupted: stored &str is not valid UTF-8"},
      {"keys out of order", [&](Bytes& f) { f[long_meta_key] = 'a'; },
       "DB corrupted: table keys are not in ascending order"},
      {"unknown table type", [&](Bytes& f) { f[map.definition("nodes")] = 9; },
       "DB corrupted: definition of table 'nodes': unknown table type 9"},
      {"legacy table type", [&](Bytes& f) { f[map.definition("nodes")] = 1; },
       "DB corrupted: definition of table 'nodes': unknown table type 1"},
      {"bad classification byte", [&](Bytes& f) { f[map.definition("nodes") + 64] = 7; },
       "DB corrupted: definition of table 'nodes': type name with unknown classification byte 7"},
      {"type name length past the record", [&](Bytes& f) { store_u32(&f[map.definition("nodes") + 60], 500); },
       "DB corrupted: definition of table 'nodes': key type name runs past the end"},
      {"table tree without entries", [&](Bytes& f) { store_u16(&f[map.table_tree_leaf() + 2], 0); },
       "DB corrupted: leaf page has no entries"},
      {"table name not UTF-8", [&](Bytes& f) { f[map.table_name("nodes")] = 0xFF; },
       "DB corrupted: stored table name is not valid UTF-8"},
      {"table tree root beyond the file", [&](Bytes& f) {
         // Only the roots in the slot move; a clean file is read without checking its checksum.
         CommitSlot slot = CommitSlot::load(&f[commit_slot_offsets[1]]);
         slot.user_root->root = PageNumber{0, 4000, 0};
         slot.store(&f[commit_slot_offsets[1]]);
       },
       "I/O error: failed to fill whole buffer"},
  };
  for (const Case& c : cases) {
    Bytes damaged = clean;
    c.damage(damaged);
    EXPECT_EQ(read_everything(damaged), c.error) << c.name;
  }
}

// Flips bytes all over small reference files (the header, and the used start of every page;
// on the crashed file, where the open verifies the trees, a spread of positions) and reads
// everything after each flip. Each read must end in a result or an error text; the sanitizer
// build catches any out-of-bounds read or undefined behaviour.
TEST(DamagedFiles, NoByteFlipCrashesTheReader) {
  REQUIRE_FIXTURES();
  struct Sweep {
    const char* name;
    size_t bytes_per_page;  // 0: every `stride`-th byte of the file
    size_t stride;
  };
  for (const Sweep& sweep : {Sweep{"single/graph.redb", 640, 1}, Sweep{"wrong-types/graph.redb", 320, 1},
                             Sweep{"crashed/graph.redb", 0, 151}}) {
    Bytes file = load_fixture(sweep.name);
    std::vector<size_t> positions;
    if (sweep.bytes_per_page == 0) {
      for (size_t offset = 0; offset < file.size(); offset += sweep.stride) positions.push_back(offset);
    } else {
      for (size_t offset = 0; offset < super_header_size; ++offset) positions.push_back(offset);
      for (size_t page = page_size; page < file.size(); page += page_size)
        for (size_t offset = 0; offset < sweep.bytes_per_page; ++offset) positions.push_back(page + offset);
    }
    size_t errors = 0;
    for (size_t offset : positions) {
      const uint8_t mask = offset % 3 == 0 ? 0xFF : static_cast<uint8_t>(1u << (offset % 8));
      file[offset] ^= mask;
      errors += !read_everything(file).empty();
      file[offset] ^= mask;
    }
    EXPECT_GT(errors, 0u) << sweep.name;  // the damage is noticed, not only survived
    EXPECT_EQ(read_everything(file), "") << sweep.name;
  }
}

// ---- Crashed files and the commit a repair chooses (reference-write/graph.redb: primary is
// slot 1, the closing commit 5 with a current allocator state; slot 0 is the data commit 4 with
// the same user tree and another system tree) ----

void set_god_byte(Bytes& file, uint8_t value) { file[9] = value; }
void break_slot_checksum(Bytes& file, size_t slot) { file[commit_slot_offsets[slot] + 127] ^= 0x55; }
void change_slot(Bytes& file, size_t slot, const std::function<void(CommitSlot&)>& change) {
  CommitSlot loaded = CommitSlot::load(&file[commit_slot_offsets[slot]]);
  change(loaded);
  loaded.store(&file[commit_slot_offsets[slot]]);
}

struct OpenOutcome {
  std::string error;
  bool full_repair = false;
  size_t tables = 0;
};

OpenOutcome open_outcome(const Bytes& file) {
  auto database = Database::open_file(MemoryFile::view(file));
  if (!database) return {database.error().text};
  auto transaction = database->begin_read();
  if (!transaction) return {transaction.error().text};
  auto tables = transaction->list_tables();
  if (!tables) return {tables.error().text};
  return {"", database->needs_full_repair(), tables->size()};
}

TEST(CrashedFiles, TheCommitAndRepairDecisionFollowTheLibrary) {
  REQUIRE_FIXTURES();
  const Bytes clean = load_fixture("reference-write/graph.redb");
  const FixtureMap map(clean);
  const size_t shared_table_tree = map.table_tree_leaf();
  const size_t primary_system_root = map.header().primary().system_root->root.offset_in(map.header().layout);

  struct Case {
    const char* name;
    std::function<void(Bytes&)> damage;
    OpenOutcome expected;
  };
  const Case cases[] = {
      {"clean", [](Bytes&) {}, {"", false, 10}},
      {"recovery bit with a current allocator state", [](Bytes& f) { set_god_byte(f, 0x07); }, {"", false, 10}},
      {"two-phase bit clear: the primary's trees are verified", [](Bytes& f) { set_god_byte(f, 0x01); },
       {"", true, 10}},
      {"allocator state of another commit", [](Bytes& f) { change_slot(f, 1, [](CommitSlot& s) { s.transaction_id = 9; }); },
       {"", true, 10}},
      {"two-phase, recovery, bad primary slot checksum",
       [](Bytes& f) {
         set_god_byte(f, 0x07);
         break_slot_checksum(f, 1);
       },
       {"DB corrupted: Primary is corrupted despite 2-phase commit"}},
      {"bad primary slot checksum unnoticed without recovery", [](Bytes& f) { break_slot_checksum(f, 1); },
       {"", false, 10}},
      {"one-phase, recovery, both slot checksums bad",
       [](Bytes& f) {
         set_god_byte(f, 0x03);
         break_slot_checksum(f, 0);
         break_slot_checksum(f, 1);
       },
       {"DB corrupted: Both commit slots are corrupted"}},
      {"one-phase, damaged primary system tree: the other slot is read",
       [&](Bytes& f) {
         set_god_byte(f, 0x01);
         f[primary_system_root + 40] ^= 1;
       },
       {"", true, 10}},
      {"one-phase, recovery, bad primary slot checksum: the secondary is read",
       [&](Bytes& f) {
         set_god_byte(f, 0x03);
         break_slot_checksum(f, 1);
       },
       {"", true, 10}},
      {"two-phase full repair of a damaged tree",
       [&](Bytes& f) {
         change_slot(f, 1, [](CommitSlot& s) { s.transaction_id = 9; });
         f[primary_system_root + 40] ^= 1;
       },
       {"DB corrupted: Primary is corrupted despite 2-phase commit"}},
      {"one-phase, both commits share a damaged tree",
       [&](Bytes& f) {
         set_god_byte(f, 0x03);
         f[shared_table_tree + 20] ^= 1;
       },
       {"DB corrupted: Failed to repair database. All roots are corrupted"}},
      {"one-phase, a primary page past the end of the file: no fallback",
       [](Bytes& f) {
         set_god_byte(f, 0x03);
         change_slot(f, 1, [](CommitSlot& s) { s.system_root->root = PageNumber{0, 3000, 0}; });
       },
       {"I/O error: failed to fill whole buffer"}},
      {"one-phase, a zero-count primary page counts as damage",
       [&](Bytes& f) {
         set_god_byte(f, 0x01);
         store_u16(&f[primary_system_root + 2], 0);
       },
       {"", true, 10}},
  };
  for (const Case& c : cases) {
    Bytes damaged = clean;
    c.damage(damaged);
    OpenOutcome outcome = open_outcome(damaged);
    EXPECT_EQ(outcome.error, c.expected.error) << c.name;
    EXPECT_EQ(outcome.full_repair, c.expected.full_repair) << c.name;
    EXPECT_EQ(outcome.tables, c.expected.tables) << c.name;
  }
}

std::string graph_meta_value(const Bytes& file, std::string_view key) {
  auto database = Database::open_file(MemoryFile::view(file));
  if (!database) return database.error().text;
  auto transaction = database->begin_read();
  auto table = transaction->open_table(schema[4]);
  if (!table) return table.error().text;
  auto scan = table->scan();
  while (*scan->next())
    if (scan->key() == key) return std::string(scan->value());
  return "absent";
}

TEST(CrashedFiles, ATornNewestSlotFallsBackToThePreviousCommit) {
  REQUIRE_FIXTURES();
  Bytes crashed = load_fixture("crashed/graph.redb");
  EXPECT_EQ(graph_meta_value(crashed, "c0"), "meta after durable commit 4");
  break_slot_checksum(crashed, 0);  // the primary, commit 8
  EXPECT_EQ(graph_meta_value(crashed, "c0"), "meta after durable commit 3");
}

// ---- Shapes the reference files lack ----

StoredDefinition table_of(TypeDesc key, TypeDesc value, std::optional<BtreeHeader> root, TableKind kind = TableKind::normal) {
  StoredDefinition definition = StoredDefinition::for_new_table(key, value, kind);
  definition.root = root;
  definition.table_length = root ? root->length : 0;
  return definition;
}

std::string u64_bytes(uint64_t value) {
  std::string encoded(8, '\0');
  store_u64(reinterpret_cast<uint8_t*>(encoded.data()), value);
  return encoded;
}

TEST(TreeShapes, MultimapRowsComeFromInlineLeavesAndSubTrees) {
  DatabaseImage image;
  const TypeDesc u64 = TypeDesc::scalar(Scalar::u64);
  // Key "a": values 1, 3 inline. Key "b": values 10..14 in a two-leaf sub-tree.
  std::string inline_values = u64_bytes(1) + u64_bytes(3);
  const std::string_view inline_view = inline_values;
  const LeafEntry inline_entries[] = {{inline_view.substr(0, 8), ""}, {inline_view.substr(8), ""}};
  std::vector<uint8_t> inline_leaf(4096);
  size_t inline_used = write_leaf(inline_leaf, inline_entries, {8, 0});
  std::string collection_a = "\x01" + std::string(inline_leaf.begin(), inline_leaf.begin() + inline_used);

  std::vector<std::string> values;
  for (uint64_t v = 10; v < 15; ++v) values.push_back(u64_bytes(v));
  const LeafEntry left[] = {{values[0], ""}, {values[1], ""}, {values[2], ""}};
  const LeafEntry right[] = {{values[3], ""}, {values[4], ""}};
  DatabaseImage::Placed leaves[] = {image.add_leaf(left, {8, 0}), image.add_leaf(right, {8, 0})};
  const std::string_view separators[] = {values[2]};
  DatabaseImage::Placed sub_root = image.add_branch(leaves, separators, 8);
  std::string collection_b(1 + BtreeHeader::size, '\x03');
  BtreeHeader{sub_root.page, sub_root.checksum, 5}.store(reinterpret_cast<uint8_t*>(collection_b.data()) + 1);

  const LeafEntry outer[] = {{"a", collection_a}, {"b", collection_b}};
  DatabaseImage::Placed outer_root = image.add_leaf(outer, {std::nullopt, std::nullopt});
  BtreeHeader table_tree = image.add_table_tree(
      {{"pairs", table_of(TypeDesc::scalar(Scalar::str), u64, BtreeHeader{outer_root.page, outer_root.checksum, 2},
                          TableKind::multimap)}});
  Bytes file = image.finish(DatabaseImage::commit(table_tree, 2), DatabaseImage::commit(std::nullopt, 1));

  auto database = Database::open_file(MemoryFile::view(file));
  ASSERT_TRUE(database) << database.error().text;
  EXPECT_TRUE(database->needs_full_repair());  // no allocator state: verified, and intact
  auto transaction = database->begin_read();
  auto scan = transaction->scan_stored("pairs");
  ASSERT_TRUE(scan);
  std::vector<std::pair<std::string, uint64_t>> rows;
  while (*scan->next())
    rows.emplace_back(scan->key(), load_u64(reinterpret_cast<const uint8_t*>(scan->value().data())));
  const std::vector<std::pair<std::string, uint64_t>> expected = {{"a", 1}, {"a", 3}, {"b", 10}, {"b", 11},
                                                                  {"b", 12}, {"b", 13}, {"b", 14}};
  EXPECT_EQ(rows, expected);
  EXPECT_EQ(transaction->list_tables()->at(0).kind, TableKind::multimap);
  EXPECT_EQ(transaction->open_table({"pairs", TypeDesc::scalar(Scalar::str), u64}).error().text,
            "pairs is a multimap table");

  // Repair verifies sub-trees too: a damaged sub-tree leaf makes the open fall back to the older,
  // empty commit (the two-phase bit is clear, as after an ordinary commit).
  Bytes damaged = image.finish(DatabaseImage::commit(table_tree, 2), DatabaseImage::commit(std::nullopt, 1), 0);
  damaged[DatabaseImage::offset_of(leaves[1].page) + 12] ^= 1;
  EXPECT_EQ(open_outcome(damaged).tables, 0u);
  EXPECT_EQ(open_outcome(damaged).error, "");
}

// Damage can make a table tree name one tree many times. Each table alone reads fine, but scans
// of every table that share one budget read at most the file's pages, so a dump stops with
// "DB corrupted" instead of reading the tree once per definition.
TEST(TreeShapes, ATreeNamedByManyDefinitionsIsReadOnceAtMostByADump) {
  DatabaseImage image;
  const TypeDesc u64 = TypeDesc::scalar(Scalar::u64);
  std::vector<std::string> keys;
  for (uint64_t k = 0; k < 256; ++k) keys.push_back(u64_bytes(k));
  std::vector<DatabaseImage::Placed> leaves;
  std::vector<std::string_view> separators;
  for (size_t l = 0; l < 64; ++l) {
    std::vector<LeafEntry> entries;
    for (size_t e = 0; e < 4; ++e) entries.push_back({keys[l * 4 + e], "v"});
    leaves.push_back(image.add_leaf(entries, {8, std::nullopt}));
    if (l < 63) separators.push_back(keys[l * 4 + 3]);
  }
  const DatabaseImage::Placed root = image.add_branch(leaves, separators, 8);
  std::vector<std::pair<std::string, StoredDefinition>> definitions;
  for (int t = 0; t < 500; ++t)
    definitions.push_back({fmt::format("t{:03}", t), table_of(u64, bytes, BtreeHeader{root.page, root.checksum, 256})});
  const BtreeHeader table_tree = image.add_table_tree(definitions);
  const BtreeHeader system_tree = image.add_allocator_state(2);
  const Bytes file = image.finish(DatabaseImage::commit(table_tree, 2, system_tree), DatabaseImage::commit(std::nullopt, 1));

  auto database = Database::open_file(MemoryFile::view(file));
  ASSERT_TRUE(database) << database.error().text;
  auto transaction = database->begin_read();
  for (const char* name : {"t000", "t499"}) {
    size_t rows = 0;
    EXPECT_EQ(drain(transaction->scan_stored(name), &rows), "");
    EXPECT_EQ(rows, 256u);
  }

  const std::string exhausted =
      "DB corrupted: the tables' trees visit more pages than the file holds (one tree reachable from two "
      "definitions, or a page referenced more than once)";
  ScanBudget budget = transaction->scan_budget();
  size_t rows = 0;
  std::string error;
  auto tables = transaction->list_tables();
  ASSERT_TRUE(tables);
  for (const StoredTable& table : *tables) {
    error = drain(transaction->scan_stored(table.name, &budget), &rows);
    if (!error.empty()) break;
  }
  EXPECT_EQ(error, exhausted);
  EXPECT_LT(rows, 2u * 256);

  test_support::ScratchDir scratch;
  const std::filesystem::path path = scratch.path() / "named-many-times.redb";
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(file.data()), file.size());
  auto dump = testing::run_dump(path, scratch);
  if (!dump) GTEST_SKIP() << "redb-dump is not built";
  EXPECT_EQ(dump->status, 1);
  EXPECT_TRUE(dump->out.empty()) << dump->out.size() << " bytes of output";
  EXPECT_EQ(dump->err, exhausted + "\n");
}

TEST(TreeShapes, MultiLevelTreesScanInOrderAndCyclesEndInAnError) {
  DatabaseImage image;
  const TypeDesc u64 = TypeDesc::scalar(Scalar::u64);
  // Three levels: 2 branches of 3 leaves of 4 entries each.
  std::vector<std::string> keys;
  for (uint64_t k = 0; k < 24; ++k) keys.push_back(u64_bytes(k * 300));  // LE bytes do not sort
  std::vector<DatabaseImage::Placed> branches;
  std::vector<std::string_view> top_separators;
  for (size_t b = 0; b < 2; ++b) {
    std::vector<DatabaseImage::Placed> leaves;
    std::vector<std::string_view> separators;
    for (size_t l = 0; l < 3; ++l) {
      std::vector<LeafEntry> entries;
      for (size_t e = 0; e < 4; ++e) entries.push_back({keys[b * 12 + l * 4 + e], "v"});
      leaves.push_back(image.add_leaf(entries, {8, std::nullopt}));
      if (l < 2) separators.push_back(keys[b * 12 + l * 4 + 3]);
    }
    branches.push_back(image.add_branch(leaves, separators, 8));
    if (b == 0) top_separators.push_back(keys[11]);
  }
  DatabaseImage::Placed root = image.add_branch(branches, top_separators, 8);
  // A cycle: a branch whose first child is itself (its page is the next one placed).
  DatabaseImage::Placed leaf = image.add_leaf(std::vector<LeafEntry>{{keys[0], "v"}}, {8, std::nullopt});
  PageNumber self{0, root.page.index + 2, 0};
  DatabaseImage::Placed cycle = image.add_branch(std::vector<DatabaseImage::Placed>{{self, {}}, leaf},
                                                 std::vector<std::string_view>{keys[0]}, 8);
  ASSERT_EQ(cycle.page, self);
  // Pages shared many times over: 64 references to a branch of 64 references to one leaf.
  DatabaseImage::Placed fan = image.add_branch(std::vector<DatabaseImage::Placed>(64, leaf),
                                               std::vector<std::string_view>(63, keys[0]), 8);
  DatabaseImage::Placed wide = image.add_branch(std::vector<DatabaseImage::Placed>(64, fan),
                                                std::vector<std::string_view>(63, keys[0]), 8);
  BtreeHeader table_tree = image.add_table_tree({
      {"log", table_of(u64, bytes, BtreeHeader{root.page, root.checksum, 24})},
      {"looped", table_of(u64, bytes, BtreeHeader{cycle.page, cycle.checksum, 1})},
      {"shared", table_of(u64, bytes, BtreeHeader{wide.page, wide.checksum, 1})},
  });
  const BtreeHeader system_tree = image.add_allocator_state(2);
  // 64 more pages, so that the cycle meets the depth limit before the page budget.
  const std::string padding(200000, 'p');
  image.add_leaf(std::vector<LeafEntry>{{keys[0], padding}}, {8, std::nullopt});

  // Trusted through a current allocator state, the file is read without verification, so the
  // walk's own limits must stop the cycle and the shared pages.
  Bytes trusted = image.finish(DatabaseImage::commit(table_tree, 2, system_tree), DatabaseImage::commit(std::nullopt, 1));
  auto database = Database::open_file(MemoryFile::view(trusted));
  ASSERT_TRUE(database) << database.error().text;
  EXPECT_FALSE(database->needs_full_repair());
  auto transaction = database->begin_read();
  auto log = transaction->open_table({"log", u64, bytes});
  ASSERT_TRUE(log);
  EXPECT_EQ(log->len(), 24u);
  auto scan = log->scan();
  for (uint64_t k = 0; k < 24; ++k) {
    ASSERT_TRUE(*scan->next());
    EXPECT_EQ(scan->key(), keys[k]);
  }
  EXPECT_FALSE(*scan->next());
  EXPECT_EQ(drain(transaction->scan_stored("looped")),
            "DB corrupted: B-tree deeper than any file can hold (a cycle of page references)");
  EXPECT_EQ(drain(transaction->scan_stored("shared")), "DB corrupted: the tree visits more pages than the file holds (a page is referenced more than once)");
  EXPECT_EQ(drain(transaction->open_table({"shared", u64, bytes})->scan()),
            "DB corrupted: table keys are not in ascending order");

  // Without a current allocator state the open verifies every tree first: with the two-phase
  // bit set the damage is fatal; without it both commits (sharing the trees) fail.
  Bytes verified = image.finish(DatabaseImage::commit(table_tree, 3, system_tree), DatabaseImage::commit(std::nullopt, 1));
  EXPECT_EQ(open_outcome(verified).error, "DB corrupted: Primary is corrupted despite 2-phase commit");
  Bytes one_phase = image.finish(DatabaseImage::commit(table_tree, 3), DatabaseImage::commit(table_tree, 1), 0);
  EXPECT_EQ(open_outcome(one_phase).error, "DB corrupted: Failed to repair database. All roots are corrupted");
}

}  // namespace
}  // namespace redb
