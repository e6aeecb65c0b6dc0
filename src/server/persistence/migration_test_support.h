// Test helpers for the engine's suites: key encodings, writing small source stores with the
// storage layer, reading tables back, and whole-file snapshots.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "server/persistence/shard_files.h"
#include "server/persistence/shard_migrate.h"
#include "server/persistence/shard_schema.h"
#include "storage/redb.h"
#include "test_support/fixtures.h"

namespace shard_migrate::testing {

// Stored encodings, written out independently of the storage layer: integers little endian,
// tuples with a length prefix per variable-width element except a last one.
inline std::string u32_bytes(uint32_t value) {
  std::string out;
  for (int i = 0; i < 4; ++i) out += static_cast<char>((value >> (8 * i)) & 0xff);
  return out;
}
inline std::string u64_bytes(uint64_t value) {
  std::string out;
  for (int i = 0; i < 8; ++i) out += static_cast<char>((value >> (8 * i)) & 0xff);
  return out;
}
inline std::string length_prefix(size_t length) {
  if (length < 254) return std::string(1, static_cast<char>(length));
  if (length <= 0xffff) return "\xfe" + u32_bytes(static_cast<uint32_t>(length)).substr(0, 2);
  return "\xff" + u32_bytes(static_cast<uint32_t>(length));
}
inline std::string nodes_key(std::string_view graph, std::string_view node) {
  return length_prefix(graph.size()) + std::string(graph) + std::string(node);
}
inline std::string edges_key(std::string_view graph, std::string_view from, std::string_view to, uint32_t kind) {
  return length_prefix(graph.size()) + length_prefix(from.size()) + length_prefix(to.size()) + std::string(graph) +
         std::string(from) + std::string(to) + u32_bytes(kind);
}
// (&str,u64): ledger, audit_chain, xshard_prepare.
inline std::string text_u64_key(std::string_view text, uint64_t number) {
  return length_prefix(text.size()) + std::string(text) + u64_bytes(number);
}
inline std::string raft_log_key(uint64_t a, uint64_t b) { return u64_bytes(a) + u64_bytes(b); }
inline std::string raft_meta_key(uint64_t a, std::string_view text) { return u64_bytes(a) + std::string(text); }

// The graph identifier of a stored graph-table key, decoded here from the bytes alone.
inline std::string graph_of_key(const redb::TableDefinition& table, std::string_view key) {
  if (!table.key.is_tuple()) return std::string(key);
  size_t prefixes = 0;
  for (size_t i = 0; i < table.key.element_count(); ++i) {
    redb::Scalar type = table.key.element_type(i);
    bool variable = type == redb::Scalar::str || type == redb::Scalar::bytes;
    if (variable && i + 1 < table.key.element_count()) ++prefixes;
  }
  size_t position = 0;
  size_t first_length = 0;
  for (size_t i = 0; i < prefixes; ++i) {
    size_t length = static_cast<unsigned char>(key[position]);
    size_t width = 1;
    if (length == 0xfe) {
      length = static_cast<unsigned char>(key[position + 1]) | static_cast<unsigned char>(key[position + 2]) << 8;
      width = 3;
    } else if (length == 0xff) {
      length = 0;
      for (int b = 0; b < 4; ++b) length |= size_t(static_cast<unsigned char>(key[position + 1 + b])) << (8 * b);
      width = 5;
    }
    if (i == 0) first_length = length;
    position += width;
  }
  return std::string(key.substr(position, first_length));
}

struct Row {
  redb::TableDefinition table;
  std::string key;
  std::string value;
};

// Creates a database at `path` holding `rows` (inserted in order, one write transaction) and
// empty tables for `empty_tables`.
inline void write_store(const std::string& path, const std::vector<Row>& rows,
                        const std::vector<redb::TableDefinition>& empty_tables = {}) {
  auto database = redb::Database::create(path);
  ASSERT_TRUE(database) << database.error().text;
  auto transaction = database->begin_write();
  ASSERT_TRUE(transaction) << transaction.error().text;
  for (const redb::TableDefinition& definition : empty_tables) {
    auto table = transaction->open_table(definition);
    ASSERT_TRUE(table) << table.error().text;
  }
  for (const Row& row : rows) {
    auto table = transaction->open_table(row.table);
    ASSERT_TRUE(table) << table.error().text;
    auto inserted = table->insert(row.key, row.value);
    ASSERT_TRUE(inserted) << inserted.error().text;
  }
  auto committed = transaction->commit();
  ASSERT_TRUE(committed) << committed.error().text;
}

using Rows = std::vector<std::pair<std::string, std::string>>;

// Every row of a table in scan order, or nothing when the table does not open.
inline std::optional<Rows> read_rows(const std::string& path, const redb::TableDefinition& definition) {
  auto database = redb::Database::open(path);
  EXPECT_TRUE(database) << path << ": " << database.error().text;
  if (!database) return std::nullopt;
  auto transaction = database->begin_read();
  EXPECT_TRUE(transaction) << transaction.error().text;
  if (!transaction) return std::nullopt;
  auto table = transaction->open_table(definition);
  if (!table) return std::nullopt;
  auto scan = table->scan();
  EXPECT_TRUE(scan) << scan.error().text;
  if (!scan) return std::nullopt;
  Rows rows;
  while (true) {
    auto has_row = scan->next();
    EXPECT_TRUE(has_row) << has_row.error().text;
    if (!has_row || !*has_row) break;
    rows.emplace_back(std::string(scan->key()), std::string(scan->value()));
  }
  return rows;
}

// The text of the error a table open gives, or "" when it opens.
inline std::string table_open_error(const std::string& path, const redb::TableDefinition& definition) {
  auto database = redb::Database::open(path);
  if (!database) return "database: " + database.error().text;
  auto transaction = database->begin_read();
  if (!transaction) return "transaction: " + transaction.error().text;
  auto table = transaction->open_table(definition);
  return table ? "" : table.error().text;
}

using test_support::file_bytes;

// Whole-file contents of every regular file directly in `dir`, by name.
inline std::map<std::string, std::string> snapshot_files(const std::filesystem::path& dir) {
  std::map<std::string, std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    if (entry.is_regular_file()) files[entry.path().filename().string()] = file_bytes(entry.path());
  }
  return files;
}

