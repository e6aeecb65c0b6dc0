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

namespace redb {
namespace {

// What survives a crash: the bytes and the length as of the last sync, plus every write made
// since that lies within that length (blocks past it were never made part of the file).
struct SlowLengthDisk {
  std::vector<uint8_t> durable, current;
  struct Write {
    uint64_t offset;
    std::vector<uint8_t> data;
  };
  std::vector<Write> unsynced;
  uint64_t operations = 0, crash_at = UINT64_MAX;

  std::vector<uint8_t> after_crash() const {
    std::vector<uint8_t> image = durable;
    for (const Write& write : unsynced)
      for (size_t i = 0; i < write.data.size() && write.offset + i < image.size(); ++i)
        image[write.offset + i] = write.data[i];
    return image;
  }
};

class SlowLengthFile final : public File {
 public:
  explicit SlowLengthFile(std::shared_ptr<SlowLengthDisk> disk) : disk_(std::move(disk)) {}
  Result<uint64_t> length() override { return disk_->current.size(); }
  Status read_at(uint64_t offset, std::span<uint8_t> out) override {
    if (offset > disk_->current.size() || out.size() > disk_->current.size() - offset)
      return std::unexpected(Error::io_message("failed to fill whole buffer"));
    std::memcpy(out.data(), disk_->current.data() + offset, out.size());
    return {};
  }
  Status write_at(uint64_t offset, std::span<const uint8_t> data) override {
    if (auto alive = count(); !alive) return alive;
    if (offset + data.size() > disk_->current.size()) disk_->current.resize(offset + data.size());
    std::memcpy(disk_->current.data() + offset, data.data(), data.size());
    disk_->unsynced.push_back({offset, {data.begin(), data.end()}});
    return {};
  }
  Status sync_data() override {
    if (auto alive = count(); !alive) return alive;
    disk_->durable = disk_->current;
    disk_->unsynced.clear();
    return {};
  }
  Status set_length(uint64_t length) override {
    if (auto alive = count(); !alive) return alive;
    disk_->current.resize(length);
    return {};
  }

 private:
  Status count() {
    if (disk_->operations++ >= disk_->crash_at) return std::unexpected(Error::io_errno(EIO));
    return {};
  }
  std::shared_ptr<SlowLengthDisk> disk_;
};

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
    auto disk = std::make_shared<SlowLengthDisk>();
    auto database = Database::create_file(std::make_unique<SlowLengthFile>(disk));
    ASSERT_TRUE(database) << database.error().text;
    ASSERT_TRUE(write_blobs(*database, 0, 4, 1000));
    base = disk->current;
  }
  size_t refused = 0;
  for (uint64_t crash_at = 0;; ++crash_at) {
    auto disk = std::make_shared<SlowLengthDisk>();
    disk->durable = disk->current = base;
    bool finished;
    {
      auto database = Database::open_file(std::make_unique<SlowLengthFile>(disk));
      ASSERT_TRUE(database) << database.error().text;
      disk->crash_at = crash_at;
      // 3 MB of values: the 1 MB file must grow.
      finished = static_cast<bool>(write_blobs(*database, 100, 48, 64 << 10));
    }
    if (finished) break;
    auto image = disk->after_crash();
    auto reopened = Database::open_file(std::make_unique<SlowLengthFile>(std::make_shared<SlowLengthDisk>(
        SlowLengthDisk{image, image, {}, 0, UINT64_MAX})));
    if (!reopened) {
      ++refused;
      ADD_FAILURE() << "cut at " << crash_at << ": " << reopened.error().text;
    }
  }
  EXPECT_EQ(refused, 0u);
}

}  // namespace
}  // namespace redb
