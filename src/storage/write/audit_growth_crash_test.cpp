// Crash safety of a commit that grows the file, on a disk where a length change is durable
// only once a sync follows it (an extending ftruncate is metadata, which an in-place write of
// the header page can overtake). The header write that names the larger layout then may land
// while the growth does not, leaving a file shorter than its header's layout: the real library
// panics on such a file, this one refuses it. Keeping the old layout fields in the first of the
// commit's two header writes (its primary is still the previous commit, which the old length
// holds) avoids that: the second header write comes after a sync, which made the growth durable.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "redb.h"
#include "testing/fault_file.h"

namespace redb {
namespace {

using testing::FaultDisk;
using testing::FaultFile;

const TableDefinition blobs{"blobs", TypeDesc::scalar(Scalar::bytes), TypeDesc::scalar(Scalar::bytes)};

Status write_blobs(Database& database, int first, int count, size_t size) {
  auto transaction = database.begin_write();
  if (!transaction) return std::unexpected(transaction.error());
  {
    auto table = transaction->open_table(blobs);
    if (!table) return std::unexpected(table.error());
    for (int i = first; i < first + count; ++i)
      if (auto inserted = table->insert("blob-" + std::to_string(i), std::string(size, 'b')); !inserted)
        return std::unexpected(inserted.error());
  }
  return transaction->commit();
}

// A commit that grows the file, cut at any write or sync on a disk where a length change is
// durable only at the next sync, never leaves a header naming a layout longer than the file.
TEST(AuditGrowthCrash, ACutGrowingCommitNeverLeavesAFileShorterThanItsLayout) {
  std::vector<uint8_t> base;
  {
    auto disk = std::make_shared<FaultDisk>();
    auto database = Database::create_file(std::make_unique<FaultFile>(disk));
    ASSERT_TRUE(database) << database.error().text;
    ASSERT_TRUE(write_blobs(*database, 0, 4, 1000));
    base = disk->current;
  }
  size_t refused = 0;
  for (uint64_t crash_at = 0;; ++crash_at) {
    auto disk = std::make_shared<FaultDisk>();
    disk->durable = disk->current = base;
    bool finished;
    {
      auto database = Database::open_file(std::make_unique<FaultFile>(disk));
      ASSERT_TRUE(database) << database.error().text;
      disk->crash_at = crash_at;
      // 3 MB of values: the 1 MB file must grow.
      finished = static_cast<bool>(write_blobs(*database, 100, 48, 64 << 10));
    }
    if (finished) break;
    auto image = disk->after_crash([](size_t) { return true; });
    auto reopened = Database::open_file(std::make_unique<FaultFile>(std::make_shared<FaultDisk>(FaultDisk{image, image, {}})));
    if (!reopened) {
      ++refused;
      ADD_FAILURE() << "cut at " << crash_at << ": " << reopened.error().text;
    }
  }
  EXPECT_EQ(refused, 0u);
}

}  // namespace
}  // namespace redb