// What one source holds, table by table, as the test knows it (from the rows it wrote, or from
// a fixture's dump): stored name, kind and type names, and rows.
struct SourceTable {
  std::string name;
  bool multimap = false;
  std::string key_type;
  std::string value_type;
  Rows rows;
};
using SourceContent = std::vector<SourceTable>;

inline SourceContent content_of(const std::vector<Row>& rows, const std::vector<redb::TableDefinition>& empty_tables = {}) {
  SourceContent content;
  auto table_for = [&](const redb::TableDefinition& definition) -> SourceTable& {
    for (SourceTable& table : content)
      if (table.name == definition.name) return table;
    content.push_back({std::string(definition.name), false, definition.key.name(), definition.value.name(), {}});
    return content.back();
  };
  for (const redb::TableDefinition& definition : empty_tables) table_for(definition);
  for (const Row& row : rows) {
    Rows& table_rows = table_for(row.table).rows;
    bool replaced = false;
    for (auto& [key, value] : table_rows)
      if (key == row.key) value = row.value, replaced = true;
    if (!replaced) table_rows.emplace_back(row.key, row.value);
  }
  return content;
}

inline std::string from_hex(std::string_view hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) out += static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16));
  return out;
}

// Reads a fixture's `.dump.json` (one table header per line, one row per line).
inline SourceContent content_of_dump(const std::filesystem::path& dump) {
  SourceContent content;
  std::ifstream in(dump);
  std::string line;
  auto member = [](const std::string& text, const std::string& name) {
    std::string marker = "\"" + name + "\":\"";
    size_t start = text.find(marker) + marker.size();
    std::string value;
    for (size_t i = start; text[i] != '"'; ++i) {
      if (text[i] == '\\') ++i;
      value += text[i];
    }
    return value;
  };
  while (std::getline(in, line)) {
    if (line.starts_with("{\"name\":")) {
      content.push_back({member(line, "name"), member(line, "kind") == "multimap", member(line, "key_type"),
                         member(line, "value_type"), {}});
    } else if (line.starts_with("[\"")) {
      size_t middle = line.find("\",\"");
      std::string key = line.substr(2, middle - 2);
      size_t value_start = middle + 3;
      std::string value = line.substr(value_start, line.find('"', value_start) - value_start);
      content.back().rows.emplace_back(from_hex(key), from_hex(value));
    }
  }
  return content;
}

