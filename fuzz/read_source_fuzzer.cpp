// Fuzz target: the input is a database file, read the way the migration reads a source. It is
// opened (choosing the commit a repair would choose when the file was not closed cleanly), the
// ten tables of the graph service are opened by definition and every row is scanned with
// validation, as the table copies do, and every stored table is scanned as a dump does. Each
// input is read twice: as it is, and with the recovery bit set, so that the repair path (the
// verification of every tree of both commits) runs on every input, not only on the few whose
// god byte the fuzzer happens to change.
//
// Uses only the storage layer's public interface and the engine's table definitions. Any
// outcome is fine as long as it is an error value: the sanitizers and libFuzzer report crashes,
// undefined behaviour, leaks and hangs.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "redb.h"
#include "server/persistence/shard_schema.h"
#include "testing/memory_file.h"

namespace {

// The god byte follows the 9-byte magic; its bit 1 asks for recovery, as a crash leaves it.
constexpr size_t god_byte_offset = 9;
constexpr uint8_t recovery_required_bit = 0x02;

// Keeps the bytes handed out by the scans observably used.
volatile size_t bytes_seen = 0;

void drain(redb::TableScan& scan, bool graph_table) {
  while (true) {
    auto more = scan.next();
    if (!more || !*more) return;
    bytes_seen = bytes_seen + scan.key().size() + scan.value().size();
    if (graph_table) bytes_seen = bytes_seen + scan.key_element(0).size();
  }
}

void read_like_a_migration(std::span<const uint8_t> file) {
  auto database = redb::Database::open_file(redb::testing::MemoryFile::view(file));
  if (!database) return;
  bytes_seen = bytes_seen + database->needs_full_repair();
  auto transaction = database->begin_read();
  if (!transaction) return;

  auto read_table = [&](const redb::TableDefinition& definition, bool graph_table) {
    auto table = transaction->open_table(definition);
    if (!table) return;
    bytes_seen = bytes_seen + table->len();
    auto scan = table->scan();
    if (scan) drain(*scan, graph_table);
  };
  for (const redb::TableDefinition* definition : shard_migrate::graph_tables) read_table(*definition, true);
  for (const redb::TableDefinition* definition : shard_migrate::global_tables) read_table(*definition, false);

  auto tables = transaction->list_tables();
  if (!tables) return;
  redb::ScanBudget budget = transaction->scan_budget();
  for (const redb::StoredTable& table : *tables) {
    auto scan = transaction->scan_stored(table.name, &budget);
    if (scan) drain(*scan, false);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> file(data, size);
  read_like_a_migration(file);
  if (size > god_byte_offset && (data[god_byte_offset] & recovery_required_bit) == 0) {
    std::vector<uint8_t> crashed(data, data + size);
    crashed[god_byte_offset] |= recovery_required_bit;
    read_like_a_migration(crashed);
  }
  return 0;
}
