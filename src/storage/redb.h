// Public interface of the storage layer: database files in the redb file format version 3.
// With error.h, file.h and types.h beside it, this is all a caller includes; the layers
// behind it are the folders format/, read/ and write/ (and testing/ for tests).
//
// A Database owns one locked file. Reading never writes to the file: a database that this
// process only read is byte-for-byte unchanged when it is released. Writing happens in one
// write transaction at a time; its commit leaves the file as a clean close of the real
// library would, so the real library opens it without repair.
//
// A read transaction sees the commit that was current when it began, for as long as it lives,
// whatever later write transactions commit: the pages it may read are not reused meanwhile.
//
// Lifetimes: transactions, tables and scans refer to the Database they came from and must
// not outlive it; a read transaction's tables and scans must not outlive the transaction, nor a
// write transaction's tables.
// Byte views handed out by a scan stay valid until the scan moves on.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "error.h"
#include "file.h"
#include "types.h"

namespace redb {

namespace detail {
class PageBudget;
struct DatabaseState;
struct ReadSnapshot;
struct WriteState;
class TreeScanner;
}  // namespace detail

// A table's name with its key and value types.
struct TableDefinition {
  std::string_view name;
  TypeDesc key;
  TypeDesc value;
};

enum class TableKind { normal, multimap };

// A table as stored in the file, for listing without a definition.
struct StoredTable {
  std::string name;
  TableKind kind;
  std::string key_type;    // stored type name without its classification byte
  std::string value_type;  // same
};

enum class Durability { immediate };

class ReadTransaction;
class WriteTransaction;

// Chooses the rows of a filtered scan by the first element of their key alone (the whole key
// for a scalar key type).
class KeyFilter {
 public:
  // True when the rows whose first key element is `element` are wanted. A scan asks once per
  // run of rows with equal first elements, in key order.
  virtual bool wanted(std::string_view element) = 0;

  // Mixed pages: the root of the tree and every page whose key bounds do not share one first
  // element, so that only what lies below them tells which elements they hold. A page is named
  // by its stored page number, which stays its own while the file is not written.
  //
  // Asked by a scan with UnwantedRows::skipped before it reads a mixed page: false skips the
  // page with everything below it, as if its rows were not wanted. A filter answers false only
  // where it knows, from an earlier scan of the same tree, that nothing below is wanted.
  virtual bool read_mixed_page(uint64_t /*page*/) { return true; }
  // Every scan reports the mixed pages it reads. Between the two calls for a page, wanted() is
  // asked about every first element of the rows below it, except the element of a run that
  // began before the page (the element asked about last), which is not asked about again.
  virtual void enter_mixed_page(uint64_t /*page*/) {}
  virtual void leave_mixed_page(uint64_t /*page*/) {}

 protected:
  ~KeyFilter() = default;
};

// What a filtered scan does with the rows its filter does not want.
enum class UnwantedRows {
  // Not read where the tree shows they are alone: a subtree whose key bounds share one first
  // element that is not wanted is skipped. In a leaf that is read, such a row is decoded no
  // further than its first element, and its value is not read.
  skipped,
  // Read and checked like wanted rows (a damaged row anywhere fails the scan), then dropped;
  // only value bytes that need no check (&[u8]) stay unread.
  checked,
};

// The depths (branch levels above) of the shallowest and the deepest leaf a scan has read.
struct LeafDepths {
  size_t shallowest = 0;
  size_t deepest = 0;
};

// Ascending scan over a table's rows. For a multimap table, one row per (key, value) pair.
class TableScan {
 public:
  TableScan(TableScan&&) noexcept;
  TableScan& operator=(TableScan&&) noexcept;
  ~TableScan();

  // Moves to the next row: true when there is one, false at the end. When the scan was made
  // from a definition, each row's key and value are validated under its types first.
  Result<bool> next();
  // Bytes of the current row, valid until the next call to next().
  std::string_view key() const;
  std::string_view value() const;
  // Element `index` of the current key (the whole key for a scalar key type), without copying.
  std::string_view key_element(size_t index) const;
  // Of the leaves read so far; none before the first.
  std::optional<LeafDepths> leaf_depths() const;

 private:
  friend class ReadTransaction;
  friend class ReadOnlyTable;
  explicit TableScan(std::unique_ptr<detail::TreeScanner> scanner);
  std::unique_ptr<detail::TreeScanner> scanner_;
};

// The pages that stored scans of one transaction may read together: as many as the file holds.
// No page of a sound file belongs to two trees, so scanning each table once stays within it.
class ScanBudget {
 public:
  ScanBudget(ScanBudget&&) noexcept;
  ScanBudget& operator=(ScanBudget&&) noexcept;
  ~ScanBudget();

