// Folder testing/: test support only (fault-injecting and in-memory files, validators,
// hand-made database images); it may include every layer, and no production file includes it.
//
// Test support: a File in memory that can crash. Operations (writes, syncs and length
// changes) are counted; from the chosen one on every operation fails, as if the process had
// died there. What a crash leaves is the synced bytes plus any choice of the writes made since
// the last sync. A length change is durable only once a sync follows it (an extending
// ftruncate is metadata that a later write elsewhere can overtake), so a crash leaves the
// length of the last sync and drops what unsynced writes put past it.
#pragma once

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "file.h"

namespace redb::testing {

struct FaultDisk {
  struct Write {
    uint64_t offset;
    std::vector<uint8_t> data;
  };
  std::vector<uint8_t> durable;  // bytes and length as of the last sync
  std::vector<uint8_t> current;  // what reads see
  std::vector<Write> unsynced;
  uint64_t operations = 0;                 // writes, syncs and length changes done so far
  uint64_t crash_at = UINT64_MAX;          // the operation that fails first
  bool crashed() const { return operations >= crash_at; }

  // The file a crash leaves: the synced bytes plus the unsynced writes `keep` selects.
  std::vector<uint8_t> after_crash(const std::function<bool(size_t)>& keep) const {
    std::vector<uint8_t> image = durable;
    for (size_t i = 0; i < unsynced.size(); ++i) {
      if (!keep(i)) continue;
      const Write& write = unsynced[i];
      if (write.offset >= image.size()) continue;
      std::memcpy(image.data() + write.offset, write.data.data(), std::min(write.data.size(), image.size() - write.offset));
    }
    return image;
  }
};

class FaultFile final : public File {
 public:
  explicit FaultFile(std::shared_ptr<FaultDisk> disk) : disk_(std::move(disk)) {}

  Result<uint64_t> length() override { return disk_->current.size(); }
  Status read_at(uint64_t offset, std::span<uint8_t> out) override {
    if (offset > disk_->current.size() || out.size() > disk_->current.size() - offset)
      return std::unexpected(Error::io_message("failed to fill whole buffer"));
    std::memcpy(out.data(), disk_->current.data() + offset, out.size());
    return {};
  }
  Status write_at(uint64_t offset, std::span<const uint8_t> data) override {
    if (auto crashed = count(); !crashed) return crashed;
    if (offset + data.size() > disk_->current.size()) disk_->current.resize(offset + data.size());
    std::memcpy(disk_->current.data() + offset, data.data(), data.size());
    disk_->unsynced.push_back({offset, {data.begin(), data.end()}});
    return {};
  }
  Status sync_data() override {
    if (auto crashed = count(); !crashed) return crashed;
    disk_->durable = disk_->current;
    disk_->unsynced.clear();
    return {};
  }
  Status set_length(uint64_t length) override {
    if (auto crashed = count(); !crashed) return crashed;
    disk_->current.resize(length);
    return {};
  }

 private:
  Status count() {
    if (disk_->operations++ >= disk_->crash_at) return std::unexpected(Error::io_errno(EIO));
    return {};
  }
  std::shared_ptr<FaultDisk> disk_;
};

}  // namespace redb::testing
