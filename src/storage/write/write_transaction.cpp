// The public write side: creating databases, write transactions and the tables they write.
#include <fmt/format.h>
#include <utility>

#include "read/database_open.h"
#include "write/write_state.h"

namespace redb {

// ---------------------------------------------------------------------------------------------
// Database: create and begin_write

Result<Database> Database::create(const std::string& path) {
  auto file = open_locked_file(path, OpenMode::create_if_absent);
  if (!file) return std::unexpected(file.error());
  return create_file(std::move(*file));
}

Result<Database> Database::create_file(std::unique_ptr<File> file) {
  auto length = file->length();
  if (!length) return std::unexpected(length.error());
  if (*length != 0) return open_file(std::move(file));

  // An empty file becomes an empty database with the library's defaults. Until the commit
  // below writes the magic, the file is no database at all.
  auto state = std::make_unique<detail::DatabaseState>();
  DatabaseLayout layout = DatabaseLayout::initial();
  if (auto resized = file->set_length(layout.length()); !resized) return std::unexpected(resized.error());
  state->file = std::move(file);
  state->file_length = layout.length();
  state->layout = layout;
  state->header.layout = layout;
  state->header.god_byte = god_two_phase_commit;
  state->chosen_slot = 1;  // the new commit goes into slot 0
  state->committed = state->header.slots[1];
  auto writer = std::make_unique<detail::WriterState>(PageAllocator(layout));
  auto& writer_state = *writer;
  state->writer = std::move(writer);
  {
    detail::WriteState initial(*state, writer_state, detail::default_dirty_page_budget);
    initial.transaction_id = 1;
    if (auto committed = detail::commit_write(initial, true); !committed) return std::unexpected(committed.error());
  }
  return Database(std::move(state));
}

Result<WriteTransaction> Database::begin_write() {
  if (!state_ || !state_->file) return std::unexpected(Error{"Database has been closed"});
  if (state_->write_in_progress)
    return std::unexpected(Error{"A transaction is still in progress. Operation cannot be performed."});
  if (!state_->writer) {
    auto allocator = detail::rebuild_allocator(*state_->file, state_->layout, state_->committed);
    if (!allocator) return std::unexpected(allocator.error());
    state_->writer = std::make_unique<detail::WriterState>(std::move(*allocator));
  }
  auto& writer = static_cast<detail::WriterState&>(*state_->writer);
  if (writer.io_failed) return std::unexpected(detail::previous_io_error());
  return WriteTransaction(std::make_unique<detail::WriteState>(*state_, writer, detail::dirty_page_budget));
}

// ---------------------------------------------------------------------------------------------
// WriteTransaction

WriteTransaction::WriteTransaction(std::unique_ptr<detail::WriteState> state) : state_(std::move(state)) {}
WriteTransaction::WriteTransaction(WriteTransaction&&) noexcept = default;
WriteTransaction& WriteTransaction::operator=(WriteTransaction&&) noexcept = default;
WriteTransaction::~WriteTransaction() = default;

Status WriteTransaction::set_durability(Durability) { return {}; }

Result<Table> WriteTransaction::open_table(const TableDefinition& definition) {
  if (!state_) return std::unexpected(Error{"Database has been closed"});
  auto index = state_->open_table(definition);
  if (!index) return std::unexpected(index.error());
  return Table(state_.get(), *index);
}

Status WriteTransaction::commit() {
  if (!state_) return std::unexpected(Error{"Database has been closed"});
  // Open tables refer to the transaction's state, which therefore stays.
  for (const detail::TableState& table : state_->tables)
    if (table.open) return std::unexpected(Error{fmt::format("Table '{}' is still open", table.name)});
  // The transaction is spent whatever the outcome: a failed commit is not followed by an abort.
  std::unique_ptr<detail::WriteState> state = std::move(state_);
  return detail::commit_write(*state, false);
}

// ---------------------------------------------------------------------------------------------
// Table

Table::Table(Table&& other) noexcept : state_(std::exchange(other.state_, nullptr)), index_(other.index_) {}
Table& Table::operator=(Table&& other) noexcept {
  if (this != &other) {
    if (state_) state_->tables[index_].open = false;
    state_ = std::exchange(other.state_, nullptr);
    index_ = other.index_;
  }
  return *this;
}
Table::~Table() {
  if (state_) state_->tables[index_].open = false;
}

Result<bool> Table::insert(std::string_view key, std::string_view value) {
  if (!state_) return std::unexpected(Error{"Database has been closed"});
  if (auto lengths = detail::check_insert_lengths(key.size(), value.size()); !lengths)
    return std::unexpected(lengths.error());
  const detail::TableState& table = state_->tables[index_];
  if (auto valid = table.key_type.validate(key); !valid) return std::unexpected(valid.error());
  if (auto valid = table.value_type.validate(value); !valid) return std::unexpected(valid.error());
  return state_->insert(index_, key, value);
}

Result<bool> Table::insert_validated(std::string_view key, std::string_view value) {
  if (!state_) return std::unexpected(Error{"Database has been closed"});
  if (auto lengths = detail::check_insert_lengths(key.size(), value.size()); !lengths)
    return std::unexpected(lengths.error());
  return state_->insert(index_, key, value);
}

uint64_t Table::len() const { return state_ ? state_->tables[index_].root.length : 0; }

}  // namespace redb
