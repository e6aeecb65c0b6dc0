#include "format/layout.h"

#include <algorithm>

namespace redb {

DatabaseLayout DatabaseLayout::calculate(uint64_t desired_usable_bytes, uint32_t page_size, uint32_t region_max_data_pages,
                         uint32_t region_header_pages) {
  DatabaseLayout layout;
  layout.page_size = page_size;
  layout.region_header_pages = region_header_pages;
  layout.region_max_data_pages = region_max_data_pages;
  uint64_t max_region_bytes = uint64_t{region_max_data_pages} * page_size;
  auto pages_for = [&](uint64_t bytes) { return static_cast<uint32_t>((bytes + page_size - 1) / page_size); };
  if (desired_usable_bytes <= max_region_bytes) {
    layout.trailing_region_data_pages = std::max<uint32_t>(1, pages_for(desired_usable_bytes));
    return layout;
  }
  layout.num_full_regions = static_cast<uint32_t>(desired_usable_bytes / max_region_bytes);
  layout.trailing_region_data_pages = pages_for(desired_usable_bytes % max_region_bytes);
  return layout;
}

uint64_t DatabaseLayout::usable_bytes() const {
  return (uint64_t{num_full_regions} * region_max_data_pages + trailing_region_data_pages) * page_size;
}

uint64_t DatabaseLayout::length() const {
  uint64_t length = page_size + num_full_regions * full_region_bytes();
  if (trailing_region_data_pages > 0)
    length += (uint64_t{region_header_pages} + trailing_region_data_pages) * page_size;
  return length;
}

DatabaseLayout DatabaseLayout::grown(uint64_t needed_bytes) const {
  uint64_t usable = usable_bytes();
  uint64_t max_region_bytes = uint64_t{region_max_data_pages} * page_size;
  uint64_t desired;
  if (num_full_regions == 0) {
    desired = std::max(2 * usable, usable + 2 * needed_bytes);
  } else if (trailing_region_data_pages > 0) {
    uint64_t trailing_usable = uint64_t{trailing_region_data_pages} * page_size;
    uint64_t filled = uint64_t{num_full_regions + 1} * max_region_bytes;
    desired = 2 * needed_bytes < max_region_bytes - trailing_usable ? filled : filled + max_region_bytes;
  } else {
    desired = usable + max_region_bytes;
  }
  return calculate(desired, page_size, region_max_data_pages, region_header_pages);
}

}  // namespace redb
