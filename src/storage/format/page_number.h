// Page numbers and page addresses.
//
// A page number is a packed u64: bits 0..19 the page index inside its region (in units of the
// page's own size), bits 20..39 the region, bits 40..58 reserved (zero), bits 59..63 the order k.
// A page of order k is page_size << k bytes, aligned to its own size inside its region. On read
// only the low 20 - k index bits count. Its byte offset comes from the header's DatabaseLayout.
#pragma once

#include <cstdint>

#include "format/layout.h"

namespace redb {

inline constexpr uint32_t page_size = 4096;                          // the only page size in use
inline constexpr uint32_t default_region_max_data_pages = 1u << 20;  // 4 GiB regions
inline constexpr uint8_t max_page_order = 20;                        // an order-20 page is a region
inline constexpr uint64_t max_page_index = 0xFFFFF;

struct PageNumber {
  uint32_t region = 0;
  uint32_t index = 0;  // in units of this page's size
  uint8_t order = 0;

  // Decodes a stored page number, masking the index to the low 20 - order bits.
  static PageNumber from_raw(uint64_t raw);
  // Encodes with the reserved bits zero. Requires index < 2^20 and region < 2^20.
  uint64_t to_raw() const;
  // Length of the page in bytes.
  uint64_t byte_length() const { return uint64_t{page_size} << order; }
  // Byte offset in a file of this layout. Exact (no overflow) for every decoded page number
  // once the layout passed check_geometry (header.h).
  uint64_t offset_in(const DatabaseLayout& layout) const { return layout.page_offset(region, index, order); }

  friend bool operator==(const PageNumber&, const PageNumber&) = default;
};

}  // namespace redb
