// Read transactions that live across later commits of the same database: the pages they read
// are neither reused nor cut off while they live, and are reused once they are released.
#include <gtest/gtest.h>

#include <cstring>
#include <map>

#include "redb.h"
#include "testing/fault_file.h"
#include "testing/write_validator.h"
#include "write/write_state.h"

namespace redb {
namespace {

using testing::FaultDisk;
using testing::FaultFile;
using Rows = std::map<std::string, std::string>;

const TableDefinition store{"semantic_store", TypeDesc::scalar(Scalar::str), TypeDesc::scalar(Scalar::bytes)};

std::string key_of(int i) { return "graph-" + std::to_string(100 + i); }

// Writes `rows` over the table in one commit.
void commit_rows(Database& database, const Rows& rows) {
  auto transaction = database.begin_write();
  ASSERT_TRUE(transaction) << transaction.error().text;
  {
    auto table = transaction->open_table(store);
    ASSERT_TRUE(table) << table.error().text;
    for (const auto& [key, value] : rows) ASSERT_TRUE(table->insert(key, value));
  }
  auto committed = transaction->commit();
  ASSERT_TRUE(committed) << committed.error().text;
}

Rows scan(const ReadTransaction& read) {
  Rows rows;
  auto table = read.open_table(store);
  EXPECT_TRUE(table) << table.error().text;
  if (!table) return rows;
  auto cursor = table->scan();
  EXPECT_TRUE(cursor);
  for (;;) {
    auto more = cursor->next();
    EXPECT_TRUE(more) << more.error().text;
    if (!more || !*more) break;
    rows.emplace(cursor->key(), cursor->value());
  }
  return rows;
}

// Every base page in use by the image's primary commit.
std::vector<PageNumber> pages_in_use(const std::vector<uint8_t>& image, DatabaseLayout& layout) {
  auto disk = std::make_shared<FaultDisk>();
  disk->durable = disk->current = image;
  FaultFile file(disk);
  auto header = parse_super_header(std::span(image).first<super_header_size>());
  EXPECT_TRUE(header);
  layout = header->layout;
  auto allocator = detail::rebuild_allocator(file, layout, header->primary());
  EXPECT_TRUE(allocator) << allocator.error().text;
  std::vector<PageNumber> pages;
  for (uint32_t region = 0; region < allocator->region_count(); ++region)
    for (uint32_t index = 0; index < allocator->region_pages(region); ++index)
      if (!allocator->is_free(PageNumber{region, index, 0})) pages.push_back(PageNumber{region, index, 0});
  return pages;
}

size_t changed_pages(const std::vector<PageNumber>& pages, const DatabaseLayout& layout, const std::vector<uint8_t>& before,
                     const std::vector<uint8_t>& after) {
  size_t changed = 0;
  for (PageNumber page : pages) {
    uint64_t offset = layout.page_offset(page.region, page.index, 0);
    if (offset + page_size > after.size() || std::memcmp(before.data() + offset, after.data() + offset, page_size) != 0)
      ++changed;
  }
  return changed;
}

// Two later commits replace the rows the readers see: overwrites, and deletes-by-overwrite
// (large values replaced by a few bytes), in both orders.
TEST(ReadIsolation, ReadersKeepTheirCommitThroughLaterWritesAndItsPagesAreReusedAfterwards) {
  for (auto [second_large, third_large] : {std::pair<size_t, size_t>{60000, 10}, std::pair<size_t, size_t>{10, 60000}}) {
    SCOPED_TRACE(second_large);
    auto disk = std::make_shared<FaultDisk>();
    auto database = Database::create_file(std::make_unique<FaultFile>(disk));
    ASSERT_TRUE(database) << database.error().text;
    // Small rows and large values (pages of higher order), so that the commits free both kinds.
    auto rows_of = [](char fill, size_t large) {
      Rows rows;
      for (int i = 0; i < 60; ++i)
        rows[key_of(i)] = std::string(i % 4 == 0 ? large + i : 100 + i, static_cast<char>(fill + i % 7));
      return rows;
    };
    const Rows first = rows_of('a', 60000);
    commit_rows(*database, first);
    const std::vector<uint8_t> first_image = disk->current;
    DatabaseLayout layout;
    const std::vector<PageNumber> first_pages = pages_in_use(first_image, layout);

    {
      auto first_reader = database->begin_read();
      ASSERT_TRUE(first_reader);
      const Rows second = rows_of('k', second_large);
      commit_rows(*database, second);
      auto second_reader = database->begin_read();
      ASSERT_TRUE(second_reader);
      const Rows third = rows_of('r', third_large);
      commit_rows(*database, third);

      EXPECT_TRUE(scan(*first_reader) == first) << "the first reader sees other rows";
      EXPECT_TRUE(scan(*second_reader) == second) << "the second reader sees other rows";
      // Neither reused nor cut off by a trim.
      EXPECT_EQ(changed_pages(first_pages, layout, first_image, disk->current), 0u);
      auto reader_of_latest = database->begin_read();
      ASSERT_TRUE(reader_of_latest);
      EXPECT_TRUE(scan(*reader_of_latest) == third);
    }

    // Released: the next commits may reuse those pages, and the file stays valid.
    commit_rows(*database, rows_of('u', 60000));
    commit_rows(*database, rows_of('x', 60000));
    EXPECT_GT(changed_pages(first_pages, layout, first_image, disk->current), 0u);
    auto validated_disk = std::make_shared<FaultDisk>();
    validated_disk->durable = validated_disk->current = disk->current;
    FaultFile file(validated_disk);
    auto validated = testing::WriteValidator(file, testing::every_table_in_bytes_order).run();
    EXPECT_TRUE(validated) << validated.error().text;
  }
}

}  // namespace
}  // namespace redb
