// The allocator's canonical form and its serialization, checked byte for byte against the
// allocator_state rows the real library wrote into the reference files.
#include "write/allocator.h"

#include <fstream>
#include <map>
#include <random>
#include <gtest/gtest.h>
#include <set>
#include <tuple>

#include "test_support/fixtures.h"

namespace redb {
namespace {

std::string from_hex(const std::string& hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

// The digits after `name` in a layout line ("data_pages=257" -> "257").
std::string field_of(const std::string& line, const std::string& name) {
  size_t start = line.find(name) + name.size();
  size_t end = line.find_first_not_of("0123456789", start);
  return line.substr(start, end - start);
}

struct ReferenceFile {
  std::set<std::tuple<uint32_t, uint32_t, uint8_t>> pages;  // every page in use
  std::map<std::string, std::string> allocator_rows;          // key bytes -> value bytes
  uint32_t data_pages = 0;
};

// Reads the page set and the allocator_state rows out of a reference layout.txt: every tree
// page (lines with "depth=") and every page listed in the freed-page tables.
ReferenceFile read_reference(const std::string& name) {
  std::ifstream in(test_support::fixtures_dir() / "reference-write" / name);
  ReferenceFile file;
  std::string line, table;
  while (std::getline(in, line)) {
    size_t key_at = line.find("row key="), value_at = line.find(")=");
    if (key_at == std::string::npos) {
      if (line.starts_with("  table \"")) table = line.substr(9, line.find('"', 9) - 9);
      if (line.starts_with("region 0: ")) file.data_pages = std::stoul(field_of(line, "data_pages="));
      if (line.find("depth=") != std::string::npos && line.find(" page(region=") != std::string::npos)
        file.pages.insert({static_cast<uint32_t>(std::stoul(field_of(line, "page(region="))),
                           static_cast<uint32_t>(std::stoul(field_of(line, " index="))),
                           static_cast<uint8_t>(std::stoul(field_of(line, " order=")))});
      continue;
    }
    std::string key = from_hex(line.substr(key_at + 8, line.find(' ', key_at + 8) - key_at - 8));
    std::string value = from_hex(line.substr(value_at + 2));
    if (table == "allocator_state") file.allocator_rows[key] = value;
    if (table.ends_with("_unreachable")) {
      size_t count = static_cast<uint8_t>(value[0]) | static_cast<uint8_t>(value[1]) << 8;
      for (size_t i = 0; i < count; ++i) {
        uint64_t raw = 0;
        for (int b = 0; b < 8; ++b) raw |= uint64_t{static_cast<uint8_t>(value[2 + 8 * i + b])} << (8 * b);
        uint8_t order = static_cast<uint8_t>(raw >> 59);
        file.pages.insert({static_cast<uint32_t>((raw >> 20) & 0xFFFFF),
                           static_cast<uint32_t>(raw & (0xFFFFF >> order)), order});
      }
    }
  }
  return file;
}

TEST(AllocatorState, RebuiltStateMatchesReferenceRowsByteForByte) {
  REQUIRE_FIXTURES();
  for (std::string name : {"empty.redb.layout.txt", "six-empty-tables.redb.layout.txt", "graph.redb.layout.txt"}) {
    SCOPED_TRACE(name);
    ReferenceFile reference = read_reference(name);
    ASSERT_EQ(reference.data_pages, 257u);
    ASSERT_FALSE(reference.pages.empty());
    PageAllocator allocator(DatabaseLayout::initial());
    for (auto [region, index, order] : reference.pages) ASSERT_TRUE(allocator.record_alloc({region, index, order}));
    auto rows = allocator.serialize_rows();
    auto sizes = allocator.serialized_row_sizes();
    ASSERT_EQ(rows.size(), 2u);
    for (size_t i = 0; i < rows.size(); ++i) {
      EXPECT_EQ(rows[i].value.size(), sizes[i]);
      ASSERT_TRUE(reference.allocator_rows.contains(rows[i].key));
      EXPECT_TRUE(rows[i].value == reference.allocator_rows[rows[i].key]) << "row " << i;
    }
  }
}

TEST(AllocatorState, FreshRegionSplitsFromTheLowEnd) {
  BuddyAllocator region(257, 1u << 20);
  EXPECT_EQ(region.serialized_size(), 800u);
  EXPECT_EQ(region.alloc(0), 256u);  // the lone order-0 block is used before splitting
  EXPECT_EQ(region.alloc(0), 0u);
  EXPECT_EQ(region.alloc(0), 1u);
  EXPECT_EQ(region.alloc(1), 1u);  // pages 2-3
  EXPECT_EQ(BuddyAllocator(1u << 20, 1u << 20).serialized_size(), 266960u);
  EXPECT_EQ(serialize_region_tracker(1).size(), 4036u);
}

// Any sequence of allocations and frees keeps the canonical form: the state equals the one
// rebuilt from scratch from the pages still allocated, also across growth.
TEST(AllocatorState, AllocFreeAndGrowStayCanonical) {
  // Default regions, and regions of 64 pages so that growth runs through several regions.
  for (uint32_t region_pages : {DatabaseLayout::default_region_max_data_pages, 64u}) {
    SCOPED_TRACE(region_pages);
    std::mt19937 random(7);
    DatabaseLayout layout = DatabaseLayout::calculate(37 * 4096, 4096, region_pages);
    PageAllocator allocator(layout);
    std::vector<PageNumber> live;
    size_t trims = 0;
    for (int step = 0; step < 3000; ++step) {
      if (!live.empty() && random() % 3 == 0) {
        size_t victim = random() % live.size();
        allocator.free(live[victim]);
        live.erase(live.begin() + victim);
      } else {
        uint8_t order = static_cast<uint8_t>(random() % 4 == 0 ? random() % 4 : 0);
        auto page = allocator.alloc(order);
        if (!page) {
          allocator.grow_to(allocator.layout().grown(4096u << order));
          page = allocator.alloc(order);
        }
        ASSERT_TRUE(page);
        live.push_back(*page);
      }
      if (step % 97 != 0) continue;
      auto expect_canonical = [&](const PageAllocator& state) {
        PageAllocator rebuilt(state.layout());
        for (const auto& page : live) ASSERT_TRUE(rebuilt.record_alloc(page));
        auto expected = rebuilt.serialize_rows(), actual = state.serialize_rows();
        ASSERT_EQ(expected.size(), actual.size());
        for (size_t i = 0; i < expected.size(); ++i) ASSERT_TRUE(expected[i].value == actual[i].value) << "step " << step;
      };
      expect_canonical(allocator);
      // The trim keeps every live page and 8 free pages, and cuts all it may: what is left of
      // the last region ends in an allocated page, or holds exactly the spare pages.
      PageAllocator trimmed = allocator;
      DatabaseLayout target = trimmed.trimmed_layout(8);
      ASSERT_TRUE(trimmed.shrink_to(target));
      expect_canonical(trimmed);
      if (target.length() < allocator.layout().length()) ++trims;
      if (allocator.free_pages() >= 8) {
        EXPECT_GE(trimmed.free_pages(), 8u);
        uint32_t last = trimmed.region_count() - 1;
        PageNumber last_page{last, trimmed.region_pages(last) - 1, 0};
        EXPECT_TRUE(trimmed.free_pages() == 8 || !trimmed.is_free(last_page) || trimmed.region_pages(last) == 1)
            << "step " << step;
      }
      if (step % 3 == 0) allocator = std::move(trimmed);  // go on growing from the trimmed state
    }
    EXPECT_GT(allocator.layout().usable_bytes(), 37u * 4096);
    EXPECT_GT(trims, 3u);
    if (region_pages == 64) {
      EXPECT_GT(allocator.region_count(), 3u);
    }
    EXPECT_FALSE(allocator.record_alloc(live.front()));  // recording a page twice is refused
  }
}

// Trimming with regions of 64 pages: whole free regions go, then the free tail of the last
// one, as far as 8 pages stay free.
TEST(AllocatorState, TrimDropsFreeRegionsAndCutsTheFreeTail) {
  struct Case {
    const char* name;
    uint32_t regions;
    std::vector<PageNumber> allocated;
    uint32_t expected_regions, expected_last_pages;
  };
  auto pages = [](uint32_t region, uint32_t first, uint32_t count) {
    std::vector<PageNumber> list;
    for (uint32_t i = first; i < first + count; ++i) list.push_back(PageNumber{region, i, 0});
    return list;
  };
  auto joined = [](std::vector<PageNumber> a, const std::vector<PageNumber>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  for (const Case& c : std::vector<Case>{
           {"two free regions dropped, tail cut to the spare pages", 3, pages(0, 0, 20), 1, 28},
           {"last page in use", 3, pages(0, 63, 1), 1, 64},
           {"a free region kept for the spare pages", 2, pages(0, 0, 64), 2, 8},
           {"fewer free pages than the spare ones", 1, pages(0, 0, 59), 1, 64},
           {"free pages elsewhere let the tail go", 2, joined(pages(0, 8, 56), pages(1, 0, 3)), 2, 3},
           {"an empty file keeps one page", 2, {}, 1, 8},
       }) {
    SCOPED_TRACE(c.name);
    PageAllocator allocator(DatabaseLayout::calculate(uint64_t{c.regions} * 64 * 4096, 4096, 64));
    ASSERT_EQ(allocator.region_count(), c.regions);
    for (PageNumber page : c.allocated) ASSERT_TRUE(allocator.record_alloc(page));
    DatabaseLayout target = allocator.trimmed_layout(8);
    EXPECT_EQ(target.region_count(), c.expected_regions);
    EXPECT_EQ(target.region_data_pages(target.region_count() - 1), c.expected_last_pages);
    ASSERT_TRUE(allocator.shrink_to(target));
    PageAllocator rebuilt(target);
    for (PageNumber page : c.allocated) ASSERT_TRUE(rebuilt.record_alloc(page));
    EXPECT_TRUE(allocator.serialize_rows()[target.region_count() - 1].value ==
                rebuilt.serialize_rows()[target.region_count() - 1].value);
  }
  // A layout that would cut an allocated page is refused.
  PageAllocator allocator(DatabaseLayout::calculate(64 * 4096, 4096, 64));
  ASSERT_TRUE(allocator.record_alloc(PageNumber{0, 40, 0}));
  DatabaseLayout short_layout = allocator.layout();
  short_layout.trailing_region_data_pages = 40;
  EXPECT_FALSE(allocator.shrink_to(short_layout));
  EXPECT_EQ(allocator.layout().trailing_region_data_pages, 64u);
}

TEST(Layout, InitialLayoutAndGrowthFollowTheLibrary) {
  DatabaseLayout layout = DatabaseLayout::initial();
  EXPECT_EQ(layout.trailing_region_data_pages, 257u);
  EXPECT_EQ(layout.num_full_regions, 0u);
  EXPECT_EQ(layout.length(), 1056768u);
  std::vector<uint32_t> pages;
  for (int i = 0; i < 3; ++i) {
    layout = layout.grown(4096);
    pages.push_back(layout.trailing_region_data_pages);
  }
  EXPECT_EQ(pages, (std::vector<uint32_t>{514, 1028, 2056}));
  DatabaseLayout big = DatabaseLayout::calculate(uint64_t{5} << 30);
  EXPECT_EQ(big.num_full_regions, 1u);
  EXPECT_EQ(big.trailing_region_data_pages, 1u << 18);
  EXPECT_EQ(big.page_offset(1, 3, 2), 4096 + (uint64_t{4} << 30) + 3 * 16384);
  EXPECT_EQ(DatabaseLayout::calculate(uint64_t{4} << 30).region_count(), 1u);  // a whole region stays trailing
}

}  // namespace
}  // namespace redb
