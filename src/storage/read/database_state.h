// What an open database holds, shared by the read side and the write side.
#pragma once

#include <cstdint>
#include <map>
#include <memory>

#include "file.h"
#include "format/header.h"

namespace redb::detail {

// Write-side state kept between write transactions (allocator, caches). The write side
// derives from it; the read side only owns it.
struct WriterCache {
  virtual ~WriterCache() = default;
};

struct DatabaseState {
  std::unique_ptr<File> file;

  // The super header as read at open (both slots, god byte, layout fields as stored).
  SuperHeader header;
  uint64_t file_length = 0;  // at open; a commit that resizes the file updates it
  // The layout the open settled on: the header's, or the one recalculated from the file
  // length when the file needed recovery.
  DatabaseLayout layout;
  // Index of the slot holding the commit that is read: the primary, or the slot a repair picks.
  size_t chosen_slot = 0;
  // The commit readers see: the chosen slot's roots and id. A write commit replaces it.
  CommitSlot committed;
  // The file needs recovery: recovery bit set, or length not equal to the header's layout.
  bool needs_recovery = false;
  // The real library would run its full repair (tree walk) opening this file: no valid
  // allocator state for the chosen commit, or the two-phase bit clear.
  bool needs_full_repair = false;

  // Live read transactions by the transaction id of the commit they read: id -> how many.
  // Pages a later commit made unreachable stay out of allocation while a reader of an older
  // commit lives.
  std::map<uint64_t, size_t> live_readers;

  std::unique_ptr<WriterCache> writer;  // created by the first write transaction
  bool write_in_progress = false;       // one write transaction at a time
};

}  // namespace redb::detail
