// The allocation state the write side rebuilds for a file the real library wrote (pages the
// primary commit reaches, multimap sub-trees included, plus the pages of its freed-page lists)
// is the state that library saved for it: byte for byte, row by row, in every cleanly closed
// reference file. The saved rows describe the regions as they were before that commit's
// shrink, so the rebuild uses the region sizes the rows give.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "format/header.h"
#include "format/little_endian.h"
#include "format/table_definition.h"
#include "read/tree_cursor.h"
#include "redb.h"
#include "test_support/fixtures.h"
#include "write/write_state.h"

namespace redb {
namespace {

namespace fs = std::filesystem;

TEST(AuditAllocatorRebuild, MatchesTheStateTheLibrarySavedInEveryCleanFile) {
  REQUIRE_FIXTURES();
  for (std::string fixture : {"single/graph.redb", "numbered/graph-0.redb", "numbered/graph-2.redb",
                              "numbered/graph-10.redb", "wrong-types/graph.redb", "deep/graph.redb",
                              "history/graph.redb", "reference-write/empty.redb", "reference-write/six-empty-tables.redb",
                              "reference-write/graph.redb"}) {
    SCOPED_TRACE(fixture);
    auto file = open_locked_file((test_support::fixtures_dir() / fixture).string(), OpenMode::existing);
    ASSERT_TRUE(file) << file.error().text;
    std::array<uint8_t, super_header_size> bytes;
    ASSERT_TRUE((*file)->read_at(0, bytes));
    auto header = parse_super_header(bytes);
    ASSERT_TRUE(header);
    const CommitSlot& primary = header->primary();
    ASSERT_TRUE(header->two_phase_commit());

    // The library's saved rows.
    detail::PageSource source{file->get(), header->layout, header->layout.length()};
    auto record = detail::find_in_tree(source, primary.system_root->root, {}, detail::KeyOrder::text, "allocator_state");
    ASSERT_TRUE(record && *record);
    auto definition = parse_table_definition(**record, "allocator_state");
    ASSERT_TRUE(definition && definition->root);
    std::map<std::string, std::string> saved;
    detail::PageBudget budget(source.page_count());
    detail::TreeCursor cursor(&source, &budget);
    cursor.reset(definition->root->root, definition->tree_widths());
    for (;;) {
      auto more = cursor.next();
      ASSERT_TRUE(more) << more.error().text;
      if (!*more) break;
      saved[std::string(cursor.key())] = std::string(cursor.value());
    }
    std::string id = saved[allocator_state_key::encode(allocator_state_key::transaction_id_tag)];
    ASSERT_EQ(id.size(), 8u);
    ASSERT_EQ(load_u64(reinterpret_cast<const uint8_t*>(id.data())), primary.transaction_id);  // the quick path

    // Region sizes as saved (bytes 4..8 of a Region row).
    std::vector<uint32_t> region_pages;
    for (uint32_t region = 0;; ++region) {
      auto row = saved.find(allocator_state_key::encode(allocator_state_key::region_tag, region));
      if (row == saved.end()) break;
      region_pages.push_back(load_u32(reinterpret_cast<const uint8_t*>(row->second.data()) + 4));
    }
    ASSERT_FALSE(region_pages.empty());
    DatabaseLayout layout = header->layout;
    layout.num_full_regions = static_cast<uint32_t>(region_pages.size() - 1);
    layout.trailing_region_data_pages = region_pages.back();
    for (size_t region = 0; region + 1 < region_pages.size(); ++region)
      ASSERT_EQ(region_pages[region], layout.region_max_data_pages);

    auto rebuilt = detail::rebuild_allocator(**file, layout, primary);
    ASSERT_TRUE(rebuilt) << rebuilt.error().text;
    for (const auto& row : rebuilt->serialize_rows()) {
      if (row.key[0] != allocator_state_key::region_tag) continue;  // the tracker is only a hint
      ASSERT_TRUE(saved.contains(row.key));
      EXPECT_TRUE(saved[row.key] == row.value) << "Region row " << load_u32(reinterpret_cast<const uint8_t*>(row.key.data()) + 1);
    }
  }
}

}  // namespace
}  // namespace redb