 private:
  friend class ReadTransaction;
  explicit ScanBudget(std::unique_ptr<detail::PageBudget> pages);
  std::unique_ptr<detail::PageBudget> pages_;
};

class ReadOnlyTable {
 public:
  uint64_t len() const { return length_; }
  Result<TableScan> scan() const;
  // The rows `filter` wants, each validated as by scan(). Every row the scan reads must lie
  // within the key bounds its branch gives its leaf, else "DB corrupted: ...". The filter must
  // outlive the scan.
  Result<TableScan> scan(KeyFilter& filter, UnwantedRows unwanted) const;

 private:
  friend class ReadTransaction;
  ReadOnlyTable() = default;
  TableScan make_scan(KeyFilter* filter, UnwantedRows unwanted) const;
  const detail::ReadSnapshot* snapshot_ = nullptr;  // owned by the transaction, stable across its moves
  TableDefinition definition_{"", TypeDesc::scalar(Scalar::bytes), TypeDesc::scalar(Scalar::bytes)};
  std::optional<std::string> root_;  // 32-byte stored tree header, absent for an empty table
  uint64_t length_ = 0;
};

class ReadTransaction {
 public:
  ReadTransaction(ReadTransaction&&) noexcept;
  ReadTransaction& operator=(ReadTransaction&&) noexcept;
  ~ReadTransaction();

  // Opens a table by definition with the library's checks and texts: "Table '{}' does not
  // exist", "{} is a multimap table", "{} is of type Table<{}, {}>", "Current definition of
  // {} does not match stored definition (width={}, alignment={})".
  Result<ReadOnlyTable> open_table(const TableDefinition& definition) const;
  // Every user table, sorted by name.
  Result<std::vector<StoredTable>> list_tables() const;
  // Scans a user table by its stored definition, without decoding rows. With `shared` (which
  // must outlive the scan) the scan's pages count against that budget, so that scans of every
  // table together read at most the file's pages: a tree reachable from two definitions then
  // ends in "DB corrupted: ..." instead of being read once per definition.
  Result<TableScan> scan_stored(const std::string& name, ScanBudget* shared = nullptr) const;
  // A budget for scanning every table of this transaction once.
  ScanBudget scan_budget() const;

 private:
  friend class Database;
  friend class ReadOnlyTable;
  explicit ReadTransaction(std::unique_ptr<detail::ReadSnapshot> snapshot);
  std::unique_ptr<detail::ReadSnapshot> snapshot_;
};

class Table;

class WriteTransaction {
 public:
  WriteTransaction(WriteTransaction&&) noexcept;
  WriteTransaction& operator=(WriteTransaction&&) noexcept;
  // Releasing an uncommitted transaction aborts it: nothing of it stays in the file.
  ~WriteTransaction();

  // Only immediate durability exists; setting it cannot fail.
  Status set_durability(Durability durability);
  // Opens a table by definition, creating it when absent. The same checks and texts as a
  // read transaction's open, except that an absent table is created.
  Result<Table> open_table(const TableDefinition& definition);
  // Makes every change durable. Afterwards the transaction is spent. Every Table of the
  // transaction must have been released first (else "Table '{}' is still open", and the
  // transaction stays as it was).
  Status commit();

 private:
  friend class Database;
  friend class Table;
  explicit WriteTransaction(std::unique_ptr<detail::WriteState> state);
  std::unique_ptr<detail::WriteState> state_;  // null once committed or moved from
};

// A table open in a write transaction. Releasing it closes it.
class Table {
 public:
  Table(Table&&) noexcept;
  Table& operator=(Table&&) noexcept;
  ~Table();

  // Insert-or-replace of encoded key and value bytes (validated under the table's types).
  // Returns true when a value was replaced. Size limits give "The value (length={}) being
  // inserted exceeds the maximum of 3GiB".
  Result<bool> insert(std::string_view key, std::string_view value);
  // The same for bytes already validated under the table's types, such as a row handed out
  // by a scan made from a definition with the same types: they are not validated again.
  Result<bool> insert_validated(std::string_view key, std::string_view value);
  uint64_t len() const;

 private:
  friend class WriteTransaction;
  Table(detail::WriteState* state, size_t index) : state_(state), index_(index) {}
  detail::WriteState* state_ = nullptr;
  size_t index_ = 0;
};

class Database {
 public:
  // Opens an existing database file (read-write, locked, never created or truncated).
  static Result<Database> open(const std::string& path);
  // Opens a database file, creating it when absent and initialising it when empty.
  static Result<Database> create(const std::string& path);
  // The same on a file the caller opened (tests use fault-injecting files).
  static Result<Database> open_file(std::unique_ptr<File> file);
  static Result<Database> create_file(std::unique_ptr<File> file);

  Database(Database&&) noexcept;
  Database& operator=(Database&&) noexcept;
  // Releases the file and its lock. Writes nothing.
  ~Database();

  // True when the real library would run its full repair on opening this file.
  bool needs_full_repair() const;

  Result<ReadTransaction> begin_read() const;
  // One write transaction at a time.
  Result<WriteTransaction> begin_write();

 private:
  explicit Database(std::unique_ptr<detail::DatabaseState> state);
  std::unique_ptr<detail::DatabaseState> state_;
};

}  // namespace redb
