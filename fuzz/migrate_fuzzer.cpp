// Fuzz target: the input is the one shard file of a persist directory, migrated in destination
// mode into three shards by the engine's public entry. Beyond what the sanitizers and libFuzzer
// report (crashes, undefined behaviour, leaks, hangs), two promises of the engine are checked
// on every input, and a broken one aborts:
//  - the source file is byte-for-byte unchanged, whatever the outcome;
//  - after a successful run every destination shard opens and its ten tables scan with
//    validation to the end: the engine never writes a file it cannot read back.
//
// The files live in a scratch directory under $TMPDIR (the run script points it at a memory
// file system when there is one, so the commits' syncs cost nothing).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "redb.h"
#include "server/persistence/shard_migrate.h"
#include "server/persistence/shard_schema.h"

namespace {

namespace fs = std::filesystem;

constexpr uint64_t shard_count = 3;

[[noreturn]] void broken_promise(const std::string& what) {
  std::fprintf(stderr, "migrate_fuzzer: %s\n", what.c_str());
  std::abort();
}

// The scratch directory of this process, removed at exit.
struct Scratch {
  Scratch() {
    std::string pattern = (fs::temp_directory_path() / "migrate-fuzz-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) broken_promise("cannot make a scratch directory");
    root = pattern;
  }
  ~Scratch() {
    std::error_code ignored;
    fs::remove_all(root, ignored);
  }
  fs::path root;
};

const Scratch& scratch() {
  static const Scratch instance;
  return instance;
}

std::string file_bytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void check_destination_shard(const fs::path& path) {
  auto database = redb::Database::open(path.string());
  if (!database) broken_promise(path.string() + " written by a successful run does not open: " + database.error().text);
  auto transaction = database->begin_read();
  if (!transaction) broken_promise(transaction.error().text);
  auto check_table = [&](const redb::TableDefinition& definition) {
    auto table = transaction->open_table(definition);
    if (!table) {
      // Shard 0 holds all ten tables, the others the six graph tables.
      if (table.error().text.starts_with("Table '")) return;
      broken_promise(path.string() + ": " + table.error().text);
    }
    auto scan = table->scan();
    if (!scan) broken_promise(path.string() + ": " + scan.error().text);
    while (true) {
      auto more = scan->next();
      if (!more) broken_promise(path.string() + " table " + std::string(definition.name) + ": " + more.error().text);
      if (!*more) break;
    }
  };
  for (const redb::TableDefinition* definition : shard_migrate::graph_tables) check_table(*definition);
  for (const redb::TableDefinition* definition : shard_migrate::global_tables) check_table(*definition);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const fs::path persist = scratch().root / "persist", dest = scratch().root / "dest";
  fs::remove_all(persist);
  fs::remove_all(dest);
  fs::create_directories(persist);
  const fs::path source = persist / "graph.redb";
  const std::string input(reinterpret_cast<const char*>(data), size);
  std::ofstream(source, std::ios::binary).write(input.data(), static_cast<std::streamsize>(input.size()));

  const shard_migrate::MigrationResult result =
      shard_migrate::migrate_shards_into(persist.string(), dest.string(), shard_count);

  if (file_bytes(source) != input) broken_promise("the source file changed");
  if (result) {
    for (uint64_t shard = 0; shard < shard_count; ++shard)
      check_destination_shard(dest / ("graph-" + std::to_string(shard) + ".redb"));
  }
  return 0;
}
