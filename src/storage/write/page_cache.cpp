#include "write/page_cache.h"

#include <algorithm>
#include <cstring>

namespace redb::detail {
namespace {

// Largest gathered write. Larger ones were measured slower, not faster: the kernel then
// fills the file's cache with large folios, which cost more to allocate than they save.
constexpr uint64_t max_gathered_bytes = 64 * 1024;

}  // namespace

PageCache::PageCache(File& file, const DatabaseLayout& layout, size_t budget)
    : file_(file), layout_(layout), budget_(budget) {}

uint8_t* PageCache::create(PageNumber page) { return create(page, true); }

uint8_t* PageCache::create_unfilled(PageNumber page) { return create(page, false); }

uint8_t* PageCache::create(PageNumber page, bool zeroed) {
  Held& held = pages_[page.to_raw()];
  if (!held.bytes) held_bytes_ += page.byte_length();
  // A finished version of a page freed and allocated again must never reach the file.
  held.finished = false;
  held.bytes = zeroed ? std::make_unique<uint8_t[]>(page.byte_length())  // value-initialized: zeros
                      : std::make_unique_for_overwrite<uint8_t[]>(page.byte_length());
  return held.bytes.get();
}

uint8_t* PageCache::resident(PageNumber page) const {
  auto found = pages_.find(page.to_raw());
  return found == pages_.end() || found->second.finished ? nullptr : found->second.bytes.get();
}

Result<uint8_t*> PageCache::load(PageNumber page) {
  if (auto found = pages_.find(page.to_raw()); found != pages_.end()) {
    found->second.finished = false;
    return found->second.bytes.get();
  }
  auto buffer = std::make_unique_for_overwrite<uint8_t[]>(page.byte_length());
  if (auto read_status = read(page, {buffer.get(), page.byte_length()}); !read_status)
    return std::unexpected(read_status.error());
  uint8_t* data = buffer.get();
  pages_[page.to_raw()] = Held{std::move(buffer), false};
  held_bytes_ += page.byte_length();
  return data;
}

void PageCache::discard(PageNumber page) {
  if (pages_.erase(page.to_raw())) held_bytes_ -= page.byte_length();
}

void PageCache::finish(PageNumber page) {
  auto found = pages_.find(page.to_raw());
  if (found == pages_.end() || found->second.finished) return;
  found->second.finished = true;
  finished_.push_back(page.to_raw());
}

Status PageCache::write_finished() {
  struct Pending {
    uint64_t offset;
    uint64_t raw;
    std::span<const uint8_t> bytes;
  };
  std::vector<Pending> pending;
  pending.reserve(finished_.size());
  for (uint64_t raw : finished_) {
    auto found = pages_.find(raw);
    if (found == pages_.end() || !found->second.finished) continue;  // freed, or loaded again
    PageNumber page = PageNumber::from_raw(raw);
    pending.push_back({offset_of(page), raw, {found->second.bytes.get(), page.byte_length()}});
  }
  // A page finished, loaded and finished again is listed twice.
  std::sort(pending.begin(), pending.end(),
            [](const Pending& a, const Pending& b) { return a.offset != b.offset ? a.offset < b.offset : a.raw < b.raw; });
  pending.erase(std::unique(pending.begin(), pending.end(), [](const Pending& a, const Pending& b) { return a.raw == b.raw; }),
                pending.end());
  std::vector<std::span<const uint8_t>> run;
  for (size_t first = 0; first < pending.size();) {
    run.clear();
    size_t last = first;
    uint64_t end = pending[first].offset;
    while (last < pending.size() && pending[last].offset == end &&
           (last == first || end - pending[first].offset + pending[last].bytes.size() <= max_gathered_bytes)) {
      run.push_back(pending[last].bytes);
      end += pending[last].bytes.size();
      ++last;
    }
    if (auto written = file_.write_gathered(pending[first].offset, run); !written) return written;
    for (size_t i = first; i < last; ++i) {
      pages_.erase(pending[i].raw);
      held_bytes_ -= pending[i].bytes.size();
    }
    first = last;
  }
  finished_.clear();
  if (!pending.empty()) file_.start_writeback();
  return {};
}

Status PageCache::read(PageNumber page, std::span<uint8_t> out) const {
  if (auto found = pages_.find(page.to_raw()); found != pages_.end()) {
    std::memcpy(out.data(), found->second.bytes.get(), out.size());
    return {};
  }
  return file_.read_at(offset_of(page), out);
}

void PageCache::clear() {
  pages_.clear();
  finished_.clear();
  held_bytes_ = 0;
}

}  // namespace redb::detail
