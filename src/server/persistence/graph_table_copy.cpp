#include "server/persistence/graph_table_copy.h"

#include <array>

#include "server/persistence/shard_schema.h"

namespace shard_migrate {

namespace {

// The order the copy visits a source's graph tables, each with the counter its inserts feed.
// graph_meta has none: it feeds `graphs`, once per distinct identifier.
struct GraphTableVisit {
  const redb::TableDefinition* definition;
  uint64_t GraphCounters::*counter;
};

constexpr std::array<GraphTableVisit, 6> visit_order{{
    {&graph_meta_table, nullptr},
    {&nodes_table, &GraphCounters::nodes},
    {&edges_table, &GraphCounters::edges},
    {&ledger_table, &GraphCounters::ledger},
    {&semantic_store_table, &GraphCounters::semantic},
    {&audit_chain_table, &GraphCounters::audit},
}};

// Wants the graphs that route to one destination shard. In the pass of shard 0, which reads
// every page, it records where the rows below each mixed page route; later passes skip the
// mixed pages that hold none of theirs.
class RoutedTo final : public redb::KeyFilter {
 public:
  RoutedTo(uint64_t dest_index, uint64_t requested_shards, uint64_t shard_count)
      : dest_index_(dest_index), requested_shards_(requested_shards), shard_count_(shard_count) {}

  // The record of the table scanned next.
  void use_routes(TableRoutes& routes) { routes_ = &routes; }

  bool wanted(std::string_view graph_identifier) override {
    const uint64_t shard = shard_for_graph(graph_identifier, requested_shards_, shard_count_);
    if (recording()) routes_->note(shard);
    return shard == dest_index_;
  }
  bool read_mixed_page(uint64_t page) override { return recording() || routes_->may_hold(page, dest_index_); }
  void enter_mixed_page(uint64_t page) override {
    if (recording()) routes_->enter(page);
  }
  void leave_mixed_page(uint64_t page) override {
    if (recording()) routes_->leave(page);
  }

 private:
  bool recording() const { return dest_index_ == 0; }
  uint64_t dest_index_, requested_shards_, shard_count_;
  TableRoutes* routes_ = nullptr;
};

// Counts a graph_meta identifier once per run. It is copied into the set only when new.
void note_graph(std::string_view graph_identifier, GraphsSeen& graphs_seen, GraphCounters& counters) {
  if (graphs_seen.contains(graph_identifier)) return;
  graphs_seen.emplace(graph_identifier);
  ++counters.graphs;
}

}  // namespace

std::expected<DestinationGraphTables, std::string> open_destination_graph_tables(redb::WriteTransaction& transaction) {
  return OpenTables::open(transaction, graph_tables);
}

CopyStatus copy_graph_tables(std::span<const redb::Database> sources, uint64_t dest_index, uint64_t requested_shards,
                             uint64_t shard_count, DestinationGraphTables& dest, GraphsSeen& graphs_seen,
                             GraphCounters& counters, RowAccounts& accounts, MixedPageRoutes& routes) {
  RoutedTo routed_here(dest_index, requested_shards, shard_count);
  const redb::UnwantedRows others = dest_index == 0 ? redb::UnwantedRows::checked : redb::UnwantedRows::skipped;
  std::array<const redb::TableDefinition*, visit_order.size()> definitions;
  std::array<redb::Table*, visit_order.size()> destinations;
  for (size_t table = 0; table < visit_order.size(); ++table) {
    definitions[table] = visit_order[table].definition;
    destinations[table] = &dest.table(*visit_order[table].definition);
  }
  return copy_source_tables(
      sources, definitions, destinations,
      [&](size_t source, size_t table, const redb::ReadOnlyTable& read) {
        routed_here.use_routes(routes.table(source, table));
        return read.scan(routed_here, others);
      },
      [&](size_t table, std::string_view key) {
        uint64_t GraphCounters::*counter = visit_order[table].counter;
        // graph_meta's key is the graph identifier itself.
        if (counter == nullptr) note_graph(key, graphs_seen, counters);
        else ++(counters.*counter);
      },
      accounts);
}

}  // namespace shard_migrate
