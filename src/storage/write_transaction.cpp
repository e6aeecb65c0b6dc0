// Creating databases, write transactions and the tables they write.
#include <fmt/format.h>
#include <utility>

#include "database_open.h"
#include "write_state.h"

namespace redb {
namespace detail {
namespace {

constexpr TypeDesc text_type = TypeDesc::scalar(Scalar::str);

StoredDefinition system_definition(std::string key_type, std::optional<uint32_t> key_width, std::string value_type) {
  StoredDefinition definition;
  definition.fixed_key_width = key_width;
  definition.key_type = std::string(1, '\x01') + key_type;
  definition.value_type = std::string(1, '\x01') + value_type;
  return definition;
}

bool is_io_error(const Error& error) { return error.text.starts_with("I/O error: "); }

}  // namespace

StoredDefinition allocator_state_definition() { return system_definition("redb::AllocatorStateKey", 5, "&[u8]"); }
StoredDefinition page_list_definition() {
  return system_definition("redb::TransactionIdWithPagination", 16, "redb::PageList");
}
EntryOrder table_name_order() { return EntryOrder{&text_type, nullptr}; }
Error previous_io_error() { return Error{"Previous I/O error occurred. Please close and re-open the database."}; }

WriteState::WriteState(DatabaseState& database_state, WriterState& writer_state, size_t cache_budget)
    : database(database_state),
      writer(writer_state),
      space(*database_state.file, writer_state.committed, cache_budget),
      user_tree(TreeRoot::from(database_state.committed.user_root)),
      system_tree(TreeRoot::from(database_state.committed.system_root)) {
  const SuperHeader& header = database_state.header;
  transaction_id = std::max(header.slots[0].transaction_id, header.slots[1].transaction_id) + 1;
  database_state.write_in_progress = true;
  writer.release_unseen(database.live_readers);
  for (const auto& group : writer.retained)
    for (PageNumber page : group.pages) space.withhold(page);
}

WriteState::~WriteState() {
  space.cache().clear();
  // Cutting back growth is safe: the committed state refers to no page past its layout. After a
  // commit attempt the header on disk may already name the larger layout, so the file stays.
  uint64_t committed_length = writer.committed.layout().length();
  if (!finished && space.allocator().layout().length() != committed_length &&
      database.file->set_length(committed_length))
    database.file_length = committed_length;
  database.write_in_progress = false;
}

Error WriteState::fail(Error error) {
  failed = true;
  if (is_io_error(error)) writer.io_failed = true;
  return error;
}

Result<size_t> WriteState::open_table(const TableDefinition& definition) {
  RequestedTypes requested = requested_types(definition);
  for (size_t i = 0; i < tables.size(); ++i) {
    TableState& table = tables[i];
    if (table.name != definition.name) continue;
    if (table.open)
      return std::unexpected(
          Error::table(fmt::format("Table '{}' already opened at: {}", table.name, "this write transaction")));
    if (auto match = check_table_match(table.stored, table.name, requested); !match)
      return std::unexpected(match.error());
    table.key_type = definition.key;
    table.value_type = definition.value;
    table.open = true;
    return i;
  }
  if (failed) return std::unexpected(previous_io_error());
  TableState table{std::string(definition.name), definition.key, definition.value, {}, {}, false, true};
  auto stored = BtreeWriter(space, user_tree, table_tree_widths, table_name_order()).get(definition.name);
  if (!stored) return std::unexpected(fail(stored.error()));
  if (*stored) {
    auto parsed = parse_table_definition(**stored, definition.name);
    if (!parsed) return std::unexpected(parsed.error());
    if (auto match = check_table_match(*parsed, definition.name, requested); !match)
      return std::unexpected(match.error());
    table.stored = std::move(*parsed);
    table.root = TreeRoot::from(table.stored.root);
  } else {
    // Created on the spot; the commit stores it even if nothing is written into it.
    table.stored = StoredDefinition::for_new_table(definition.key, definition.value);
    table.changed = true;
  }
  tables.push_back(std::move(table));
  return tables.size() - 1;
}

Result<bool> WriteState::insert(size_t index, std::string_view key, std::string_view value) {
  if (failed) return std::unexpected(previous_io_error());
  TableState& table = tables[index];
  auto replaced = BtreeWriter(space, table.root, table.stored.tree_widths(), EntryOrder{&table.key_type, nullptr},
                              &table.insert_path)
                      .insert(key, value);
  if (!replaced) return std::unexpected(fail(replaced.error()));
  table.changed = true;
  if (space.cache().over_budget()) {
    // Past the memory budget: every table's pages go to their place in the file, final.
    for (TableState& spilled : tables) {
      auto flushed = BtreeWriter(space, spilled.root, spilled.stored.tree_widths(),
                                 EntryOrder{&spilled.key_type, nullptr}, &spilled.insert_path)
                         .flush();
      if (!flushed) return std::unexpected(fail(flushed.error()));
    }
    if (auto written = space.cache().write_finished(); !written) return std::unexpected(fail(written.error()));
  }
  return replaced;
}

}  // namespace detail

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
