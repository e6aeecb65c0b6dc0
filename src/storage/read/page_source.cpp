#include "read/page_source.h"

#include <algorithm>
#include <cstring>

#include <fmt/format.h>

namespace redb::detail {

namespace {

// The file offset of a page whose whole block lies within the file.
Result<uint64_t> block_offset(const PageSource& source, PageNumber page) {
  if (page.order > max_page_order)
    return std::unexpected(Error::corrupted(fmt::format("page order {} out of range", page.order)));
  const uint64_t offset = page.offset_in(source.layout);
  if (offset > source.file_length || page.byte_length() > source.file_length - offset)
    return std::unexpected(Error::io_message("failed to fill whole buffer"));
  return offset;
}

}  // namespace

Status PageSource::read(PageNumber page, std::vector<uint8_t>& buffer) const {
  auto offset = block_offset(*this, page);
  if (!offset) return std::unexpected(offset.error());
  buffer.resize(page.byte_length());
  return file->read_at(*offset, buffer);
}

Status PageSource::read_part(PageNumber page, size_t end, PageBuffer& buffer) const {
  auto offset = block_offset(*this, page);
  if (!offset) return std::unexpected(offset.error());
  end = static_cast<size_t>(std::min<uint64_t>(end, page.byte_length()));
  if (end <= buffer.size_) return {};
  if (end > buffer.capacity_) {
    size_t capacity = (end + page_size - 1) / page_size * page_size;
    auto grown = std::make_unique_for_overwrite<uint8_t[]>(capacity);
    if (buffer.size_ > 0) std::memcpy(grown.get(), buffer.data_.get(), buffer.size_);
    buffer.data_ = std::move(grown);
    buffer.capacity_ = capacity;
  }
  if (auto read = file->read_at(*offset + buffer.size_, {buffer.data_.get() + buffer.size_, end - buffer.size_}); !read)
    return read;
  buffer.size_ = end;
  return {};
}

Status PageBudget::charge(uint8_t order) {
  const uint64_t pages = uint64_t{1} << order;
  if (pages > remaining_)
    return std::unexpected(Error::corrupted(std::string(exhausted_)));
  remaining_ -= pages;
  return {};
}

}  // namespace redb::detail
