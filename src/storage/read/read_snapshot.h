// Layer read/: finding and walking a commit (page source, the commit an open chooses and the
// repair verification behind it, tree cursors and scanners, read transactions). It includes
// the public headers, format/ and read/.
//
// What a read transaction sees: the pages of one commit.
#pragma once

#include <optional>

#include "format/header.h"
#include "read/database_state.h"
#include "read/page_source.h"

namespace redb::detail {

struct ReadSnapshot {
  // Registers the reader of `commit` with the database for as long as the snapshot lives.
  ReadSnapshot(DatabaseState& database, const CommitSlot& commit)
      : user_root(commit.user_root), database_(database), transaction_id_(commit.transaction_id) {
    ++database_.live_readers[transaction_id_];
  }
  ~ReadSnapshot() {
    auto reader = database_.live_readers.find(transaction_id_);
    if (--reader->second == 0) database_.live_readers.erase(reader);
  }
  ReadSnapshot(const ReadSnapshot&) = delete;
  ReadSnapshot& operator=(const ReadSnapshot&) = delete;

  PageSource source;
  std::optional<BtreeHeader> user_root;  // the commit's user table tree, absent without tables

 private:
  DatabaseState& database_;
  uint64_t transaction_id_;
};

}  // namespace redb::detail
