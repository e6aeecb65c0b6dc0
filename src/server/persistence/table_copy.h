// The row streaming shared by the graph-table and the global-table copy.
//
// Rows go from a live scan into the destination table, keys and values as their stored bytes,
// unchanged; no table is buffered, only the few rows in flight between the scan and the
// inserts. Rows are validated under their table's types as the scan reads them, so a damaged
// source record ends the run with the storage text "DB corrupted: {what}" instead of being
// skipped or copied.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <expected>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "server/persistence/row_accounts.h"
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

// One source table whose rows were all fed: what the row accounts need to know of it.
struct FedTable {
  size_t source = 0;  // in discovery order
  const redb::TableDefinition* definition = nullptr;
  uint64_t stored_length = 0;
  std::optional<redb::LeafDepths> depths;
};

// Hands rows from the scans on one thread to the inserts on another, in scan order, through a
// few batches of fixed size that take turns: while one batch is inserted, the next rows are
// read, validated and copied into another. The scanning side goes through every source table
// of a copy at its own pace, so the inserts of one table overlap the scan of the next. A row
// too large for a batch is handed over by reference instead, alone, and the scan waits until
// it was inserted before it moves on, so a large value is never held twice. A batch goes over
// when full, or earlier when the inserts wait for it. The pipe's memory and its scanning
// thread are made once and serve every run.
class RowPipe {
  struct Batch;

 public:
  static constexpr size_t batch_count = 4;
  static constexpr size_t batch_bytes = size_t{512} << 10;
  static constexpr size_t batch_rows = 2048;
  // A batch not yet full goes over to waiting inserts once it holds this much.
  static constexpr size_t early_bytes = size_t{64} << 10;
  static constexpr size_t early_rows = 256;

  // What the scanning side of a run feeds, in order. A false return ends the feeding: the
  // inserts stopped, or the run failed.
  class Feed {
   public:
    // Feeds every row `scan` hands out, for destination table `table` (an index the scanning
    // side and the inserts agree on). A failed scan step is fed as the run's failure.
    bool rows(redb::TableScan& scan, size_t table);
    // Marks the end of a source table's rows.
    bool table_done(const FedTable& done);
    // Ends the run with `text` as its failure, after what was fed before it.
    void fail(std::string text);

   private:
    friend class RowPipe;
    explicit Feed(RowPipe& pipe);
    bool add(size_t table, std::string_view key, std::string_view value);
    bool next_batch();
    void finish();

    RowPipe& pipe_;
    size_t index_ = 0;
    Batch* batch_ = nullptr;
    bool ended_ = false;
  };

  RowPipe() {
    for (Batch& batch : batches_) {
      batch.bytes = std::make_unique_for_overwrite<char[]>(batch_bytes);
      batch.rows.reserve(batch_rows);
      batch.marks.reserve(batch_marks);
    }
    scanning_ = std::thread([this] { run_scans(); });
  }
  RowPipe(const RowPipe&) = delete;
  RowPipe& operator=(const RowPipe&) = delete;
  ~RowPipe() {
    {
      std::lock_guard lock(mutex_);
      closing_ = true;
    }
    changed_.notify_all();
    scanning_.join();
  }

