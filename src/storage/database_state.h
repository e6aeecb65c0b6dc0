// What an open database holds, shared by the read side and the write side.
#pragma once

#include <memory>

#include "file.h"

namespace redb::detail {

// Write-side state kept between write transactions (allocator, caches). The write side
// derives from it; the read side only owns it.
struct WriterCache {
  virtual ~WriterCache() = default;
};

struct DatabaseState {
  std::unique_ptr<File> file;
  // ... header geometry, the commit slot in use, repair decision: filled by the read side.

  std::unique_ptr<WriterCache> writer;  // created by the first write transaction
  bool write_in_progress = false;       // one write transaction at a time
};

}  // namespace redb::detail
