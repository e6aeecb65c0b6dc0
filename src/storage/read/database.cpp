// Database: opening existing files and starting read transactions. Creating files and write
// transactions live on the write side.
#include <fmt/format.h>

#include "read/database_open.h"
#include "read/database_state.h"
#include "read/read_snapshot.h"
#include "redb.h"

namespace redb {

Database::Database(std::unique_ptr<detail::DatabaseState> state) : state_(std::move(state)) {}
Database::Database(Database&&) noexcept = default;
Database& Database::operator=(Database&&) noexcept = default;
Database::~Database() = default;

Result<Database> Database::open(const std::string& path) {
  auto file = open_locked_file(path, OpenMode::existing);
  if (!file) return std::unexpected(file.error());
  return open_file(std::move(*file));
}

Result<Database> Database::open_file(std::unique_ptr<File> file) {
  auto state = detail::open_existing(std::move(file));
  if (!state) return std::unexpected(state.error());
  return Database(std::move(*state));
}

bool Database::needs_full_repair() const { return state_ && state_->needs_full_repair; }

Result<ReadTransaction> Database::begin_read() const {
  if (!state_ || !state_->file) return std::unexpected(Error{"Database has been closed"});
  detail::PageSource source{state_->file.get(), state_->layout, state_->file_length};
  // The library reads the table tree's root here, so a root outside the file fails now.
  if (const auto& user_root = state_->committed.user_root) {
    PageNumber root = user_root->root;
    uint64_t offset = root.offset_in(source.layout);
    if (root.order > max_page_order || offset > source.file_length || root.byte_length() > source.file_length - offset)
      return std::unexpected(Error::io_message("failed to fill whole buffer"));
  }
  auto snapshot = std::make_unique<detail::ReadSnapshot>(*state_, state_->committed);
  snapshot->source = source;
  return ReadTransaction(std::move(snapshot));
}

}  // namespace redb
