// Which commit an open reads, decided as the real library decides it, without writing.
//
// 1. A file needs recovery when its recovery bit is set or its length differs from the header's
//    layout. Then the slot is picked: with the two-phase bit the primary, whose slot checksum
//    must be valid; without it the primary unless its checksum is bad or the secondary is newer
//    with a valid checksum (both bad: corrupt). A file that needs no recovery uses its primary.
// 2. Quick path: the two-phase bit is set and the picked commit's system tree holds a current
//    `allocator_state` table (its TransactionId row equals the commit's id). Then the commit is
//    trusted as it is.
// 3. Otherwise the library runs its full repair: it verifies every checksum of the picked
//    commit's trees; on damage it fails with the two-phase bit set, or else falls back to the
//    other slot (whatever that slot's checksum) and verifies that one.
#pragma once

#include <cstddef>

#include "format/header.h"
#include "read/page_source.h"

namespace redb::detail {

struct CommitChoice {
  size_t slot = 0;                 // index of the slot whose commit is read
  bool needs_full_repair = false;  // the library would walk and verify the trees (step 3)
};

// `source` must describe the file with the layout the open settled on.
Result<CommitChoice> choose_commit(const PageSource& source, const SuperHeader& header, bool needs_recovery);

// Step 2's test for `slot`. A definition of `allocator_state` other than the library's gives
// "DB corrupted: Unexpected TableError: {text}", a TransactionId row that is not 8 bytes "DB
// corrupted: ..." (the library cannot open such a file either).
Result<bool> allocator_state_is_current(const PageSource& source, const CommitSlot& slot);

}  // namespace redb::detail
