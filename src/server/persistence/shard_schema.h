// The schema of a shard database: the six graph tables, whose records each belong to one graph
// and are routed by its identifier, and the four global tables, which belong to no graph and
// live in shard 0 only. One definition per table serves the reading and the writing side, so
// records are written with exactly the types under which they were read.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "storage/redb.h"

namespace shard_migrate {

using redb::Scalar;
using redb::TableDefinition;
using redb::TypeDesc;

// Graph tables. The graph identifier is the first key element, or the whole key where the key
// is a single text (`semantic_store`, `graph_meta`).
inline constexpr TableDefinition nodes_table{
    "nodes", TypeDesc::tuple({Scalar::str, Scalar::str}), TypeDesc::scalar(Scalar::bytes)};
inline constexpr TableDefinition edges_table{
    "edges", TypeDesc::tuple({Scalar::str, Scalar::str, Scalar::str, Scalar::u32}), TypeDesc::scalar(Scalar::bytes)};
inline constexpr TableDefinition ledger_table{
    "ledger", TypeDesc::tuple({Scalar::str, Scalar::u64}), TypeDesc::scalar(Scalar::str)};
inline constexpr TableDefinition semantic_store_table{
    "semantic_store", TypeDesc::scalar(Scalar::str), TypeDesc::scalar(Scalar::bytes)};
inline constexpr TableDefinition graph_meta_table{
    "graph_meta", TypeDesc::scalar(Scalar::str), TypeDesc::scalar(Scalar::bytes)};
inline constexpr TableDefinition audit_chain_table{
    "audit_chain", TypeDesc::tuple({Scalar::str, Scalar::u64}), TypeDesc::scalar(Scalar::bytes)};

// The graph tables in the order a destination shard opens (and so creates) them.
inline constexpr std::array<const TableDefinition*, 6> graph_tables{
    &nodes_table, &edges_table, &ledger_table, &semantic_store_table, &graph_meta_table, &audit_chain_table};

// Global tables, in the order shard 0 opens them and each source is visited.
inline constexpr TableDefinition raft_log_table{
    "raft_log", TypeDesc::tuple({Scalar::u64, Scalar::u64}), TypeDesc::scalar(Scalar::bytes)};
inline constexpr TableDefinition raft_meta_table{
    "raft_meta", TypeDesc::tuple({Scalar::u64, Scalar::str}), TypeDesc::scalar(Scalar::bytes)};
inline constexpr TableDefinition xshard_prepare_table{
    "xshard_prepare", TypeDesc::tuple({Scalar::str, Scalar::u64}), TypeDesc::scalar(Scalar::bytes)};
inline constexpr TableDefinition xshard_decision_table{
    "xshard_decision", TypeDesc::scalar(Scalar::str), TypeDesc::scalar(Scalar::u8)};

inline constexpr std::array<const TableDefinition*, 4> global_tables{
    &raft_log_table, &raft_meta_table, &xshard_prepare_table, &xshard_decision_table};

// The shard (0 <= index < shard_count) that owns every record of a graph: 0 when fewer than
// two shards were requested, else FNV-1a 64 of the identifier's bytes modulo shard_count.
// `requested_shards` is the count as the caller received it, `shard_count` that count clamped
// to at least 1. Reads the identifier in place; never allocates.
uint64_t shard_for_graph(std::string_view graph_identifier, uint64_t requested_shards, uint64_t shard_count);

}  // namespace shard_migrate
