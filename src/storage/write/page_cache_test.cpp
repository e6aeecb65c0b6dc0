// The write transaction's page cache: finished pages go out in ascending file order, adjacent
// ones gathered into one write of at most 64 KiB, each page once and only while it is finished.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "write/page_cache.h"

namespace redb::detail {
namespace {

// A file in memory that records each write as its offset and the lengths of its pieces.
class RecordingFile final : public File {
 public:
  struct Write {
    uint64_t offset;
    std::vector<size_t> pieces;
    friend bool operator==(const Write&, const Write&) = default;
  };
  std::vector<Write> writes;
  std::vector<uint8_t> bytes;

  Result<uint64_t> length() override { return bytes.size(); }
  Status read_at(uint64_t offset, std::span<uint8_t> out) override {
    if (offset + out.size() > bytes.size()) return std::unexpected(Error::io_message("failed to fill whole buffer"));
    std::memcpy(out.data(), bytes.data() + offset, out.size());
    return {};
  }
  Status write_at(uint64_t offset, std::span<const uint8_t> data) override {
    const std::span<const uint8_t> pieces[] = {data};
    return write_gathered(offset, pieces);
  }
  Status write_gathered(uint64_t offset, std::span<const std::span<const uint8_t>> pieces) override {
    Write write{offset, {}};
    for (std::span<const uint8_t> piece : pieces) {
      if (offset + piece.size() > bytes.size()) bytes.resize(offset + piece.size());
      std::memcpy(bytes.data() + offset, piece.data(), piece.size());
      offset += piece.size();
      write.pieces.push_back(piece.size());
    }
    writes.push_back(std::move(write));
    return {};
  }
  Status sync_data() override { return {}; }
  Status set_length(uint64_t length) override {
    bytes.resize(length);
    return {};
  }
};

PageNumber page(uint32_t index, uint8_t order = 0) { return PageNumber{0, index, order}; }

TEST(PageCache, FinishedPagesGoOutInFileOrderGathered) {
  RecordingFile file;
  const DatabaseLayout layout = DatabaseLayout::initial();
  PageCache cache(file, layout);
  auto fill = [&](PageNumber number, uint8_t pattern) {
    uint8_t* data = cache.create(number);
    std::memset(data, pattern, number.byte_length());
  };
  // Base pages 3, 4, 5 adjacent; 7 alone; 9 followed by the order-1 page 5 (base pages 10
  // and 11); 20 adjacent pages from 30 on, more than one write may carry.
  const std::vector<PageNumber> pages = {page(9), page(3), page(5, 1), page(5), page(7), page(4)};
  for (size_t i = 0; i < pages.size(); ++i) fill(pages[i], static_cast<uint8_t>(0x10 + i));
  for (uint32_t index = 30; index < 50; ++index) fill(page(index), static_cast<uint8_t>(index));
  for (PageNumber number : pages) cache.finish(number);
  for (uint32_t index = 49; index >= 30; --index) cache.finish(page(index));
  // Page 4, finished, is changed again and finished again: written once, as it is last.
  ASSERT_TRUE(cache.load(page(4)));
  EXPECT_EQ(cache.resident(page(4)), *cache.load(page(4)));
  (*cache.load(page(4)))[0] = 0x44;
  cache.finish(page(4));
  // Page 12 is freed after it was finished; page 13 is freed and allocated again, resident.
  fill(page(12), 0x12);
  cache.finish(page(12));
  cache.discard(page(12));
  fill(page(13), 0x13);
  cache.finish(page(13));
  fill(page(13), 0x31);

  ASSERT_TRUE(cache.write_finished());
  auto at = [&](uint32_t index) { return layout.page_offset(0, index, 0); };
  const std::vector<RecordingFile::Write> expected = {
      {at(3), {4096, 4096, 4096}},
      {at(7), {4096}},
      {at(9), {4096, 8192}},
      {at(30), std::vector<size_t>(16, 4096)},
      {at(46), std::vector<size_t>(4, 4096)},
  };
  EXPECT_EQ(file.writes, expected);
  EXPECT_EQ(file.bytes[at(4)], 0x44);
  EXPECT_EQ(file.bytes[at(4) + 1], 0x15);
  EXPECT_EQ(file.bytes[layout.page_offset(0, 5, 1) + 8191], 0x12);
  // Only the resident page 13 is still held; nothing finished is left.
  EXPECT_EQ(cache.held_bytes(), 4096u);
  ASSERT_NE(cache.resident(page(13)), nullptr);
  EXPECT_EQ(cache.resident(page(13))[0], 0x31);
  file.writes.clear();
  ASSERT_TRUE(cache.write_finished());
  EXPECT_TRUE(file.writes.empty());
}

}  // namespace
}  // namespace redb::detail
