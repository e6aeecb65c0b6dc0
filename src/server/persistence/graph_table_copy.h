// The routed copy of the six graph tables into one destination shard.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "server/persistence/mixed_page_routes.h"
#include "server/persistence/row_accounts.h"
#include "server/persistence/table_copy.h"
#include "storage/redb.h"

namespace shard_migrate {

// Hashes texts by content so that a string_view lookup needs no copy.
struct TextHash {
  using is_transparent = void;
  size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
};

// The distinct graph identifiers copied from graph_meta during one run.
using GraphsSeen = std::unordered_set<std::string, TextHash, std::equal_to<>>;

// The six counters the graph copy keeps; they add up over all destination shards of a run.
struct GraphCounters {
  uint64_t graphs = 0;
  uint64_t nodes = 0;
  uint64_t edges = 0;
  uint64_t ledger = 0;
  uint64_t semantic = 0;
  uint64_t audit = 0;
};

// The six graph tables of one destination shard, open on its write transaction in the order
// nodes, edges, ledger, semantic_store, graph_meta, audit_chain; released latest first.
using DestinationGraphTables = OpenTables;

// Opens (creating) the six graph tables of a destination shard; fails with the library's text.
std::expected<DestinationGraphTables, std::string> open_destination_graph_tables(redb::WriteTransaction& transaction);

// Copies into shard `dest_index` every graph record of every source (in discovery order) whose
// identifier routes there under `requested_shards` and `shard_count` (the clamped count), adds
// the inserts to `counters` and notes the rows of each source table in `accounts`. Neither
// commits nor aborts the destination's transaction.
//
// The pass of shard 0 reads every source table in full and checks every record, as each pass
// of the plain K-pass copy did, so that a damaged record ends the run before any shard is
// committed. The later passes read only what may route to them: a subtree whose keys all
// belong to one graph of another shard is not read, and the other records of other shards are
// decoded no further than their graph identifier. `routes` (for the graph tables, in visit
// order) is recorded by the pass of shard 0 and read by the later passes.
CopyStatus copy_graph_tables(std::span<const redb::Database> sources, uint64_t dest_index, uint64_t requested_shards,
                             uint64_t shard_count, DestinationGraphTables& dest, GraphsSeen& graphs_seen,
                             GraphCounters& counters, RowAccounts& accounts, MixedPageRoutes& routes);

}  // namespace shard_migrate
