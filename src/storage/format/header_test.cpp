// Checksums, page numbers and the super header.
#include "format/header.h"

#include <gtest/gtest.h>

#include "format/checksum.h"
#include "testing/bytes.h"

namespace redb {
namespace {

using testing::from_hex;
using testing::to_hex;

std::string stored(const Checksum& checksum) {
  return to_hex(std::string_view(reinterpret_cast<const char*>(checksum.bytes.data()), 16));
}

TEST(Checksum, StoresLowHalfFirstLittleEndian) {
  EXPECT_EQ(stored(checksum_of({})), "7f498d4624c30160d8984701d306aa99");
}

TEST(CommitSlot, MatchesReferenceChecksums) {
  std::array<uint8_t, commit_slot_size> bytes{};
  CommitSlot slot;
  slot.transaction_id = 0;
  slot.store(bytes.data());
  EXPECT_EQ(to_hex(std::string_view(reinterpret_cast<const char*>(bytes.data()) + 112, 16)),
            "1a6ab5ef61d1808d072c039386fbbc3f");
  slot.transaction_id = 1;
  slot.store(bytes.data());
  EXPECT_EQ(to_hex(std::string_view(reinterpret_cast<const char*>(bytes.data()) + 112, 16)),
            "df1543f4d8ab0df747fd5796f08decbf");
  EXPECT_TRUE(CommitSlot::load(bytes.data()).checksum_valid);
  bytes[104] ^= 1;
  EXPECT_FALSE(CommitSlot::load(bytes.data()).checksum_valid);
}

TEST(PageNumber, PacksAndMasksByOrder) {
  struct Case {
    uint64_t raw;
    uint32_t region, index;
    uint8_t order;
  };
  for (const Case& c : {Case{0x0000000000000100, 0, 256, 0}, Case{0x1000000000000003, 0, 3, 2},
                        Case{(1ull << 59) | (5ull << 20) | 0x7FFFF, 5, 0x7FFFF, 1},
                        Case{(20ull << 59) | (3ull << 20), 3, 0, 20}}) {
    PageNumber page = PageNumber::from_raw(c.raw);
    EXPECT_EQ(page.region, c.region);
    EXPECT_EQ(page.index, c.index);
    EXPECT_EQ(page.order, c.order);
    EXPECT_EQ(page.to_raw(), c.raw);
  }
  // The index bits above 20 - order are ignored on read, and so are the reserved bits.
  PageNumber masked = PageNumber::from_raw((1ull << 59) | (1ull << 45) | 0xFFFFF);
  EXPECT_EQ(masked.index, 0x7FFFFu);
  EXPECT_EQ(masked.region, 0u);
  EXPECT_EQ(PageNumber::from_raw(20ull << 59 | 0xFFFFF).index, 0u);
}

TEST(PageNumber, OffsetsFollowTheRegionGeometry) {
  DatabaseLayout layout;  // 4096-byte pages, 2^20-page regions, no region header
  EXPECT_EQ(PageNumber::from_raw(0x100).offset_in(layout), 1052672u);
  EXPECT_EQ(PageNumber::from_raw(0x1000000000000003).offset_in(layout), 4096u + 3 * 16384);
  EXPECT_EQ((PageNumber{2, 1, 0}.offset_in(layout)), 4096u + 2 * (4096ull << 20) + 4096);
  layout.region_header_pages = 3;
  EXPECT_EQ((PageNumber{1, 0, 0}.offset_in(layout)), 4096u + ((1ull << 20) + 3) * 4096 + 3 * 4096);
}

std::array<uint8_t, super_header_size> fresh_header_bytes() {
  SuperHeader header;
  header.god_byte = god_two_phase_commit;
  header.layout.trailing_region_data_pages = 257;
  header.slots[1].transaction_id = 1;
  header.god_byte |= god_primary_bit;
  return serialize_super_header(header);
}

TEST(SuperHeader, SerializesTheReferenceBytesAndParsesThemBack) {
  auto bytes = fresh_header_bytes();
  bytes[9] = 0x04;
  std::string expected = from_hex("72656462 1a0aa90d 0a 04 0000 00100000 00000000 00001000 00000000 01010000");
  expected.resize(64, '\0');
  EXPECT_EQ(std::string_view(reinterpret_cast<const char*>(bytes.data()), 64), expected);
  bytes[9] = 0x05;
  auto header = parse_super_header(bytes);
  ASSERT_TRUE(header);
  EXPECT_TRUE(header->two_phase_commit());
  EXPECT_FALSE(header->recovery_required());
  EXPECT_EQ(header->primary_index(), 1u);
  EXPECT_EQ(header->primary().transaction_id, 1u);
  EXPECT_TRUE(header->primary().checksum_valid);
  EXPECT_FALSE(header->primary().user_root);
  EXPECT_EQ(header->layout.length(), 1056768u);
  EXPECT_EQ(serialize_super_header(*header), bytes);
  auto without_magic = serialize_super_header(*header, false);
  EXPECT_FALSE(has_magic(without_magic));
  EXPECT_TRUE(has_magic(bytes));
}

TEST(SuperHeader, VersionBytesOfBothSlotsAreCheckedSlotZeroFirst) {
  struct Case {
    uint8_t slot0, slot1;
    const char* error;  // nullptr: accepted
  };
  const Case cases[] = {
      {3, 3, nullptr},
      {2, 3, "Manual upgrade required. Expected file format version 3, but file is version 2"},
      {3, 1, "Manual upgrade required. Expected file format version 3, but file is version 1"},
      {0, 3, "DB corrupted: Expected file format version <= 3, found 0"},
      {3, 255, "DB corrupted: Expected file format version <= 3, found 255"},
      {4, 2, "DB corrupted: Expected file format version <= 3, found 4"},
      {2, 4, "Manual upgrade required. Expected file format version 3, but file is version 2"},
  };
  for (const Case& c : cases) {
    auto bytes = fresh_header_bytes();
    bytes[64] = c.slot0;
    bytes[192] = c.slot1;
    auto header = parse_super_header(bytes);
    if (c.error == nullptr) {
      EXPECT_TRUE(header) << int(c.slot0) << "/" << int(c.slot1);
    } else {
      ASSERT_FALSE(header);
      EXPECT_EQ(header.error().text, c.error);
    }
  }
}

TEST(SuperHeader, GeometryTheLibraryWouldAssertOnIsAnError) {
  struct Case {
    const char* name;
    void (*change)(SuperHeader&);
    uint64_t file_length;
    const char* error;
  };
  const Case cases[] = {
      {"default", [](SuperHeader&) {}, 1056768, nullptr},
      {"longer by pages", [](SuperHeader&) {}, 1056768 + 4096, nullptr},
      {"page size", [](SuperHeader& h) { h.layout.page_size = 8192; }, 1056768,
       "DB corrupted: unsupported page size 8192 (expected 4096)"},
      {"zero region", [](SuperHeader& h) { h.layout.region_max_data_pages = 0; }, 1056768,
       "DB corrupted: invalid region size of 0 pages"},
      {"no region", [](SuperHeader& h) { h.layout.trailing_region_data_pages = 0; }, 1056768,
       "DB corrupted: the header describes no region"},
      {"short file", [](SuperHeader&) {}, 1056768 - 4096,
       "DB corrupted: file length 1052672 is shorter than the layout length 1056768"},
  };
  for (const Case& c : cases) {
    SuperHeader header;
    header.layout.trailing_region_data_pages = 257;
    c.change(header);
    auto status = check_geometry(header, c.file_length);
    if (c.error == nullptr) EXPECT_TRUE(status) << c.name;
    else EXPECT_EQ(status.error().text, c.error) << c.name;
  }
}

TEST(SuperHeader, RecalculatesTheLayoutFromTheFileLength) {
  DatabaseLayout stored;
  stored.trailing_region_data_pages = 257;
  EXPECT_EQ(recalculate_layout(stored, 1056768 + 4096).trailing_region_data_pages, 258u);
  DatabaseLayout partial = recalculate_layout(stored, 1056768 + 100);
  EXPECT_EQ(partial.length(), 1056768u);  // the partial page is dropped, so the lengths differ
  DatabaseLayout two = recalculate_layout(stored, 4096 + (4096ull << 20) + 5 * 4096);
  EXPECT_EQ(two.num_full_regions, 1u);
  EXPECT_EQ(two.trailing_region_data_pages, 5u);
  DatabaseLayout exact = recalculate_layout(stored, 4096 + (4096ull << 20));
  EXPECT_EQ(exact.num_full_regions, 1u);
  EXPECT_EQ(exact.trailing_region_data_pages, 0u);
}

}  // namespace
}  // namespace redb
