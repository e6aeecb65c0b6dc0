#include "page_cache.h"

#include <cstring>

namespace redb::detail {

PageCache::PageCache(File& file, const DatabaseLayout& layout, size_t budget)
    : file_(file), layout_(layout), budget_(budget) {}

uint8_t* PageCache::create(PageNumber page) {
  auto& slot = pages_[page.to_raw()];
  if (!slot) resident_bytes_ += page.byte_length();
  slot = std::make_unique<uint8_t[]>(page.byte_length());  // value-initialized: zeros
  return slot.get();
}

uint8_t* PageCache::resident(PageNumber page) const {
  auto found = pages_.find(page.to_raw());
  return found == pages_.end() ? nullptr : found->second.get();
}

Result<uint8_t*> PageCache::load(PageNumber page) {
  if (uint8_t* held = resident(page)) return held;
  auto buffer = std::make_unique_for_overwrite<uint8_t[]>(page.byte_length());
  if (auto read_status = read(page, {buffer.get(), page.byte_length()}); !read_status)
    return std::unexpected(read_status.error());
  uint8_t* data = buffer.get();
  pages_[page.to_raw()] = std::move(buffer);
  resident_bytes_ += page.byte_length();
  return data;
}

void PageCache::discard(PageNumber page) {
  if (pages_.erase(page.to_raw())) resident_bytes_ -= page.byte_length();
}

Status PageCache::write_out(PageNumber page) {
  auto found = pages_.find(page.to_raw());
  if (found == pages_.end()) return {};
  if (auto written = file_.write_at(offset_of(page), {found->second.get(), page.byte_length()}); !written)
    return written;
  pages_.erase(found);
  resident_bytes_ -= page.byte_length();
  return {};
}

Status PageCache::read(PageNumber page, std::span<uint8_t> out) const {
  if (uint8_t* held = resident(page)) {
    std::memcpy(out.data(), held, out.size());
    return {};
  }
  return file_.read_at(offset_of(page), out);
}

std::vector<PageNumber> PageCache::resident_pages() const {
  std::vector<PageNumber> pages;
  for (const auto& [raw, buffer] : pages_) pages.push_back(PageNumber::from_raw(raw));
  return pages;
}

void PageCache::clear() {
  pages_.clear();
  resident_bytes_ = 0;
}

}  // namespace redb::detail