  // Runs `scan_all(feed)` on the scanning thread while this thread takes what it feeds, in
  // order: `inserts.row(table, key, value)` (a CopyStatus) for each row and
  // `inserts.table_done(fed)` for each end of a table. Returns the first failure, of an
  // insert or fed by the scanning side, after everything fed before it: what a failure leaves
  // is what the scans and the inserts one after the other leave.
  template <class ScanAll, class Inserts>
  CopyStatus run(ScanAll& scan_all, Inserts& inserts) {
    {
      // The scanning thread is idle between runs: the batches are the inserts' to reset.
      std::lock_guard lock(mutex_);
      for (Batch& batch : batches_) batch.clear();
      stopped_ = false;
      job_ = Job{&scan_all, [](void* scan, Feed& feed) { (*static_cast<ScanAll*>(scan))(feed); }};
    }
    changed_.notify_all();
    CopyStatus status;
    for (size_t index = 0;; index = (index + 1) % batch_count) {
      Batch& batch = wait_until(index, true);
      size_t mark = 0;
      for (size_t row = 0; status; ++row) {
        for (; mark < batch.marks.size() && batch.marks[mark].position == row; ++mark)
          inserts.table_done(batch.marks[mark].table);
        if (row == batch.rows.size()) break;
        const Row& fed = batch.rows[row];
        const std::string_view key(batch.bytes.get() + fed.key_offset, fed.key_length);
        const std::string_view value(batch.bytes.get() + fed.key_offset + fed.key_length, fed.value_length);
        status = inserts.row(fed.table, key, value);
      }
      if (status && batch.large) status = inserts.row(batch.large_table, batch.large_key, batch.large_value);
      if (status && batch.error) status = std::unexpected(std::move(*batch.error));
      const bool last = !status || batch.last;
      {
        std::lock_guard lock(mutex_);
        batch.clear();
        if (last) stopped_ = true;
      }
      changed_.notify_all();
      if (last) break;
    }
    // The scans are done with once the scanning thread has let go of them.
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return job_.run == nullptr; });
    return status;
  }

 private:
  static constexpr size_t batch_marks = 64;

  struct Row {
    size_t key_offset, key_length, value_length;  // the value follows the key
    size_t table;
  };
  // The end of a table, before the row at `position` of its batch.
  struct Mark {
    size_t position;
    FedTable table;
  };
  struct Batch {
    std::unique_ptr<char[]> bytes;
    size_t used = 0;
    std::vector<Row> rows;
    std::vector<Mark> marks;
    bool large = false;  // large_key and large_value are the scan's current row, after rows and marks
    size_t large_table = 0;
    std::string_view large_key, large_value;
    bool last = false;                 // the feeding ended after these
    std::optional<std::string> error;  // ... with this text
    bool full = false;                 // handed to the inserts, not yet given back

    void clear() {
      used = 0;
      rows.clear();
      marks.clear();
      large = false;
      last = false;
      error.reset();
      full = false;
    }
  };
  // The scanning side of the run under way.
  struct Job {
    void* scan_all = nullptr;
    void (*run)(void*, Feed&) = nullptr;
  };

  // Batch `index` once its `full` flag is `full`, or once the inserts stopped when waiting for
  // an empty one (the feeding then ends).
  Batch& wait_until(size_t index, bool full) {
    std::unique_lock lock(mutex_);
    if (full) inserts_waiting_.store(true, std::memory_order_relaxed);
    changed_.wait(lock, [&] { return batches_[index].full == full || (!full && stopped_); });
    if (full) inserts_waiting_.store(false, std::memory_order_relaxed);
    return batches_[index];
  }
  bool stopped() {
    std::lock_guard lock(mutex_);
    return stopped_;
  }
  void hand_over(Batch& batch) {
    {
      std::lock_guard lock(mutex_);
      batch.full = true;
    }
    changed_.notify_all();
  }

  // The scanning thread: the scanning side of each run, until the pipe closes.
  void run_scans() {
    while (true) {
      Job job;
      {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return job_.run != nullptr || closing_; });
        if (closing_) return;
        job = job_;
      }
      {
        Feed feed(*this);
        job.run(job.scan_all, feed);
        feed.finish();
      }
      {
        std::lock_guard lock(mutex_);
        job_ = Job{};
      }
      changed_.notify_all();
    }
  }

  std::array<Batch, batch_count> batches_;
  std::mutex mutex_;
  std::condition_variable changed_;
  Job job_;              // the run under way; empty while the scanning thread is idle
  bool closing_ = false;  // the pipe is being released: the scanning thread ends
  bool stopped_ = false;  // the inserts ended (done or failed): the feeding stops at its next turn
  std::atomic<bool> inserts_waiting_ = false;  // the inserts wait for the next batch
  std::thread scanning_;  // runs the scans; started once every other member is made
};

inline RowPipe::Feed::Feed(RowPipe& pipe) : pipe_(pipe) {
  batch_ = &pipe_.wait_until(index_, false);
  ended_ = pipe_.stopped();
}

inline bool RowPipe::Feed::next_batch() {
  pipe_.hand_over(*batch_);
  index_ = (index_ + 1) % batch_count;
  batch_ = &pipe_.wait_until(index_, false);
  ended_ = pipe_.stopped();
  return !ended_;
}

inline bool RowPipe::Feed::rows(redb::TableScan& scan, size_t table) {
  while (!ended_) {
    auto has_row = scan.next();
    if (!has_row) {
      fail(std::move(has_row.error().text));
      return false;
    }
    if (!*has_row) return true;
    if (!add(table, scan.key(), scan.value())) return false;
  }
  return false;
}

