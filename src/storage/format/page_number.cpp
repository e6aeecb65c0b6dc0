#include "format/page_number.h"

namespace redb {

PageNumber PageNumber::from_raw(uint64_t raw) {
  PageNumber page;
  page.order = static_cast<uint8_t>(raw >> 59);
  uint64_t index_mask = page.order >= 20 ? 0 : (max_page_index >> page.order);
  page.index = static_cast<uint32_t>(raw & index_mask);
  page.region = static_cast<uint32_t>((raw >> 20) & 0xFFFFF);
  return page;
}

uint64_t PageNumber::to_raw() const {
  return (uint64_t{order} << 59) | ((uint64_t{region} & 0xFFFFF) << 20) | (uint64_t{index} & max_page_index);
}

}  // namespace redb
