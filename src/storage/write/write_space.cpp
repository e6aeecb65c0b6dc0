#include "write/write_space.h"

namespace redb::detail {

WriteSpace::WriteSpace(File& file, const PageAllocator& committed, size_t cache_budget)
    : file_(file), committed_(committed), allocator_(committed), cache_(file, committed.layout(), cache_budget) {}

Result<PageNumber> WriteSpace::allocate(uint8_t order) {
  // A page that no region can hold would make the file grow without end.
  if (order > max_page_order || (uint64_t{1} << order) > allocator_.layout().region_max_data_pages)
    return std::unexpected(Error::corrupted("page larger than a region"));
  for (;;) {
    if (auto page = allocator_.alloc(order)) return *page;
    DatabaseLayout grown = allocator_.layout().grown(uint64_t{page_size} << order);
    // The file is extended before any page or header that needs the new space is written.
    if (auto resized = file_.set_length(grown.length()); !resized) return std::unexpected(resized.error());
    allocator_.grow_to(grown);
  }
}

void WriteSpace::withhold(PageNumber page) {
  if (allocator_.record_alloc(page)) withheld_.push_back(page);
}

bool WriteSpace::allocated_here(PageNumber page) const {
  if (page.region >= committed_.region_count()) return true;
  if ((uint64_t{page.index} + 1) << page.order > committed_.region_pages(page.region)) return true;
  return committed_.is_free(page);
}

void WriteSpace::release(PageNumber page) {
  if (allocated_here(page)) {
    cache_.discard(page);
    allocator_.free(page);
  } else {
    replaced_.push_back(page);
  }
}

Result<PageNumber> WriteSpace::writable(PageNumber page) {
  if (allocated_here(page)) {
    auto loaded = cache_.load(page);
    if (!loaded) return std::unexpected(loaded.error());
    return page;
  }
  auto copy = allocate(page.order);
  if (!copy) return copy;
  uint8_t* data = cache_.create_unfilled(*copy);
  if (auto read = cache_.read(page, {data, page.byte_length()}); !read) {
    cache_.discard(*copy);
    allocator_.free(*copy);
    return std::unexpected(read.error());
  }
  replaced_.push_back(page);
  return *copy;
}

}  // namespace redb::detail
