#include "server/persistence/shard_schema.h"

#include <gtest/gtest.h>
#include <string>

namespace shard_migrate {
namespace {

TEST(ShardForGraph, FnvOneAModuloShardCount) {
  struct Case {
    std::string identifier;
    uint64_t shards;
    uint64_t expected;
  };
  const std::string long_identifier(300, 'q');
  const Case cases[] = {
      {"abc", 2, 1},     {"", 2, 1},        {"abc", 3, 0},    {"", 3, 2},
      {"abc", 16, 11},   {"", 16, 5},       {"ABC", 1000, 475}, {"abc", 1000, 931},
      {"\xc3\xa9", 16, 1},  // é as UTF-8
  };
  for (const Case& c : cases)
    EXPECT_EQ(shard_for_graph(c.identifier, c.shards, c.shards), c.expected) << c.identifier << " K=" << c.shards;
  // Below two shards everything is shard 0, without hashing or dividing.
  for (const std::string& identifier : {std::string("abc"), std::string(), long_identifier}) {
    EXPECT_EQ(shard_for_graph(identifier, 0, 1), 0u);
    EXPECT_EQ(shard_for_graph(identifier, 1, 1), 0u);
  }
}

TEST(ShardSchema, StoredTypeNames) {
  struct Case {
    const redb::TableDefinition& table;
    const char* name;
    const char* key_type;
    const char* value_type;
  };
  const Case cases[] = {
      {nodes_table, "nodes", "(&str,&str)", "&[u8]"},
      {edges_table, "edges", "(&str,&str,&str,u32)", "&[u8]"},
      {ledger_table, "ledger", "(&str,u64)", "&str"},
      {semantic_store_table, "semantic_store", "&str", "&[u8]"},
      {graph_meta_table, "graph_meta", "&str", "&[u8]"},
      {audit_chain_table, "audit_chain", "(&str,u64)", "&[u8]"},
      {raft_log_table, "raft_log", "(u64,u64)", "&[u8]"},
      {raft_meta_table, "raft_meta", "(u64,&str)", "&[u8]"},
      {xshard_prepare_table, "xshard_prepare", "(&str,u64)", "&[u8]"},
      {xshard_decision_table, "xshard_decision", "&str", "u8"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.table.name, c.name);
    EXPECT_EQ(c.table.key.name(), c.key_type) << c.name;
    EXPECT_EQ(c.table.value.name(), c.value_type) << c.name;
  }
  EXPECT_EQ(graph_tables[0], &nodes_table);
  EXPECT_EQ(graph_tables[4], &graph_meta_table);
  EXPECT_EQ(global_tables[3], &xshard_decision_table);
}

}  // namespace
}  // namespace shard_migrate
