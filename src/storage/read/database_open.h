// Opening a database file that already holds a database, shared by Database::open and the
// write side's create on a non-empty file.
#pragma once

#include <memory>

#include "read/database_state.h"

namespace redb::detail {

// Validates the file in the library's order and decides which commit is read, writing
// nothing:
//  1. length 0, shorter than the magic, or no magic: "I/O error: invalid data";
//  2. magic but under 320 bytes: "I/O error: failed to fill whole buffer";
//  3. the version bytes of slot 0, then slot 1 (header.h);
//  4. the geometry the library asserts on (header.h), as "DB corrupted: ..." errors;
//  5. needs recovery (recovery bit, or length != layout): the layout is recalculated from the
//     length and must then equal it;
//  6. the commit choice and full-repair decision (commit_choice.h).
Result<std::unique_ptr<DatabaseState>> open_existing(std::unique_ptr<File> file);

}  // namespace redb::detail
