#include "page_source.h"

#include <fmt/format.h>

namespace redb::detail {

Status PageSource::read(PageNumber page, std::vector<uint8_t>& buffer) const {
  if (page.order > max_page_order)
    return std::unexpected(Error::corrupted(fmt::format("page order {} out of range", page.order)));
  const uint64_t offset = page.offset_in(layout);
  const uint64_t length = page.byte_length();
  if (offset > file_length || length > file_length - offset)
    return std::unexpected(Error::io_message("failed to fill whole buffer"));
  buffer.resize(length);
  return file->read_at(offset, buffer);
}

Status PageBudget::charge(uint8_t order) {
  const uint64_t pages = uint64_t{1} << order;
  if (pages > remaining_)
    return std::unexpected(Error::corrupted(std::string(exhausted_)));
  remaining_ -= pages;
  return {};
}

}  // namespace redb::detail
