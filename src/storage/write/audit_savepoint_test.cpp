// Writing into a file that holds a persistent savepoint (history/ fixture): the pages the
// savepoint's user root reaches must stay allocated, because the library may restore the
// savepoint later and then reads those pages again. The library keeps them with its freed-page
// lists: a committed data page freed while a savepoint is older than the commit goes into
// `data_pages_unreachable` instead of back to free space.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "redb.h"
#include "test_support/fixtures.h"
#include "testing/on_disk.h"
#include "write/write_state.h"

namespace redb {
namespace {

namespace fs = std::filesystem;

using testing::OpenedFile;

// The user roots of the persistent savepoints in the commit's system tables.
std::vector<BtreeHeader> savepoint_user_roots(const OpenedFile& opened) {
  auto definition = testing::system_table(opened, "persistent_savepoints");
  EXPECT_TRUE(definition && definition->root);
  std::vector<BtreeHeader> roots;
  if (!definition) return roots;
  testing::for_each_row(opened, *definition, [&](std::string_view, std::string_view value) {
    // u8 version, u64 savepoint id, u64 transaction id, u8 user root present, BtreeHeader.
    EXPECT_GE(value.size(), 50u);
    if (value[17] != 0) roots.push_back(BtreeHeader::load(reinterpret_cast<const uint8_t*>(value.data()) + 18));
  });
  return roots;
}

// Pages a savepoint reaches that the commit's allocation state (reachable pages plus the
// freed-page lists, which is what the commit saves in allocator_state) treats as free.
std::vector<PageNumber> savepoint_pages_free_in_commit(const fs::path& path) {
  OpenedFile opened = testing::open_raw(path);
  auto allocator = detail::rebuild_allocator(*opened.file, opened.header.layout, opened.header.primary());
  EXPECT_TRUE(allocator) << allocator.error().text;
  std::vector<PageNumber> free_pages;
  for (const BtreeHeader& root : savepoint_user_roots(opened))
    for (PageNumber page : testing::pages_of_user_tree(opened, root))
      if (allocator->is_free(page)) free_pages.push_back(page);
  return free_pages;
}

std::optional<TypeDesc> type_of(const std::string& name) {
  for (char classification : {'\x03', '\x01'})
    if (auto type = TypeDesc::from_stored_name(std::string(1, classification) + name)) return type;
  return std::nullopt;
}

// While a persistent savepoint exists, the committed data pages a commit replaces stay
// allocated (listed as unreachable under the commit), so that a later restore of the savepoint
// by the library finds its pages intact.
TEST(AuditSavepoint, PagesASavepointReachesStayAllocatedAfterAWrite) {
  REQUIRE_FIXTURES();
  test_support::ScratchDir dir;
  fs::path copy = test_support::copy_fixture("history/graph.redb", dir.path());
  // The library's own file keeps every savepoint page allocated.
  ASSERT_TRUE(savepoint_pages_free_in_commit(copy).empty());

  {
    auto database = Database::open(copy.string());
    ASSERT_TRUE(database) << database.error().text;
    std::vector<std::tuple<StoredTable, std::string, std::string>> first_rows;
    {
      auto read = database->begin_read();
      ASSERT_TRUE(read);
      auto tables = read->list_tables();
      ASSERT_TRUE(tables);
      for (const StoredTable& table : *tables) {
        auto scan = read->scan_stored(table.name);
        ASSERT_TRUE(scan);
        auto more = scan->next();
        ASSERT_TRUE(more);
        if (*more) first_rows.emplace_back(table, std::string(scan->key()), std::string(scan->value()));
      }
    }
    auto transaction = database->begin_write();
    ASSERT_TRUE(transaction) << transaction.error().text;
    size_t rewritten = 0;
    for (auto& [table, key, value] : first_rows) {
      auto key_type = type_of(table.key_type), value_type = type_of(table.value_type);
      if (table.kind != TableKind::normal || !key_type || !value_type) continue;
      // Rewriting a row with its own value changes nothing but copies the path to its leaf.
      auto opened = transaction->open_table(TableDefinition{table.name, *key_type, *value_type});
      ASSERT_TRUE(opened) << opened.error().text;
      auto inserted = opened->insert(key, value);
      ASSERT_TRUE(inserted) << inserted.error().text;
      ++rewritten;
    }
    ASSERT_GT(rewritten, 3u);
    auto committed = transaction->commit();
    ASSERT_TRUE(committed) << committed.error().text;
  }

  std::vector<PageNumber> free_pages = savepoint_pages_free_in_commit(copy);
  EXPECT_TRUE(free_pages.empty()) << free_pages.size() << " page(s) of the persistent savepoint are free space, e.g. r"
                                  << free_pages[0].region << "." << free_pages[0].index << "/" << int(free_pages[0].order);
}

}  // namespace
}  // namespace redb
