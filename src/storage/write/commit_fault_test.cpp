// Crash safety of commits: the commit is cut at each write and each sync, the unsynced writes
// are dropped or kept, and the file is opened again. It must hold exactly the previous
// committed state or the new one, never a mix and never a broken file.
#include <gtest/gtest.h>

#include <map>

#include "redb.h"
#include "testing/fault_file.h"
#include "testing/write_validator.h"
#include "write/page_cache.h"

namespace redb {
namespace {

using testing::FaultDisk;
using testing::FaultFile;

const TableDefinition graph_meta{"graph_meta", TypeDesc::scalar(Scalar::str), TypeDesc::scalar(Scalar::bytes)};
const TableDefinition blobs{"blobs", TypeDesc::scalar(Scalar::bytes), TypeDesc::scalar(Scalar::bytes)};

using Content = std::map<std::string, std::map<std::string, std::string>>;

std::shared_ptr<FaultDisk> disk_with(std::vector<uint8_t> image) {
  auto disk = std::make_shared<FaultDisk>();
  disk->durable = disk->current = std::move(image);
  return disk;
}

Result<Content> content_of(Database& database) {
  auto read = database.begin_read();
  if (!read) return std::unexpected(read.error());
  auto tables = read->list_tables();
  if (!tables) return std::unexpected(tables.error());
  Content content;
  for (const StoredTable& table : *tables) {
    auto& rows = content[table.name];
    auto scan = read->scan_stored(table.name);
    if (!scan) return std::unexpected(scan.error());
    for (;;) {
      auto more = scan->next();
      if (!more) return std::unexpected(more.error());
      if (!*more) break;
      rows.emplace(scan->key(), scan->value());
    }
  }
  return content;
}

Result<Content> content_of_image(std::vector<uint8_t> image) {
  auto database = Database::open_file(std::make_unique<FaultFile>(disk_with(std::move(image))));
  if (!database) return std::unexpected(database.error());
  return content_of(*database);
}

uint64_t layout_length_of(const std::vector<uint8_t>& image) {
  auto header = parse_super_header(std::span(image).first<super_header_size>());
  return header ? header->layout.length() : 0;
}

// One transaction that grows the file, spills pages, replaces committed rows and frees pages
// at the end of the file.
Status write_second_commit(Database& database, Content& expected) {
  auto transaction = database.begin_write();
  if (!transaction) return std::unexpected(transaction.error());
  {
    auto meta = transaction->open_table(graph_meta);
    if (!meta) return std::unexpected(meta.error());
    for (int i = 0; i < 400; i += 3) {
      std::string key = "graph-" + std::to_string(i), value = "second " + std::to_string(i);
      if (auto inserted = meta->insert(key, value); !inserted) return std::unexpected(inserted.error());
      expected["graph_meta"][key] = value;
    }
    auto big = transaction->open_table(blobs);
    if (!big) return std::unexpected(big.error());
    // Large values first, replaced by smaller ones below: the file grows for pages that are
    // free again at the commit, which then trims the file.
    for (int i = 0; i < 12; ++i)
      if (auto inserted = big->insert(std::string(1, static_cast<char>(i)), std::string(300000, 'x')); !inserted)
        return std::unexpected(inserted.error());
    for (int i = 0; i < 12; ++i) {
      std::string key(1, static_cast<char>(i)), value(40000 + 1000 * i, static_cast<char>('a' + i));
      if (auto inserted = big->insert(key, value); !inserted) return std::unexpected(inserted.error());
      expected["blobs"][key] = value;
    }
  }
  return transaction->commit();
}

TEST(CommitCrash, EveryCutLeavesThePreviousOrTheNewCommit) {
  // State A: a created database with one commit.
  auto base_disk = std::make_shared<FaultDisk>();
  Content previous;
  {
    auto database = Database::create_file(std::make_unique<FaultFile>(base_disk));
    ASSERT_TRUE(database) << database.error().text;
    auto transaction = database->begin_write();
    ASSERT_TRUE(transaction);
    {
      auto meta = transaction->open_table(graph_meta);
      ASSERT_TRUE(meta);
      for (int i = 0; i < 400; ++i) {
        std::string key = "graph-" + std::to_string(i), value = "first " + std::to_string(i);
        ASSERT_TRUE(meta->insert(key, value));
        previous["graph_meta"][key] = value;
      }
    }
    ASSERT_TRUE(transaction->commit());
  }
  const std::vector<uint8_t> clean_base = base_disk->current;
  detail::dirty_page_budget = 48 << 10;  // the transaction writes pages out before its commit
  Content next = previous;
  {
    auto database = Database::open_file(std::make_unique<FaultFile>(disk_with(clean_base)));
    ASSERT_TRUE(database);
    ASSERT_TRUE(write_second_commit(*database, next));
  }
  // Our own clean file, and the same file as the library leaves it when it crashes after a
  // one-phase commit (recovery bit set, two-phase bit clear): there a newer slot with a valid
  // checksum would be preferred, so it must not be visible before its pages are durable.
  for (bool after_one_phase_crash : {false, true}) {
    SCOPED_TRACE(after_one_phase_crash ? "base after a one-phase crash" : "clean base");
    std::vector<uint8_t> base = clean_base;
    if (after_one_phase_crash) base[9] = static_cast<uint8_t>((base[9] & god_primary_bit) | god_recovery_required);
    size_t cuts = 0, saw_previous = 0, saw_next = 0, saw_untrimmed = 0;
    for (uint64_t crash_at = 0;; ++crash_at) {
      auto disk = disk_with(base);
      bool finished = false;
      {
        auto database = Database::open_file(std::make_unique<FaultFile>(disk));
        ASSERT_TRUE(database) << database.error().text;
        disk->crash_at = crash_at;
        Content expected = previous;
        finished = static_cast<bool>(write_second_commit(*database, expected));
        if (!finished) {
          // After the failure this database writes no more; its readers still see the old commit.
          auto again = database->begin_write();
          ASSERT_FALSE(again);
          EXPECT_EQ(again.error().text, "Previous I/O error occurred. Please close and re-open the database.");
          auto seen = content_of(*database);
          ASSERT_TRUE(seen) << seen.error().text;
          EXPECT_EQ(*seen, previous);
        }
      }
      if (!disk->crashed()) {
        ASSERT_TRUE(finished);
        auto content = content_of_image(disk->current);
        ASSERT_TRUE(content) << content.error().text;
        EXPECT_EQ(*content, next);
        FaultFile file(disk_with(disk->current));
        auto validated = testing::WriteValidator(file, testing::every_table_in_bytes_order).run();
        EXPECT_TRUE(validated) << validated.error().text;
        break;
      }
      // A cut at the truncate that follows the flip leaves the commit done and the file longer.
      ++cuts;
      std::vector<std::function<bool(size_t)>> policies = {
          [](size_t) { return false; }, [](size_t) { return true; }, [](size_t i) { return i % 2 == 0; }};
      for (size_t policy = 0; policy < policies.size(); ++policy) {
        SCOPED_TRACE("cut at " + std::to_string(crash_at) + " policy " + std::to_string(policy));
        std::vector<uint8_t> image = disk->after_crash(policies[policy]);
        auto content = content_of_image(image);
        ASSERT_TRUE(content) << content.error().text;
        if (*content == previous) {
          ++saw_previous;
        } else if (*content == next) {
          ++saw_next;
          // Cut after the flip, before the trim: longer than the layout by whole pages, opened
          // without the full repair, and valid once the extra pages are cut.
          uint64_t layout_length = layout_length_of(image);
          ASSERT_GE(image.size(), layout_length);
          if (image.size() > layout_length) {
            ++saw_untrimmed;
            EXPECT_EQ((image.size() - layout_length) % 4096, 0u);
            auto longer = disk_with(image);
            {
              auto database = Database::open_file(std::make_unique<FaultFile>(longer));
              ASSERT_TRUE(database);
              EXPECT_FALSE(database->needs_full_repair());
              // The next commit into it takes the extra pages as free space and trims them.
              auto transaction = database->begin_write();
              ASSERT_TRUE(transaction);
              {
                auto meta = transaction->open_table(graph_meta);
                ASSERT_TRUE(meta);
                ASSERT_TRUE(meta->insert("graph-after", "after"));
              }
              ASSERT_TRUE(transaction->commit());
            }
            FaultFile written(disk_with(longer->current));
            auto validated = testing::WriteValidator(written, testing::every_table_in_bytes_order).run();
            EXPECT_TRUE(validated) << validated.error().text;
            Content after = next;
            after["graph_meta"]["graph-after"] = "after";
            auto content = content_of_image(longer->current);
            ASSERT_TRUE(content) << content.error().text;
            EXPECT_EQ(*content, after);
            image.resize(layout_length);
          }
          FaultFile file(disk_with(image));
          auto validated = testing::WriteValidator(file, testing::every_table_in_bytes_order).run();
          EXPECT_TRUE(validated) << validated.error().text;
        } else {
          ADD_FAILURE() << "neither the previous nor the new commit";
        }
      }
    }
    EXPECT_GT(cuts, 20u);
    EXPECT_GT(saw_previous, 0u);
    EXPECT_GT(saw_next, 0u);        // cuts after the flip's write
    EXPECT_GT(saw_untrimmed, 0u);  // the commit trims the file, and a cut can come before that
  }
  detail::dirty_page_budget = detail::default_dirty_page_budget;
}

TEST(CommitCrash, ACutCreateLeavesNoDatabaseOrAValidEmptyOne) {
  for (uint64_t crash_at = 0;; ++crash_at) {
    auto disk = std::make_shared<FaultDisk>();
    disk->crash_at = crash_at;
    bool created = static_cast<bool>(Database::create_file(std::make_unique<FaultFile>(disk)));
    for (bool keep : {false, true}) {
      auto image = disk->after_crash([keep](size_t) { return keep; });
      auto database = Database::open_file(std::make_unique<FaultFile>(disk_with(image)));
      if (!database) {
        EXPECT_FALSE(created);
        EXPECT_EQ(database.error().text, "I/O error: invalid data");
        continue;
      }
      auto content = content_of(*database);
      ASSERT_TRUE(content) << content.error().text;
      EXPECT_TRUE(content->empty());
      EXPECT_FALSE(database->needs_full_repair());
    }
    if (created) break;
  }
}

}  // namespace
}  // namespace redb
