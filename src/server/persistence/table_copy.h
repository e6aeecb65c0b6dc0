// The row streaming shared by the graph-table and the global-table copy.
//
// Rows go from a live scan straight into the destination table, keys and values as their
// stored bytes, unchanged; no table is buffered. Rows are validated under their table's types
// as the scan reads them, so a damaged source record ends the run with the storage text
// "DB corrupted: {what}" instead of being skipped or copied.
#pragma once

#include <expected>
#include <string>

#include "storage/redb.h"

namespace shard_migrate {

using CopyStatus = std::expected<void, std::string>;

// Inserts every row of `source` for which `wanted(scan)` holds into `destination`, calling
// `copied(scan)` after each successful insert. Fails with the library's text of the first
// failed scan step or insert.
template <class Wanted, class Copied>
CopyStatus copy_rows(const redb::ReadOnlyTable& source, redb::Table& destination, Wanted wanted, Copied copied) {
  auto scan = source.scan();
  if (!scan) return std::unexpected(std::move(scan.error().text));
  while (true) {
    auto has_row = scan->next();
    if (!has_row) return std::unexpected(std::move(has_row.error().text));
    if (!*has_row) return {};
    if (!wanted(*scan)) continue;
    if (auto inserted = destination.insert(scan->key(), scan->value()); !inserted)
      return std::unexpected(std::move(inserted.error().text));
    copied(*scan);
  }
}

}  // namespace shard_migrate
