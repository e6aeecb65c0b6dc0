// Test support: damage to a table's B-tree that only its shape shows. The file stays cleanly
// closed and its checksums are left as they were, so an open trusts it without verifying.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string_view>
#include <vector>

#include "format/little_endian.h"
#include "testing/on_disk.h"

namespace redb::testing {

// Finds the first branch of `table` (going down child 0 from the root) whose children are
// branches over leaves, and points its child 1 at that child's first leaf: a leaf one level
// down, so that the rest of that child's subtree is lost to a reader and the leaf sits one
// level above the others. The tree must be at least three levels deep.
inline void point_child_one_level_down(const std::filesystem::path& path, std::string_view table) {
  uint64_t patch_offset = 0;
  std::string patch(8, '\0');
  {
    redb::testing::OpenedFile opened = redb::testing::open_raw(path);
    ASSERT_TRUE(opened.file);
    const redb::detail::PageSource source = opened.source();
    auto record = redb::detail::find_in_tree(source, opened.header.primary().user_root->root, {},
                                             redb::detail::KeyOrder::text, table);
    ASSERT_TRUE(record && *record);
    auto definition = redb::parse_table_definition(**record, table);
    ASSERT_TRUE(definition && definition->root);
    const auto key_width = definition->tree_widths().key;
    redb::PageNumber page = definition->root->root;
    std::vector<uint8_t> bytes, child_bytes, grandchild_bytes;
    for (;;) {
      ASSERT_TRUE(source.read(page, bytes));
      auto branch = redb::BranchView::open(bytes, key_width);
      ASSERT_TRUE(branch) << "the tree is less than three levels deep";
      ASSERT_TRUE(source.read(branch->child_page(0), child_bytes));
      auto child = redb::BranchView::open(child_bytes, key_width);
      ASSERT_TRUE(child) << "the tree is less than three levels deep";
      ASSERT_TRUE(source.read(child->child_page(0), grandchild_bytes));
      if (redb::page_type(grandchild_bytes) != redb::leaf_page_type) {
        page = branch->child_page(0);
        continue;
      }
      ASSERT_TRUE(source.read(branch->child_page(1), child_bytes));
      auto second = redb::BranchView::open(child_bytes, key_width);
      ASSERT_TRUE(second);
      patch_offset = page.offset_in(opened.header.layout) + 8 + 16 * branch->child_count() + 8 * 1;
      redb::store_u64(reinterpret_cast<uint8_t*>(patch.data()), second->child_page(0).to_raw());
      break;
    }
  }
  std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
  file.seekp(static_cast<std::streamoff>(patch_offset));
  file.write(patch.data(), static_cast<std::streamsize>(patch.size()));
  ASSERT_TRUE(file.good());
}

}  // namespace redb::testing
