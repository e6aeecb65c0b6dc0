// Checksum verification of the trees a commit reaches, as a full repair does before it trusts
// a commit: the table tree, every table's tree and every multimap sub-tree.
#pragma once

#include "format/header.h"
#include "read/page_source.h"

namespace redb::detail {

enum class TreeCheck { intact, damaged };

// Verifies the table tree rooted at `table_tree` and every tree its definitions reach. A page
// whose type byte, count, offsets or checksum is wrong makes the result `damaged`; so does a
// walk deeper or longer than the file allows. A page that cannot be read (past the end of the
// file) or a definition that does not decode is an error.
Result<TreeCheck> verify_table_tree(const PageSource& source, const BtreeHeader& table_tree);

// Verifies the user and the system table tree of `slot` (absent roots are intact).
Result<TreeCheck> verify_commit(const PageSource& source, const CommitSlot& slot);

}  // namespace redb::detail
