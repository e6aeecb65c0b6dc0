// The ten tables of the graph service's shard files, as the storage tests read them from the
// reference files. (The engine has its own definitions; the storage layer knows no schema.)
#pragma once

#include "redb.h"

namespace redb::testing {

inline const TypeDesc schema_text = TypeDesc::scalar(Scalar::str);
inline const TypeDesc schema_bytes = TypeDesc::scalar(Scalar::bytes);

// In this order: nodes, edges, ledger, semantic_store, graph_meta, audit_chain, raft_log,
// raft_meta, xshard_prepare, xshard_decision.
inline const TableDefinition schema[] = {
    {"nodes", TypeDesc::tuple({Scalar::str, Scalar::str}), schema_bytes},
    {"edges", TypeDesc::tuple({Scalar::str, Scalar::str, Scalar::str, Scalar::u32}), schema_bytes},
    {"ledger", TypeDesc::tuple({Scalar::str, Scalar::u64}), schema_text},
    {"semantic_store", schema_text, schema_bytes},
    {"graph_meta", schema_text, schema_bytes},
    {"audit_chain", TypeDesc::tuple({Scalar::str, Scalar::u64}), schema_bytes},
    {"raft_log", TypeDesc::tuple({Scalar::u64, Scalar::u64}), schema_bytes},
    {"raft_meta", TypeDesc::tuple({Scalar::u64, Scalar::str}), schema_bytes},
    {"xshard_prepare", TypeDesc::tuple({Scalar::str, Scalar::u64}), schema_bytes},
    {"xshard_decision", schema_text, TypeDesc::scalar(Scalar::u8)},
};

}  // namespace redb::testing