inline bool RowPipe::Feed::add(size_t table, std::string_view key, std::string_view value) {
  const size_t length = key.size() + value.size();
  if (length > batch_bytes) {
    if (!batch_->rows.empty() && !next_batch()) return false;
    batch_->large = true;
    batch_->large_table = table;
    batch_->large_key = key;
    batch_->large_value = value;
    Batch& handed = *batch_;
    if (!next_batch()) return false;
    // The row's bytes belong to the scan: it stays on them until they were inserted.
    pipe_.wait_until(static_cast<size_t>(&handed - pipe_.batches_.data()), false);
    ended_ = pipe_.stopped();
    return !ended_;
  }
  if ((batch_->used + length > batch_bytes || batch_->rows.size() == batch_rows) && !next_batch()) return false;
  std::memcpy(batch_->bytes.get() + batch_->used, key.data(), key.size());
  std::memcpy(batch_->bytes.get() + batch_->used + key.size(), value.data(), value.size());
  batch_->rows.push_back({batch_->used, key.size(), value.size(), table});
  batch_->used += length;
  // Inserts waiting for rows get those read so far, once they are worth a hand-over, rather
  // than a full batch later.
  if ((batch_->used >= early_bytes || batch_->rows.size() >= early_rows) &&
      pipe_.inserts_waiting_.load(std::memory_order_relaxed))
    return next_batch();
  return true;
}

inline bool RowPipe::Feed::table_done(const FedTable& done) {
  if (ended_) return false;
  if (batch_->marks.size() == batch_marks && !next_batch()) return false;
  batch_->marks.push_back({batch_->rows.size(), done});
  // Waiting inserts get the rows of a table as soon as its scan is over.
  if (!batch_->rows.empty() && pipe_.inserts_waiting_.load(std::memory_order_relaxed)) return next_batch();
  return true;
}

inline void RowPipe::Feed::fail(std::string text) {
  if (ended_) return;
  batch_->error = std::move(text);
  finish();
}

inline void RowPipe::Feed::finish() {
  if (ended_) return;
  batch_->last = true;
  ended_ = true;
  pipe_.hand_over(*batch_);
}

// Copies the tables of `definitions` that each source holds (sources in discovery order, a
// source's tables in the order of `definitions`) into `destinations`, the open destination
// table of each definition, in the same order. `scan_of(source, table, read_only_table)` makes
// the scan of a source table (by their indexes); `copied(table, key)` follows each insert.
// A table that is absent, or stored under another definition or kind, is skipped; damage or an
// I/O error while it is looked up fails the copy. The rows of each source table are noted in
// `accounts`. One read transaction per source serves its scans.
template <class ScanOf, class Copied>
CopyStatus copy_source_tables(std::span<const redb::Database> sources,
                              std::span<const redb::TableDefinition* const> definitions,
                              std::span<redb::Table* const> destinations, ScanOf scan_of, Copied copied,
                              RowAccounts& accounts) {
  auto scan_all = [&](RowPipe::Feed& feed) {
    for (size_t source = 0; source < sources.size(); ++source) {
      auto transaction = sources[source].begin_read();
      if (!transaction) return feed.fail(std::move(transaction.error().text));
      for (size_t table_index = 0; table_index < definitions.size(); ++table_index) {
        auto table = transaction->open_table(*definitions[table_index]);
        if (!table && table.error().kind == redb::Error::Kind::table) continue;
        if (!table) return feed.fail(std::move(table.error().text));
        auto scan = scan_of(source, table_index, *table);
        if (!scan) return feed.fail(std::move(scan.error().text));
        if (!feed.rows(*scan, table_index)) return;
        if (!feed.table_done({source, definitions[table_index], table->len(), scan->leaf_depths()})) return;
      }
    }
  };
  struct Inserts {
    std::span<redb::Table* const> destinations;
    Copied& copied;
    RowAccounts& accounts;
    uint64_t rows = 0;  // of the source table being fed

    CopyStatus row(size_t table, std::string_view key, std::string_view value) {
      // The scan validated the row under the types the destination table was opened with.
      if (auto inserted = destinations[table]->insert_validated(key, value); !inserted)
        return std::unexpected(std::move(inserted.error().text));
      ++rows;
      copied(table, key);
      return {};
    }
    void table_done(const FedTable& fed) {
      accounts.note(fed.source, *fed.definition, fed.stored_length, rows, fed.depths);
      rows = 0;
    }
  } inserts{destinations, copied, accounts};
  RowPipe pipe;
  return pipe.run(scan_all, inserts);
}

}  // namespace shard_migrate
