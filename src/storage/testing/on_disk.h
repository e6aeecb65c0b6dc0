// Test support: reading what a file's primary commit holds straight from its pages, below the
// public interface: the header, the rows of a system table, the pages a user table tree reaches.
// Failures are reported as test failures (EXPECT) and leave the result empty.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "file.h"
#include "format/header.h"
#include "format/page_layout.h"
#include "format/table_definition.h"
#include "read/tree_cursor.h"
#include "write/btree_insert.h"
#include "write/page_cache.h"
#include "write/write_state.h"

namespace redb::testing {

// A file opened (locked) for direct reads, with its parsed super header.
struct OpenedFile {
  std::unique_ptr<File> file;  // null when the file did not open
  SuperHeader header;

  detail::PageSource source() const { return {file.get(), header.layout, header.layout.length()}; }
};

inline OpenedFile open_raw(const std::filesystem::path& path) {
  OpenedFile opened;
  auto file = open_locked_file(path.string(), OpenMode::existing);
  EXPECT_TRUE(file) << file.error().text;
  if (!file) return opened;
  opened.file = std::move(*file);
  std::array<uint8_t, super_header_size> bytes;
  EXPECT_TRUE(opened.file->read_at(0, bytes));
  auto header = parse_super_header(bytes);
  EXPECT_TRUE(header) << header.error().text;
  if (header) opened.header = *header;
  return opened;
}

// The definition of the system table `name` in the primary commit; none when it is absent.
inline std::optional<StoredDefinition> system_table(const OpenedFile& opened, std::string_view name) {
  const CommitSlot& primary = opened.header.primary();
  if (!primary.system_root) return std::nullopt;
  auto record = detail::find_in_tree(opened.source(), primary.system_root->root, {}, detail::KeyOrder::text, name);
  EXPECT_TRUE(record);
  if (!record || !*record) return std::nullopt;
  auto definition = parse_table_definition(**record, name);
  EXPECT_TRUE(definition);
  if (!definition) return std::nullopt;
  return std::move(*definition);
}

// Calls `row` with every entry of the table `definition` describes, in key order.
inline void for_each_row(const OpenedFile& opened, const StoredDefinition& definition,
                         const std::function<void(std::string_view key, std::string_view value)>& row) {
  if (!definition.root) return;
  detail::PageSource source = opened.source();
  detail::PageBudget budget(source.page_count());
  detail::TreeCursor cursor(&source, &budget);
  cursor.reset(definition.root->root, definition.tree_widths());
  for (;;) {
    auto more = cursor.next();
    EXPECT_TRUE(more);
    if (!more || !*more) break;
    row(cursor.key(), cursor.value());
  }
}

// Every page the user table tree at `root` reaches: the table tree's pages and the pages of
// each table's own tree, in the order visited.
inline std::vector<PageNumber> pages_of_user_tree(const OpenedFile& opened, const BtreeHeader& root) {
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

}  // namespace redb::testing
