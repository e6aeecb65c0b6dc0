// The library's page sizing and split rules, observed on the pages a tree writer produces.
#include "write/btree_insert.h"

#include <gtest/gtest.h>

#include "testing/fault_file.h"

namespace redb::detail {
namespace {

std::string u64_key(uint64_t value) {
  std::string out(8, '\0');
  for (int i = 0; i < 8; ++i) out[i] = static_cast<char>(value >> (8 * i));
  return out;
}

// A u64 -> &[u8] tree in a fresh in-memory file; pages are read back after a flush.
class TreeFixture : public ::testing::Test {
 protected:
  TreeFixture() : disk_(std::make_shared<testing::FaultDisk>()), file_(disk_), committed_(DatabaseLayout::initial()) {
    disk_->current.resize(DatabaseLayout::initial().length());
    space_.emplace(file_, committed_);
  }

  void insert(uint64_t key, size_t value_length) {
    auto inserted = writer().insert(u64_key(key), std::string(value_length, 'v'));
    ASSERT_TRUE(inserted) << inserted.error().text;
  }
  BtreeWriter writer() { return BtreeWriter(*space_, root_, widths_, EntryOrder{&key_type_, nullptr}); }

  struct Page {
    PageNumber number;
    std::vector<uint8_t> bytes;
    std::optional<LeafView> leaf;
    std::optional<BranchView> branch;
  };
  Page read(PageNumber number) {
    Page page{number, std::vector<uint8_t>(number.byte_length()), {}, {}};
    EXPECT_TRUE(space_->cache().read(number, page.bytes));
    if (page_type(page.bytes) == leaf_page_type) page.leaf = *LeafView::open(page.bytes, widths_);
    else page.branch = *BranchView::open(page.bytes, widths_.key);
    return page;
  }
  Page flushed_root() {
    EXPECT_TRUE(writer().flush());
    return read(*root_.page);
  }
  static uint64_t key_of(std::string_view bytes) {
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i) value = value << 8 | static_cast<uint8_t>(bytes[i]);
    return value;
  }

  std::shared_ptr<testing::FaultDisk> disk_;
  testing::FaultFile file_;
  PageAllocator committed_;
  std::optional<WriteSpace> space_;
  TypeDesc key_type_ = TypeDesc::scalar(Scalar::u64);
  EntryWidths widths_{8, std::nullopt};
  TreeRoot root_;
};

TEST_F(TreeFixture, LeafSplitsAtTheRunningHalfOfItsEntryBytes) {
  // Five entries of 8 + 1000 bytes make 5064 bytes: the running sum reaches half of 5040
  // after the third entry, so the left page keeps three and the separator is key 3.
  for (uint64_t key = 1; key <= 5; ++key) insert(key, 1000);
  Page root = flushed_root();
  ASSERT_TRUE(root.branch);
  ASSERT_EQ(root.branch->key_count(), 1u);
  EXPECT_EQ(key_of(root.branch->key(0)), 3u);
  Page left = read(root.branch->child_page(0)), right = read(root.branch->child_page(1));
  EXPECT_EQ(left.leaf->count(), 3u);
  EXPECT_EQ(right.leaf->count(), 2u);
  EXPECT_EQ(root_.length, 5u);
}

TEST_F(TreeFixture, AOneEntryLeafOfAPageOrMoreGetsNewKeysAsSiblings) {
  insert(5, 5000);  // one entry of 5016 bytes: an order-1 leaf
  PageNumber large = *root_.page;
  EXPECT_EQ(large.order, 1);
  insert(9, 10);  // after it: the large leaf stays left, its key the separator
  insert(1, 10);  // before it: the new leaf goes left with itself as separator
  Page root = flushed_root();
  ASSERT_TRUE(root.branch);
  ASSERT_EQ(root.branch->key_count(), 2u);
  EXPECT_EQ(key_of(root.branch->key(0)), 1u);
  EXPECT_EQ(key_of(root.branch->key(1)), 5u);
  EXPECT_EQ(root.branch->child_page(1), large);  // never rebuilt
  for (size_t j = 0; j < 3; ++j) EXPECT_EQ(read(root.branch->child_page(j)).leaf->count(), 1u);
  // Replacing the large value rebuilds its leaf; the length does not change.
  auto replaced = writer().insert(u64_key(5), std::string(20, 'r'));
  ASSERT_TRUE(replaced && *replaced);
  EXPECT_EQ(root_.length, 3u);
}

TEST_F(TreeFixture, BranchSplitsAtHalfItsKeysWithTheMiddleKeyMovingUp) {
  // Ascending 1000-byte values leave leaves of three entries; a u64 branch holds at most 127
  // keys in 4096 bytes, so the 128th separator splits it: 64 keys left, key 64 up, 63 right.
  uint64_t key = 0;
  while (true) {
    insert(++key, 1000);
    if (!root_.page) continue;
    Page root = flushed_root();
    if (root.branch && read(root.branch->child_page(0)).branch) break;
  }
  Page root = flushed_root();
  ASSERT_EQ(root.branch->key_count(), 1u);
  Page left = read(root.branch->child_page(0)), right = read(root.branch->child_page(1));
  ASSERT_TRUE(left.branch && right.branch);
  EXPECT_EQ(left.branch->key_count(), 64u);
  EXPECT_EQ(right.branch->key_count(), 63u);
  EXPECT_EQ(key_of(root.branch->key(0)), 3 * 65u);  // the separator of the 65th leaf
  EXPECT_LE(left.branch->used_length(), 4096u);
}

}  // namespace
}  // namespace redb::detail
