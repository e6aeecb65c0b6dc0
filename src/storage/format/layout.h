// Geometry of a database file: a header page, then F full regions of region_max_data_pages
// pages each, then an optional trailing region. Page addresses need only the page size, the
// region header pages and the full region size; the region counts only bound the file.
#pragma once

#include <cstdint>

namespace redb {

struct DatabaseLayout {
  static constexpr uint32_t default_page_size = 4096;
  static constexpr uint32_t default_region_max_data_pages = 1u << 20;
  // A new database starts with 1 MiB of usable space plus one page for the region tracker.
  static constexpr uint64_t initial_usable_bytes = (1u << 20) + default_page_size;

  uint32_t page_size = default_page_size;
  uint32_t region_header_pages = 0;
  uint32_t region_max_data_pages = default_region_max_data_pages;
  uint32_t num_full_regions = 0;
  uint32_t trailing_region_data_pages = 0;  // 0: no trailing region

  // The layout the library gives `desired_usable_bytes` of data pages: whole full regions,
  // the rest in a trailing region; a request up to one region is a single trailing region.
  static DatabaseLayout calculate(uint64_t desired_usable_bytes, uint32_t page_size = default_page_size,
                          uint32_t region_max_data_pages = default_region_max_data_pages,
                          uint32_t region_header_pages = 0);
  // The layout of a new database with default settings (257 data pages).
  static DatabaseLayout initial() { return calculate(initial_usable_bytes); }

  uint32_t region_count() const { return num_full_regions + (trailing_region_data_pages > 0 ? 1 : 0); }
  // Data pages of region `region` (< region_count()).
  uint32_t region_data_pages(uint32_t region) const {
    return region < num_full_regions ? region_max_data_pages : trailing_region_data_pages;
  }
  uint64_t full_region_bytes() const {
    return (uint64_t{region_header_pages} + region_max_data_pages) * page_size;
  }
  uint64_t usable_bytes() const;
  // Length the file must have for this layout.
  uint64_t length() const;
  // Byte offset of the page (region, index) of order `order`.
  uint64_t page_offset(uint32_t region, uint32_t index, uint8_t order) const {
    return page_size + region * full_region_bytes() + uint64_t{region_header_pages} * page_size +
           uint64_t{index} * (uint64_t{page_size} << order);
  }
  // The layout after the library's growth step when an allocation of `needed_bytes` failed.
  DatabaseLayout grown(uint64_t needed_bytes) const;

  friend bool operator==(const DatabaseLayout&, const DatabaseLayout&) = default;
};

}  // namespace redb
