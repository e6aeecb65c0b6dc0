// Layer write/: allocation, the page cache, B-tree writes and the commit (write transactions,
// creating databases). It includes the public headers, format/, read/ and write/.
//
// What a write transaction holds, and what the write side keeps between transactions.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "format/table_definition.h"
#include "read/database_state.h"
#include "redb.h"
#include "write/allocator.h"
#include "write/btree_insert.h"

namespace redb::detail {

// Kept between the write transactions of one open database.
struct WriterState final : WriterCache {
  explicit WriterState(PageAllocator allocator) : committed(std::move(allocator)) {}
  // Allocation state of the committed commit: exactly the pages it reaches plus the pages
  // its freed-page tables list.
  PageAllocator committed;
  // A write, sync or resize failed: the file's state is unknown, no further write transaction.
  bool io_failed = false;
  // Pages that commit `freed_by` made unreachable while read transactions of older commits
  // were alive. Free in the saved state, but not reused while such a reader lives.
  struct RetainedPages {
    uint64_t freed_by = 0;
    std::vector<PageNumber> pages;
  };
  std::vector<RetainedPages> retained;
  // Drops the groups no live reader can see: a reader of commit S sees the pages freed by
  // commit C iff S < C.
  void release_unseen(const std::map<uint64_t, size_t>& live_readers) {
    std::erase_if(retained, [&](const RetainedPages& group) {
      return live_readers.empty() || live_readers.begin()->first >= group.freed_by;
    });
  }
};

// A table opened in this transaction (or created by it).
struct TableState {
  std::string name;
  TypeDesc key_type;
  TypeDesc value_type;
  StoredDefinition stored;
  TreeRoot root;
  bool changed = false;  // created or written: its definition is rewritten at commit
  bool open = false;     // a Table handle refers to it
  InsertPath insert_path{};
};

struct WriteState {
  WriteState(DatabaseState& database, WriterState& writer, size_t cache_budget);
  // Releasing an uncommitted transaction: its pages are dropped (those it wrote out are free
  // space in the committed state) and a file it grew is cut back to the committed layout.
  ~WriteState();

  Result<size_t> open_table(const TableDefinition& definition);
  Result<bool> insert(size_t table, std::string_view key, std::string_view value);
  // Records a failure: the transaction cannot commit any more; an I/O failure also ends
  // writing for this database.
  Error fail(Error error);

  DatabaseState& database;
  WriterState& writer;
  WriteSpace space;
  TreeRoot user_tree;    // table tree of the user tables
  TreeRoot system_tree;  // table tree of the system tables
  std::vector<TableState> tables;
  uint64_t transaction_id = 0;
  bool failed = false;    // an insert or commit failed part-way
  bool finished = false;  // committed, or its commit was attempted
};

// Makes the transaction durable and the database's committed state (see commit.cpp).
// `new_file`: the first commit of a file just initialized, written so that a crash before
// its end leaves a file without the magic.
Status commit_write(WriteState& state, bool new_file);

// Allocation state of the database's committed commit, rebuilt from the pages it reaches
// and the pages listed in its freed-page tables.
Result<PageAllocator> rebuild_allocator(File& file, const DatabaseLayout& layout, const CommitSlot& commit);

// The definition records of the system tables the write side keeps.
StoredDefinition allocator_state_definition();
StoredDefinition page_list_definition();
inline constexpr std::string_view allocator_state_table = "allocator_state";
inline constexpr std::string_view page_list_tables[] = {"data_pages_allocated", "data_pages_unreachable",
                                                        "system_pages_unreachable"};

// Key order of table trees: names as text.
EntryOrder table_name_order();
inline constexpr EntryWidths table_tree_widths{};

Error previous_io_error();

}  // namespace redb::detail