inline const SourceTable* find_matching(const SourceContent& source, const redb::TableDefinition& definition) {
  for (const SourceTable& table : source) {
    if (table.name == definition.name && !table.multimap && table.key_type == definition.key.name() &&
        table.value_type == definition.value.name())
      return &table;
  }
  return nullptr;
}

// What a migration of these sources (in discovery order) must produce, worked out from the
// sources alone: the report's counters and each table's merged content, later source winning.
struct ExpectedMigration {
  MigrationReport report;
  std::map<std::string, std::map<std::string, std::string>> merged;  // table name -> key -> value
};

inline ExpectedMigration expected_migration(const std::vector<SourceContent>& sources, uint64_t shards) {
  ExpectedMigration expected;
  expected.report.source_shards = sources.size();
  expected.report.dest_shards = shards < 1 ? 1 : shards;
  std::map<std::string, uint64_t> inserts;
  for (const SourceContent& source : sources) {
    auto take = [&](const redb::TableDefinition& definition) {
      auto& merged = expected.merged[std::string(definition.name)];
      if (const SourceTable* table = find_matching(source, definition)) {
        for (const auto& [key, value] : table->rows) merged[key] = value;
        inserts[std::string(definition.name)] += table->rows.size();
      }
    };
    for (const redb::TableDefinition* definition : graph_tables) take(*definition);
    for (const redb::TableDefinition* definition : global_tables) take(*definition);
  }
  expected.report.graphs = expected.merged["graph_meta"].size();
  expected.report.nodes = inserts["nodes"];
  expected.report.edges = inserts["edges"];
  expected.report.ledger = inserts["ledger"];
  expected.report.semantic = inserts["semantic_store"];
  expected.report.audit = inserts["audit_chain"];
  expected.report.global = inserts["raft_log"] + inserts["raft_meta"] + inserts["xshard_prepare"] + inserts["xshard_decision"];
  return expected;
}

// Reads the K destination shards back: every graph row lies in the shard its identifier routes
// to, the shards together hold exactly the merged graph tables, shard 0 alone holds the merged
// global tables, and every shard holds all six graph tables.
inline void expect_layout(const std::string& dest_dir, uint64_t shards, const ExpectedMigration& expected) {
  const uint64_t shard_count = shards < 1 ? 1 : shards;
  std::map<std::string, std::map<std::string, std::string>> found;
  for (uint64_t d = 0; d < shard_count; ++d) {
    std::string path = join_path(dest_dir, shard_file_name(d, shards));
    for (const redb::TableDefinition* definition : graph_tables) {
      auto rows = read_rows(path, *definition);
      ASSERT_TRUE(rows) << path << " lacks " << definition->name;
      for (const auto& [key, value] : *rows) {
        std::string graph = graph_of_key(*definition, key);
        EXPECT_EQ(shard_for_graph(graph, shards, shard_count), d) << definition->name << " row of graph " << graph;
        EXPECT_TRUE(found[std::string(definition->name)].emplace(key, value).second) << "key in two shards";
      }
    }
    for (const redb::TableDefinition* definition : global_tables) {
      if (d == 0) {
        auto rows = read_rows(path, *definition);
        ASSERT_TRUE(rows) << path << " lacks " << definition->name;
        std::map<std::string, std::string> as_map(rows->begin(), rows->end());
        EXPECT_EQ(as_map, expected.merged.at(std::string(definition->name))) << definition->name;
      } else {
        EXPECT_EQ(table_open_error(path, *definition), fmt::format("Table '{}' does not exist", definition->name));
      }
    }
  }
  for (const redb::TableDefinition* definition : graph_tables) {
    std::string name(definition->name);
    EXPECT_EQ(found[name], expected.merged.at(name)) << name;
  }
}

}  // namespace shard_migrate::testing
