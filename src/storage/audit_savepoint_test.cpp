// Writing into a file that holds a persistent savepoint (history/ fixture): the pages the
// savepoint's user root reaches must stay allocated, because the library may restore the
// savepoint later and then reads those pages again. The library keeps them with its freed-page
// lists: a committed data page freed while a savepoint is older than the commit goes into
// `data_pages_unreachable` instead of back to free space.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "btree_insert.h"
#include "header.h"
#include "little_endian.h"
#include "page_cache.h"
#include "redb.h"
#include "table_definition.h"
#include "test_support/fixtures.h"
#include "tree_cursor.h"
#include "write_state.h"

namespace redb {
namespace {

namespace fs = std::filesystem;

struct OpenedFile {
  std::unique_ptr<File> file;
  SuperHeader header;
};

OpenedFile open_raw(const fs::path& path) {
  OpenedFile opened;
  auto file = open_locked_file(path.string(), OpenMode::existing);
  EXPECT_TRUE(file) << file.error().text;
  opened.file = std::move(*file);
  std::array<uint8_t, super_header_size> bytes;
  EXPECT_TRUE(opened.file->read_at(0, bytes));
  auto header = parse_super_header(bytes);
  EXPECT_TRUE(header) << header.error().text;
  opened.header = *header;
  return opened;
}

// The user roots of the persistent savepoints in the commit's system tables.
std::vector<BtreeHeader> savepoint_user_roots(OpenedFile& opened) {
  const CommitSlot& primary = opened.header.primary();
  detail::PageSource source{opened.file.get(), opened.header.layout, opened.header.layout.length()};
  auto record = detail::find_in_tree(source, primary.system_root->root, {}, detail::KeyOrder::text, "persistent_savepoints");
  EXPECT_TRUE(record && *record);
  auto definition = parse_table_definition(**record, "persistent_savepoints");
  EXPECT_TRUE(definition && definition->root);
  std::vector<BtreeHeader> roots;
  detail::PageBudget budget(source.page_count());
  detail::TreeCursor cursor(&source, &budget);
  cursor.reset(definition->root->root, definition->tree_widths());
  while (true) {
    auto more = cursor.next();
    EXPECT_TRUE(more);
    if (!more || !*more) break;
    // u8 version, u64 savepoint id, u64 transaction id, u8 user root present, BtreeHeader.
    std::string_view value = cursor.value();
    EXPECT_GE(value.size(), 50u);
    if (value[17] != 0) roots.push_back(BtreeHeader::load(reinterpret_cast<const uint8_t*>(value.data()) + 18));
  }
  return roots;
}

// Every page the user table tree at `root` reaches: the table tree and every table's tree.
std::vector<PageNumber> pages_of_user_tree(OpenedFile& opened, const BtreeHeader& root) {
  detail::PageCache reader(*opened.file, opened.header.layout, 0);
  std::vector<PageNumber> pages;
  auto walked = detail::visit_tree_pages(
      reader, root.root, detail::table_tree_widths, true, [&](PageNumber page, std::span<const uint8_t> bytes) -> Status {
        pages.push_back(page);
        if (page_type(bytes) != leaf_page_type) return {};
        auto leaf = LeafView::open(bytes, detail::table_tree_widths);
        if (!leaf) return std::unexpected(leaf.error());
        for (size_t i = 0; i < leaf->count(); ++i) {
          auto definition = parse_table_definition(leaf->value(i), leaf->key(i));
          if (!definition) return std::unexpected(definition.error());
          if (!definition->root) continue;
          auto table = detail::visit_tree_pages(reader, definition->root->root, definition->tree_widths(), false,
                                                [&](PageNumber table_page, std::span<const uint8_t>) -> Status {
                                                  pages.push_back(table_page);
                                                  return {};
                                                });
          if (!table) return table;
        }
        return {};
      });
  EXPECT_TRUE(walked) << walked.error().text;
  return pages;
}

// Pages a savepoint reaches that the commit's allocation state (reachable pages plus the
// freed-page lists, which is what the commit saves in allocator_state) treats as free.
std::vector<PageNumber> savepoint_pages_free_in_commit(const fs::path& path) {
  OpenedFile opened = open_raw(path);
  auto allocator = detail::rebuild_allocator(*opened.file, opened.header.layout, opened.header.primary());
  EXPECT_TRUE(allocator) << allocator.error().text;
  std::vector<PageNumber> free_pages;
  for (const BtreeHeader& root : savepoint_user_roots(opened))
    for (PageNumber page : pages_of_user_tree(opened, root))
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
