// Read transactions: opening tables by definition, listing the stored tables, and scans.
#include <algorithm>
#include <fmt/format.h>

#include "format/table_definition.h"
#include "format/utf8.h"
#include "read/page_source.h"
#include "read/read_snapshot.h"
#include "read/tree_cursor.h"
#include "read/tree_scanner.h"
#include "redb.h"

namespace redb {
namespace {

// The stored definition of user table `name`, or nullopt when there is none.
Result<std::optional<StoredDefinition>> find_definition(const detail::ReadSnapshot& snapshot, std::string_view name) {
  if (!snapshot.user_root) return std::optional<StoredDefinition>();
  auto record = detail::find_in_tree(snapshot.source, snapshot.user_root->root, {}, detail::KeyOrder::text, name);
  if (!record) return std::unexpected(record.error());
  if (!*record) return std::optional<StoredDefinition>();
  auto definition = parse_table_definition(**record, name);
  if (!definition) return std::unexpected(definition.error());
  return std::optional<StoredDefinition>(std::move(*definition));
}

Error does_not_exist(std::string_view name) { return Error::table(fmt::format("Table '{}' does not exist", name)); }

}  // namespace

// ---- TableScan ----

TableScan::TableScan(std::unique_ptr<detail::TreeScanner> scanner) : scanner_(std::move(scanner)) {}
TableScan::TableScan(TableScan&&) noexcept = default;
TableScan& TableScan::operator=(TableScan&&) noexcept = default;
TableScan::~TableScan() = default;

Result<bool> TableScan::next() { return scanner_->next(); }
std::string_view TableScan::key() const { return scanner_->key(); }
std::string_view TableScan::value() const { return scanner_->value(); }
std::string_view TableScan::key_element(size_t index) const { return scanner_->key_element(index); }
std::optional<LeafDepths> TableScan::leaf_depths() const { return scanner_->leaf_depths(); }

// ---- ScanBudget ----

ScanBudget::ScanBudget(std::unique_ptr<detail::PageBudget> pages) : pages_(std::move(pages)) {}
ScanBudget::ScanBudget(ScanBudget&&) noexcept = default;
ScanBudget& ScanBudget::operator=(ScanBudget&&) noexcept = default;
ScanBudget::~ScanBudget() = default;

// ---- ReadOnlyTable ----

Result<TableScan> ReadOnlyTable::scan() const { return make_scan(nullptr, UnwantedRows::checked); }

Result<TableScan> ReadOnlyTable::scan(KeyFilter& filter, UnwantedRows unwanted) const {
  return make_scan(&filter, unwanted);
}

TableScan ReadOnlyTable::make_scan(KeyFilter* filter, UnwantedRows unwanted) const {
  StoredDefinition stored = StoredDefinition::for_new_table(definition_.key, definition_.value);
  if (root_) stored.root = BtreeHeader::load(reinterpret_cast<const uint8_t*>(root_->data()));
  detail::TreeScanner::Types types{definition_.key, definition_.value, true, filter, unwanted};
  return TableScan(std::make_unique<detail::TreeScanner>(snapshot_->source, stored, std::move(types)));
}

// ---- ReadTransaction ----

ReadTransaction::ReadTransaction(std::unique_ptr<detail::ReadSnapshot> snapshot) : snapshot_(std::move(snapshot)) {}
ReadTransaction::ReadTransaction(ReadTransaction&&) noexcept = default;
ReadTransaction& ReadTransaction::operator=(ReadTransaction&&) noexcept = default;
ReadTransaction::~ReadTransaction() = default;

Result<ReadOnlyTable> ReadTransaction::open_table(const TableDefinition& definition) const {
  auto stored = find_definition(*snapshot_, definition.name);
  if (!stored) return std::unexpected(stored.error());
  if (!*stored) return std::unexpected(does_not_exist(definition.name));
  if (auto match = check_table_match(**stored, definition.name, requested_types(definition)); !match)
    return std::unexpected(match.error());
  ReadOnlyTable table;
  table.snapshot_ = snapshot_.get();
  table.definition_ = definition;
  if (const auto& root = (*stored)->root) {
    std::string header(BtreeHeader::size, '\0');
    root->store(reinterpret_cast<uint8_t*>(header.data()));
    table.root_ = std::move(header);
    table.length_ = root->length;
  }
  return table;
}

Result<std::vector<StoredTable>> ReadTransaction::list_tables() const {
  std::vector<StoredTable> tables;
  if (!snapshot_->user_root) return tables;
  detail::PageBudget budget(snapshot_->source.page_count());
  detail::TreeCursor cursor(&snapshot_->source, &budget);
  cursor.reset(snapshot_->user_root->root, {});
  while (true) {
    auto more = cursor.next();
    if (!more) return std::unexpected(more.error());
    if (!*more) break;
    std::string_view name = cursor.key();
    if (!is_valid_utf8(name)) return std::unexpected(Error::corrupted("stored table name is not valid UTF-8"));
    auto definition = parse_table_definition(cursor.value(), name);
    if (!definition) return std::unexpected(definition.error());
    tables.push_back(StoredTable{std::string(name), definition->kind, std::string(definition->key_type_name()),
                                 std::string(definition->value_type_name())});
  }
  std::sort(tables.begin(), tables.end(), [](const StoredTable& a, const StoredTable& b) { return a.name < b.name; });
  return tables;
}

Result<TableScan> ReadTransaction::scan_stored(const std::string& name, ScanBudget* shared) const {
  auto stored = find_definition(*snapshot_, name);
  if (!stored) return std::unexpected(stored.error());
  if (!*stored) return std::unexpected(does_not_exist(name));
  detail::TreeScanner::Types types{TypeDesc::from_stored_name((*stored)->key_type), std::nullopt, false};
  detail::PageBudget* budget = shared != nullptr ? shared->pages_.get() : nullptr;
  return TableScan(std::make_unique<detail::TreeScanner>(snapshot_->source, **stored, std::move(types), budget));
}

ScanBudget ReadTransaction::scan_budget() const {
  return ScanBudget(std::make_unique<detail::PageBudget>(
      snapshot_->source.page_count(),
      "the tables' trees visit more pages than the file holds (one tree reachable from two definitions, "
      "or a page referenced more than once)"));
}

}  // namespace redb
