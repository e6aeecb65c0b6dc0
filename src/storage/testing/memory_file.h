// A File held in memory, for tests that open many damaged variants of a database image.
#pragma once

#include <cstring>
#include <span>
#include <vector>

#include "file.h"

namespace redb::testing {

class MemoryFile final : public File {
 public:
  // Owns `bytes`.
  explicit MemoryFile(std::vector<uint8_t> bytes) : owned_(std::move(bytes)), bytes_(owned_) {}
  // Reads `bytes`, which must outlive the file.
  static std::unique_ptr<MemoryFile> view(std::span<const uint8_t> bytes) {
    return std::unique_ptr<MemoryFile>(new MemoryFile(bytes));
  }

  Result<uint64_t> length() override { return bytes_.size(); }
  Status read_at(uint64_t offset, std::span<uint8_t> out) override {
    if (offset > bytes_.size() || out.size() > bytes_.size() - offset)
      return std::unexpected(Error::io_message("failed to fill whole buffer"));
    std::memcpy(out.data(), bytes_.data() + offset, out.size());
    return {};
  }
  Status write_at(uint64_t, std::span<const uint8_t>) override { return std::unexpected(refused()); }
  Status sync_data() override { return std::unexpected(refused()); }
  Status set_length(uint64_t) override { return std::unexpected(refused()); }

 private:
  explicit MemoryFile(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  // The read side must never write; a write shows up as a failed test.
  static Error refused() { return Error{"memory file: write refused"}; }
  std::vector<uint8_t> owned_;
  std::span<const uint8_t> bytes_;
};

}  // namespace redb::testing
