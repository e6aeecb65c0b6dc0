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

// Hands rows from a scan on one thread to the inserts on another, in scan order, through a
// few batches of fixed size that take turns: while one batch is inserted, the next rows are
// read, validated and copied into another. A row too large for a batch is handed over by
// reference instead, alone, and the scan waits until it was inserted before it moves on, so
// a large value is never held twice. A batch goes over when full, or earlier when the inserts
// wait for it. The pipe's memory and its scanning thread are made once and serve every copy.
class RowPipe {
 public:
  static constexpr size_t batch_count = 4;
  static constexpr size_t batch_bytes = size_t{512} << 10;
  static constexpr size_t batch_rows = 2048;
  // A batch not yet full goes over to waiting inserts once it holds this much.
  static constexpr size_t early_bytes = size_t{64} << 10;
  static constexpr size_t early_rows = 256;

  RowPipe() {
    for (Batch& batch : batches_) {
      batch.bytes = std::make_unique_for_overwrite<char[]>(batch_bytes);
      batch.rows.reserve(batch_rows);
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

  // Inserts every row `scan` hands out into `destination`, calling `copied(key)` after each
  // successful insert. Fails with the library's text of the first failed scan step or insert,
  // after the inserts of the rows before it: what a failure leaves is what the scan and the
  // inserts one after the other leave.
  template <class Copied>
  CopyStatus copy(redb::TableScan& scan, redb::Table& destination, Copied copied) {
    {
      // The scanning thread is idle between copies: the batches are the inserts' to reset.
      std::lock_guard lock(mutex_);
      for (Batch& batch : batches_) batch.clear();
      stopped_ = false;
      scan_ = &scan;
    }
    changed_.notify_all();
    CopyStatus status;
    for (size_t index = 0;; index = (index + 1) % batch_count) {
      Batch& batch = wait_until(index, true);
      for (const Row& row : batch.rows) {
        const std::string_view key(batch.bytes.get() + row.key_offset, row.key_length);
        const std::string_view value(batch.bytes.get() + row.key_offset + row.key_length, row.value_length);
        if (status = insert(destination, key, value, copied); !status) break;
      }
      if (status && batch.large) status = insert(destination, batch.large_key, batch.large_value, copied);
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
    // The scan is the caller's again once the scanning thread has let go of it.
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return scan_ == nullptr; });
    return status;
  }

 private:
  struct Row {
    size_t key_offset, key_length, value_length;  // the value follows the key
  };
  struct Batch {
    std::unique_ptr<char[]> bytes;
    size_t used = 0;
    std::vector<Row> rows;
    bool large = false;  // large_key and large_value are the scan's current row
    std::string_view large_key, large_value;
    bool last = false;                 // the scan ended after these rows
    std::optional<std::string> error;  // ... with this text
    bool full = false;                 // handed to the inserts, not yet given back

    void clear() {
      used = 0;
      rows.clear();
      large = false;
      last = false;
      error.reset();
      full = false;
    }
  };

  template <class Copied>
  static CopyStatus insert(redb::Table& destination, std::string_view key, std::string_view value, Copied& copied) {
    // The scan validated the row under the types the destination table was opened with.
    if (auto inserted = destination.insert_validated(key, value); !inserted)
      return std::unexpected(std::move(inserted.error().text));
    copied(key);
    return {};
  }

  // Batch `index` once its `full` flag is `full`, or once the inserts stopped when waiting for
  // an empty one (the scan then ends).
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

  // The scanning thread: one scan per copy, until the pipe closes.
  void run_scans() {
    while (true) {
      redb::TableScan* scan = nullptr;
      {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return scan_ != nullptr || closing_; });
        if (closing_) return;
        scan = scan_;
      }
      scan_into_batches(*scan);
      {
        std::lock_guard lock(mutex_);
        scan_ = nullptr;
      }
      changed_.notify_all();
    }
  }

  void scan_into_batches(redb::TableScan& scan) {
    size_t index = 0;
    Batch* batch = &wait_until(index, false);
    auto next_batch = [&] {
      hand_over(*batch);
      index = (index + 1) % batch_count;
      batch = &wait_until(index, false);
      return !stopped();
    };
    while (true) {
      auto has_row = scan.next();
      if (!has_row || !*has_row) {
        if (!has_row) batch->error = std::move(has_row.error().text);
        batch->last = true;
        hand_over(*batch);
        return;
      }
      const std::string_view key = scan.key(), value = scan.value();
      const size_t length = key.size() + value.size();
      if (length > batch_bytes) {
        if (!batch->rows.empty() && !next_batch()) return;
        batch->large = true;
        batch->large_key = key;
        batch->large_value = value;
        Batch& handed = *batch;
        if (!next_batch()) return;
        // The row's bytes belong to the scan: it stays on them until they were inserted.
        wait_until(static_cast<size_t>(&handed - batches_.data()), false);
        if (stopped()) return;
        continue;
      }
      if ((batch->used + length > batch_bytes || batch->rows.size() == batch_rows) && !next_batch()) return;
      std::memcpy(batch->bytes.get() + batch->used, key.data(), key.size());
      std::memcpy(batch->bytes.get() + batch->used + key.size(), value.data(), value.size());
      batch->rows.push_back({batch->used, key.size(), value.size()});
      batch->used += length;
      // Inserts waiting for rows get those read so far, once they are worth a hand-over,
      // rather than a full batch later.
      if ((batch->used >= early_bytes || batch->rows.size() >= early_rows) &&
          inserts_waiting_.load(std::memory_order_relaxed) && !next_batch())
        return;
    }
  }

  std::array<Batch, batch_count> batches_;
  std::mutex mutex_;
  std::condition_variable changed_;
  redb::TableScan* scan_ = nullptr;  // the scan of the copy under way; null while the thread is idle
  bool closing_ = false;             // the pipe is being released: the scanning thread ends
  bool stopped_ = false;  // the inserts ended (done or failed): the scan stops at its next turn
  std::atomic<bool> inserts_waiting_ = false;  // the inserts wait for the next batch
  std::thread scanning_;  // runs the scans; started once every other member is made
};

}  // namespace shard_migrate
