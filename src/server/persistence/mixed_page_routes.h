// Which destination shards the rows below each mixed page of a source table route to.
//
// A mixed page is one whose key bounds do not settle one graph: the root of a table's tree,
// and every page below whose rows may belong to several graphs (in the small tables, nearly
// every leaf). A pass cannot skip such a page on its bounds, so without this record every pass
// reads all of them, whatever share of their rows routes to its shard. The pass of shard 0
// reads every page anyway; it records here the shards each mixed page's rows route to, and a
// later pass skips a mixed page that holds no row of its shard.
//
// The record costs a page number and a bit per shard for each mixed page: for a table whose
// graphs fill a few leaves each, one branch or leaf in a few dozen.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace shard_migrate {

// The record of one source table's tree.
class TableRoutes {
 public:
  explicit TableRoutes(uint64_t shard_count) : words_((shard_count + 63) / 64) {}

  // Recording, as a scan reports it: `page` is entered, rows below it route to `shard`, `page`
  // is left. A run of one graph that began before a page is entered may go on below it: the
  // shard of the last row noted is counted in the page too.
  void enter(uint64_t page);
  void note(uint64_t shard);
  void leave(uint64_t page);

  // Whether rows below `page` may route to `shard`. A page the record does not hold may hold
  // anything.
  bool may_hold(uint64_t page, uint64_t shard) const;

 private:
  size_t words_;  // per shard mask
  // Recorded pages, each with the offset of its mask in masks_; sorted by page once the
  // root is left.
  std::vector<std::pair<uint64_t, size_t>> pages_;
  std::vector<uint64_t> masks_;
  // The pages entered and not yet left, root first, with their masks so far.
  std::vector<uint64_t> open_pages_;
  std::vector<uint64_t> open_masks_;
  std::optional<uint64_t> last_shard_;
};

// The records of every graph table of every source of one run.
class MixedPageRoutes {
 public:
  MixedPageRoutes(size_t source_count, size_t tables_per_source, uint64_t shard_count)
      : tables_per_source_(tables_per_source), tables_(source_count * tables_per_source, TableRoutes(shard_count)) {}

  TableRoutes& table(size_t source, size_t table) { return tables_.at(source * tables_per_source_ + table); }

 private:
  size_t tables_per_source_;
  std::vector<TableRoutes> tables_;
};

}  // namespace shard_migrate
