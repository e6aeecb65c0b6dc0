// The row streaming shared by the graph-table and the global-table copy.
//
// Rows go from a live scan straight into the destination table, keys and values as their
// stored bytes, unchanged; no table is buffered. Rows are validated under their table's types
// as the scan reads them, so a damaged source record ends the run with the storage text
// "DB corrupted: {what}" instead of being skipped or copied.
#pragma once

#include <cstdlib>
#include <expected>
#include <span>
#include <string>
#include <vector>

#include "storage/redb.h"

namespace shard_migrate {

using CopyStatus = std::expected<void, std::string>;

// Destination tables open on one write transaction: opened (and so created) in the order of
// their definitions, released latest first.
class OpenTables {
 public:
  // Opens every table of `definitions` in order; fails with the library's text of the first
  // failed open, after releasing those opened before it.
  static std::expected<OpenTables, std::string> open(redb::WriteTransaction& transaction,
                                                     std::span<const redb::TableDefinition* const> definitions) {
    OpenTables opened(definitions);
    opened.tables_.reserve(definitions.size());
    for (const redb::TableDefinition* definition : definitions) {
      auto table = transaction.open_table(*definition);
      if (!table) return std::unexpected(std::move(table.error().text));
      opened.tables_.push_back(std::move(*table));
    }
    return opened;
  }
  OpenTables(OpenTables&&) = default;
  OpenTables& operator=(OpenTables&&) = delete;
  ~OpenTables() { close(); }

  // The open table of that definition (one of those it was opened with).
  redb::Table& table(const redb::TableDefinition& definition) {
    for (size_t i = 0; i < definitions_.size(); ++i) {
      if (definitions_[i]->name == definition.name) return tables_.at(i);
    }
    std::abort();  // not one of the opened tables: a programming error
  }
  // Releases the tables in reverse order of opening; afterwards none is open.
  void close() {
    while (!tables_.empty()) tables_.pop_back();
  }

 private:
  explicit OpenTables(std::span<const redb::TableDefinition* const> definitions) : definitions_(definitions) {}
  std::span<const redb::TableDefinition* const> definitions_;
  std::vector<redb::Table> tables_;  // in opening order
};

// Inserts every row `scan` hands out into `destination`, calling `copied(scan)` after each
// successful insert. Fails with the library's text of the first failed scan step or insert.
template <class Copied>
CopyStatus copy_rows(redb::TableScan& scan, redb::Table& destination, Copied copied) {
  while (true) {
    auto has_row = scan.next();
    if (!has_row) return std::unexpected(std::move(has_row.error().text));
    if (!*has_row) return {};
    if (auto inserted = destination.insert(scan.key(), scan.value()); !inserted)
      return std::unexpected(std::move(inserted.error().text));
    copied(scan);
  }
}

}  // namespace shard_migrate
