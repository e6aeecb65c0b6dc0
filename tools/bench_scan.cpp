// bench_scan [FILE]: scans every table of a database repeatedly and prints the rate, once with
// raw stored scans and once with scans that validate every row under the table's types.
// Default file: a scratch copy of the reference deep/graph.redb. Not a test.
#include <chrono>
#include <cstdio>
#include <string>

#include "redb.h"
#include "test_support/fixtures.h"

namespace {

struct Totals {
  uint64_t rows = 0;
  uint64_t bytes = 0;
};

redb::Result<Totals> scan_all(const redb::ReadTransaction& transaction, bool validated) {
  Totals totals;
  auto tables = transaction.list_tables();
  if (!tables) return std::unexpected(tables.error());
  for (const redb::StoredTable& table : *tables) {
    redb::Result<redb::TableScan> scan = std::unexpected(redb::Error{"unset"});
    std::optional<redb::ReadOnlyTable> opened;
    // Var-width tuples are stored in the current encoding (byte 3) by every reference file.
    auto key = redb::TypeDesc::from_stored_name(std::string(1, '\x03') + table.key_type);
    if (!key) key = redb::TypeDesc::from_stored_name(std::string(1, '\x01') + table.key_type);
    auto value = redb::TypeDesc::from_stored_name(std::string(1, '\x01') + table.value_type);
    if (validated && key && value && table.kind == redb::TableKind::normal) {
      auto open = transaction.open_table({table.name, *key, *value});
      if (!open) return std::unexpected(open.error());
      opened = std::move(*open);
      scan = opened->scan();
    } else {
      scan = transaction.scan_stored(table.name);
    }
    if (!scan) return std::unexpected(scan.error());
    while (true) {
      auto more = scan->next();
      if (!more) return std::unexpected(more.error());
      if (!*more) break;
      ++totals.rows;
      totals.bytes += scan->key().size() + scan->value().size();
    }
  }
  return totals;
}

}  // namespace

int main(int argc, char** argv) {
  test_support::ScratchDir scratch;
  std::string path;
  if (argc > 1) {
    path = argv[1];
  } else {
    if (test_support::fixtures_dir().empty()) {
      std::fprintf(stderr, "reference files not found (set REDB_FIXTURES)\n");
      return 1;
    }
    path = test_support::copy_fixture("deep/graph.redb", scratch.path()).string();
  }
  auto database = redb::Database::open(path);
  if (!database) {
    std::fprintf(stderr, "%s\n", database.error().text.c_str());
    return 1;
  }
  for (bool validated : {false, true}) {
    Totals totals;
    int passes = 0;
    auto start = std::chrono::steady_clock::now();
    double seconds = 0;
    while (seconds < 2.0 || passes < 3) {
      auto transaction = database->begin_read();
      if (!transaction) return std::fprintf(stderr, "%s\n", transaction.error().text.c_str()), 1;
      auto pass = scan_all(*transaction, validated);
      if (!pass) return std::fprintf(stderr, "%s\n", pass.error().text.c_str()), 1;
      totals.rows += pass->rows;
      totals.bytes += pass->bytes;
      ++passes;
      seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    std::printf("%-10s %d passes, %llu rows per pass: %.0f records/s, %.1f MB/s (key+value bytes)\n",
                validated ? "validated" : "stored", passes, static_cast<unsigned long long>(totals.rows / passes),
                totals.rows / seconds, totals.bytes / seconds / 1e6);
  }
  return 0;
}
