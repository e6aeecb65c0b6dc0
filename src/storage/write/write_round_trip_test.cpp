// Write transactions through the public interface: random round trips checked against a model
// and a structural validator, aborts, the one-writer rule and the insert size limits.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <random>

#include "redb.h"
#include "test_support/fixtures.h"
#include "testing/write_validator.h"
#include "write/btree_insert.h"
#include "write/page_cache.h"

namespace redb {
namespace {

using test_support::ScratchDir;

std::string varint(size_t length) {
  std::string out;
  if (length < 254) {
    out.push_back(static_cast<char>(length));
  } else if (length <= 0xFFFF) {
    out = {'\xFE', static_cast<char>(length), static_cast<char>(length >> 8)};
  } else {
    out.push_back('\xFF');
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(length >> (8 * i)));
  }
  return out;
}
std::string u64_bytes(uint64_t value) {
  std::string out(8, '\0');
  for (int i = 0; i < 8; ++i) out[i] = static_cast<char>(value >> (8 * i));
  return out;
}
std::string text_pair(std::string_view a, std::string_view b) { return varint(a.size()) + std::string(a) + std::string(b); }
std::string text_and_u64(std::string_view a, uint64_t b) { return varint(a.size()) + std::string(a) + u64_bytes(b); }

// Rows of one table as the library must return them: ordered by the key type.
struct TypedOrder {
  TypeDesc type;
  bool operator()(const std::string& a, const std::string& b) const { return type.compare(a, b) < 0; }
};
using Rows = std::map<std::string, std::string, TypedOrder>;

struct TestTable {
  std::string name;
  TypeDesc key, value;
  TableDefinition definition() const { return {name, key, value}; }
};

const std::vector<TestTable>& test_tables() {
  static const std::vector<TestTable> tables = {
      {"nodes", TypeDesc::tuple({Scalar::str, Scalar::str}), TypeDesc::scalar(Scalar::bytes)},
      {"ledger", TypeDesc::tuple({Scalar::str, Scalar::u64}), TypeDesc::scalar(Scalar::str)},
      {"raft_log", TypeDesc::tuple({Scalar::u64, Scalar::u64}), TypeDesc::scalar(Scalar::bytes)},
      {"xshard_decision", TypeDesc::scalar(Scalar::str), TypeDesc::scalar(Scalar::u8)},
      {"counters", TypeDesc::scalar(Scalar::u64), TypeDesc::scalar(Scalar::u64)},
      {"blobs", TypeDesc::scalar(Scalar::bytes), TypeDesc::scalar(Scalar::bytes)},
      {"empty", TypeDesc::scalar(Scalar::str), TypeDesc::scalar(Scalar::bytes)},
  };
  return tables;
}

// A model of the whole database: table name -> rows.
using Model = std::map<std::string, Rows>;

Model empty_model() {
  Model model;
  for (const TestTable& table : test_tables()) model.emplace(table.name, Rows(TypedOrder{table.key}));
  return model;
}

// A random row for table `index`; keys come from small spaces so that overwrites happen.
std::pair<std::string, std::string> random_row(size_t index, std::mt19937_64& random) {
  auto text = [&](size_t max_length) {
    std::string out(random() % (max_length + 1), 'a');
    for (char& c : out) c = static_cast<char>('a' + random() % 26);
    return out;
  };
  auto bytes = [&](size_t length) {
    std::string out(length, '\0');
    for (char& c : out) c = static_cast<char>(random());
    return out;
  };
  switch (index) {
    case 0: return {text_pair(text(12), text(20)), bytes(random() % 200)};
    case 1: return {text_and_u64(text(6), random() % 5000), text(random() % 2 ? 30 : 3000)};
    case 2: return {u64_bytes(random() % 4) + u64_bytes(random() % 40000), bytes(random() % 64)};
    case 3: return {text(10), std::string(1, static_cast<char>(random()))};
    case 4: return {u64_bytes(random() % 30000), u64_bytes(random())};
    default: {
      // Mostly small, sometimes values of tens to hundreds of KB (pages of higher order).
      size_t length = random() % 50 == 0 ? 4000 + random() % 300000 : random() % 100;
      return {bytes(1 + random() % 40), bytes(length)};
    }
  }
}

// Validates with the key order of the test tables, by stored key type.
Result<testing::ValidatedFile> validate(const std::string& path) {
  static const auto key_order = [] {
    std::vector<TypeDesc> key_types;
    for (const TestTable& table : test_tables()) key_types.push_back(table.key);
    return testing::key_order_by_type(std::move(key_types));
  }();
  return testing::validate_file(path, key_order);
}

// Reads every test table back through a read transaction and compares with the model.
void expect_content(Database& database, const Model& model) {
  auto read = database.begin_read();
  ASSERT_TRUE(read) << read.error().text;
  for (const TestTable& table : test_tables()) {
    const Rows& expected = model.at(table.name);
    auto opened = read->open_table(table.definition());
    if (!opened) {
      EXPECT_TRUE(expected.empty()) << table.name << ": " << opened.error().text;
      continue;
    }
    EXPECT_EQ(opened->len(), expected.size()) << table.name;
    auto scan = opened->scan();
    ASSERT_TRUE(scan) << scan.error().text;
    auto row = expected.begin();
    for (;;) {
      auto more = scan->next();
      ASSERT_TRUE(more) << more.error().text;
      if (!*more) break;
      ASSERT_NE(row, expected.end()) << table.name << ": more rows than written";
      ASSERT_EQ(scan->key(), row->first) << table.name;
      ASSERT_EQ(scan->value(), row->second) << table.name;
      ++row;
    }
    EXPECT_EQ(row, expected.end()) << table.name << ": rows missing";
  }
}

// Inserts `count` random rows into every table but "empty", recording them in the model.
void write_random_rows(Database& database, Model& model, size_t count, uint64_t seed) {
  std::mt19937_64 random(seed);
  auto transaction = database.begin_write();
  ASSERT_TRUE(transaction) << transaction.error().text;
  ASSERT_TRUE(transaction->set_durability(Durability::immediate));
  std::vector<Table> tables;
  for (const TestTable& table : test_tables()) {
    auto opened = transaction->open_table(table.definition());
    ASSERT_TRUE(opened) << opened.error().text;
    tables.push_back(std::move(*opened));
  }
  for (size_t i = 0; i < count; ++i) {
    size_t index = random() % (test_tables().size() - 1);
    auto [key, value] = random_row(index, random);
    Rows& rows = model.at(test_tables()[index].name);
    auto replaced = tables[index].insert(key, value);
    ASSERT_TRUE(replaced) << replaced.error().text;
    ASSERT_EQ(*replaced, rows.contains(key));
    rows[key] = value;
  }
  for (size_t index = 0; index < tables.size(); ++index)
    ASSERT_EQ(tables[index].len(), model.at(test_tables()[index].name).size());
  tables.clear();
  auto committed = transaction->commit();
  ASSERT_TRUE(committed) << committed.error().text;
}

// Reopens the file: the library's quick path serves it (no full repair) and it holds the model.
void expect_reopens_with(const std::string& path, const Model& model) {
  auto database = Database::open(path);
  ASSERT_TRUE(database) << database.error().text;
  EXPECT_FALSE(database->needs_full_repair());
  expect_content(*database, model);
}

struct BudgetScope {
  explicit BudgetScope(size_t budget) { detail::dirty_page_budget = budget; }
  ~BudgetScope() { detail::dirty_page_budget = detail::default_dirty_page_budget; }
};

TEST(WriteRoundTrip, RandomRowsReadBackExactlyAcrossCommitsReopensAndSpills) {
  ScratchDir dir;
  std::string path = (dir.path() / "graph.redb").string();
  Model model = empty_model();
  {
    auto database = Database::create(path);
    ASSERT_TRUE(database) << database.error().text;
    write_random_rows(*database, model, 70000, 1);
    expect_content(*database, model);
  }
  auto first = validate(path);
  ASSERT_TRUE(first) << first.error().text;
  {
    // Reopened: the allocator is rebuilt from the file; a tiny budget makes it spill often.
    BudgetScope budget(256 << 10);
    auto database = Database::open(path);
    ASSERT_TRUE(database) << database.error().text;
    write_random_rows(*database, model, 50000, 2);
    expect_content(*database, model);
    write_random_rows(*database, model, 5000, 3);
  }
  auto second = validate(path);
  ASSERT_TRUE(second) << second.error().text;
  EXPECT_EQ(second->header.primary().transaction_id, first->header.primary().transaction_id + 2);
  EXPECT_EQ(second->user_tables.size(), test_tables().size());
  EXPECT_EQ(second->user_tables.at("empty").root, std::nullopt);
  expect_reopens_with(path, model);
}

// A file whose header gives regions of 256 pages (1 MiB; the library makes such files with a
// smaller region size setting): the writes run through many regions, so the allocator_state
// rows of several regions, growth by whole regions and the trim across regions are exercised
// at a small size.
TEST(WriteRoundTrip, FilesOfManyRegionsReadBackExactly) {
  ScratchDir dir;
  std::string path = (dir.path() / "graph.redb").string();
  {
    SuperHeader header;
    header.god_byte = god_two_phase_commit;
    header.layout = DatabaseLayout::calculate(16 * 4096, 4096, 256);
    header.slots[0].transaction_id = 1;
    auto bytes = serialize_super_header(header);
    std::string image(header.layout.length(), '\0');
    std::copy(bytes.begin(), bytes.end(), image.begin());
    std::ofstream(path, std::ios::binary) << image;
  }
  Model model = empty_model();
  {
    auto database = Database::open(path);
    ASSERT_TRUE(database) << database.error().text;
    write_random_rows(*database, model, 30000, 4);
    expect_content(*database, model);
  }
  auto first = validate(path);
  ASSERT_TRUE(first) << first.error().text;
  EXPECT_GT(first->header.layout.num_full_regions, 4u);
  EXPECT_EQ(first->header.layout.region_max_data_pages, 256u);
  {
    BudgetScope budget(256 << 10);
    auto database = Database::open(path);
    ASSERT_TRUE(database) << database.error().text;
    EXPECT_FALSE(database->needs_full_repair());
    write_random_rows(*database, model, 20000, 5);
    expect_content(*database, model);
  }
  auto second = validate(path);
  ASSERT_TRUE(second) << second.error().text;
  expect_reopens_with(path, model);
}

}  // namespace
}  // namespace redb
