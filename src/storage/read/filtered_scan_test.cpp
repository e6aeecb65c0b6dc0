// Filtered scans: which pages a scan reads, what it hands out, and how a key outside the bounds
// its branch gives it ends the scan. The trees are built page by page, so that every page's
// place and bounds are known; reads are counted by a file that records them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "format/table_definition.h"
#include "redb.h"
#include "testing/database_image.h"

namespace redb {
namespace {

using testing::DatabaseImage;
using Bytes = std::vector<uint8_t>;

const TypeDesc pair_type = TypeDesc::tuple({Scalar::str, Scalar::str});
const TypeDesc bytes_type = TypeDesc::scalar(Scalar::bytes);
const TableDefinition nodes{"nodes", pair_type, bytes_type};
constexpr EntryWidths var_widths{std::nullopt, std::nullopt};

// A (&str,&str) key: the graph's length, the graph, the node.
std::string key_of(std::string_view graph, std::string_view node) {
  return std::string(1, static_cast<char>(graph.size())) + std::string(graph) + std::string(node);
}

// The graph of such a key.
std::string graph_of(std::string_view key) { return std::string(key.substr(1, static_cast<uint8_t>(key[0]))); }

// A file in memory that records every read as (offset, length).
class RecordingFile final : public File {
 public:
  explicit RecordingFile(const Bytes& bytes) : bytes_(bytes) {}
  Result<uint64_t> length() override { return bytes_.size(); }
  Status read_at(uint64_t offset, std::span<uint8_t> out) override {
    if (offset > bytes_.size() || out.size() > bytes_.size() - offset)
      return std::unexpected(Error::io_message("failed to fill whole buffer"));
    std::memcpy(out.data(), bytes_.data() + offset, out.size());
    reads->emplace_back(offset, out.size());
    return {};
  }
  Status write_at(uint64_t, std::span<const uint8_t>) override { return std::unexpected(Error{"read only"}); }
  Status sync_data() override { return std::unexpected(Error{"read only"}); }
  Status set_length(uint64_t) override { return std::unexpected(Error{"read only"}); }

  std::shared_ptr<std::vector<std::pair<uint64_t, size_t>>> reads = std::make_shared<std::vector<std::pair<uint64_t, size_t>>>();

 private:
  const Bytes& bytes_;
};

// Wants one graph and notes every question.
class WantOne final : public KeyFilter {
 public:
  explicit WantOne(std::string graph) : graph_(std::move(graph)) {}
  bool wanted(std::string_view element) override {
    asked.emplace_back(element);
    return element == graph_;
  }
  std::vector<std::string> asked;

 private:
  std::string graph_;
};

struct Entry {
  std::string key;
  std::string value;
};

// A nodes table of graphs a, b, c, d, three levels deep, each leaf holding one graph:
//   root: [left, right], separator b/7
//   left:  a1 = a/0..a/3   a2 = a/4..a/7   b1 = b/0..b/3   b2 = b/4..b/7 (separators: last keys)
//   right: c1 = c/0 with a value of 12000 bytes (a leaf of order 2)   c2 = c/1..c/3
//          d1 = d/0..d/3   d2 = d/4..d/7
// `change` may alter the entries of a leaf (by name) before the pages are laid out.
struct Tree {
  Bytes file;
  std::map<std::string, DatabaseImage::Placed> leaves;
  std::map<std::string, DatabaseImage::Placed> branches;  // root, left, right
  std::map<std::string, std::vector<Entry>> entries;
};

Tree build_tree(const std::function<void(std::map<std::string, std::vector<Entry>>&)>& change = nullptr) {
  Tree tree;
  auto run = [](std::string_view graph, int first, int last) {
    std::vector<Entry> entries;
    for (int n = first; n <= last; ++n) entries.push_back({key_of(graph, std::to_string(n)), "value-" + std::to_string(n)});
    return entries;
  };
  tree.entries = {{"a1", run("a", 0, 3)}, {"a2", run("a", 4, 7)}, {"b1", run("b", 0, 3)}, {"b2", run("b", 4, 7)},
                  {"c1", {{key_of("c", "0"), std::string(12000, 'v')}}},
                  {"c2", run("c", 1, 3)}, {"d1", run("d", 0, 3)}, {"d2", run("d", 4, 7)}};
  const std::map<std::string, std::string> separators_after = {
      {"a1", key_of("a", "3")}, {"a2", key_of("a", "7")}, {"b1", key_of("b", "3")}, {"b2", key_of("b", "7")},
      {"c1", key_of("c", "0")}, {"c2", key_of("c", "3")}, {"d1", key_of("d", "3")}};
  if (change) change(tree.entries);
  DatabaseImage image;
  uint64_t rows = 0;
  for (const auto& [name, entries] : tree.entries) {
    std::vector<LeafEntry> leaf;
    for (const Entry& entry : entries) leaf.push_back({entry.key, entry.value});
    tree.leaves[name] = image.add_leaf(leaf, var_widths);
    rows += entries.size();
  }
  auto branch = [&](std::vector<std::string> children) {
    std::vector<DatabaseImage::Placed> placed;
    std::vector<std::string_view> separators;
    for (size_t i = 0; i < children.size(); ++i) {
      placed.push_back(tree.leaves[children[i]]);
      if (i + 1 < children.size()) separators.push_back(separators_after.at(children[i]));
    }
    return image.add_branch(placed, separators, std::nullopt);
  };
  DatabaseImage::Placed left = branch({"a1", "a2", "b1", "b2"});
  DatabaseImage::Placed right = branch({"c1", "c2", "d1", "d2"});
  const std::string_view top[] = {separators_after.at("b2")};
  DatabaseImage::Placed root = image.add_branch(std::vector<DatabaseImage::Placed>{left, right}, top, std::nullopt);
  tree.branches = {{"root", root}, {"left", left}, {"right", right}};
  StoredDefinition definition = StoredDefinition::for_new_table(pair_type, bytes_type);
  definition.root = BtreeHeader{root.page, root.checksum, rows};
  definition.table_length = rows;
  BtreeHeader table_tree = image.add_table_tree({{"nodes", definition}});
  tree.file = image.finish(DatabaseImage::commit(table_tree, 2, image.add_allocator_state(2)),
                           DatabaseImage::commit(std::nullopt, 1));
  return tree;
}

struct Scanned {
  std::vector<Entry> rows;
  std::string error;
  std::optional<LeafDepths> depths;
};

Scanned scan_with(const Bytes& file, KeyFilter& filter, UnwantedRows unwanted,
                  std::shared_ptr<std::vector<std::pair<uint64_t, size_t>>>* reads = nullptr) {
  auto recording = std::make_unique<RecordingFile>(file);
  auto log = recording->reads;
  auto database = Database::open_file(std::move(recording));
  EXPECT_TRUE(database) << database.error().text;
  auto transaction = database->begin_read();
  auto table = transaction->open_table(nodes);
  EXPECT_TRUE(table) << table.error().text;
  log->clear();  // only the scan's own reads
  auto scan = table->scan(filter, unwanted);
  Scanned scanned;
  while (true) {
    auto more = scan->next();
    if (!more) {
      scanned.error = more.error().text;
      break;
    }
    if (!*more) break;
    scanned.rows.push_back({std::string(scan->key()), std::string(scan->value())});
    EXPECT_EQ(scan->key_element(0), graph_of(scanned.rows.back().key));
  }
  scanned.depths = scan->leaf_depths();
  if (reads) *reads = log;
  return scanned;
}

// Bytes read within the block of a placed page.
size_t bytes_read_in(const std::vector<std::pair<uint64_t, size_t>>& reads, const DatabaseImage::Placed& page) {
  const uint64_t begin = DatabaseImage::offset_of(page.page), end = begin + page.page.byte_length();
  size_t bytes = 0;
  for (const auto& [offset, length] : reads)
    if (offset >= begin && offset < end) bytes += length;
  return bytes;
}

TEST(FilteredScan, SkippedRowsLeaveTheirSubtreesAndValuesUnread) {
  const Tree tree = build_tree();
  for (UnwantedRows unwanted : {UnwantedRows::skipped, UnwantedRows::checked}) {
    for (std::string graph : {"a", "b", "c", "d", "x"}) {
      SCOPED_TRACE(graph + (unwanted == UnwantedRows::skipped ? " skipped" : " checked"));
      WantOne filter(graph);
      std::shared_ptr<std::vector<std::pair<uint64_t, size_t>>> reads;
      Scanned scanned = scan_with(tree.file, filter, unwanted, &reads);
      EXPECT_EQ(scanned.error, "");
      // Exactly the graph's rows, in key order, values whole.
      std::vector<Entry> expected;
      for (const auto& [name, entries] : tree.entries)
        for (const Entry& entry : entries)
          if (graph_of(entry.key) == graph) expected.push_back(entry);
      std::sort(expected.begin(), expected.end(), [](const Entry& x, const Entry& y) { return x.key < y.key; });
      ASSERT_EQ(scanned.rows.size(), expected.size());
      for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(scanned.rows[i].key, expected[i].key);
        EXPECT_EQ(scanned.rows[i].value, expected[i].value);
      }
      // The filter is asked once per run of equal first elements.
      for (size_t i = 1; i < filter.asked.size(); ++i) EXPECT_NE(filter.asked[i], filter.asked[i - 1]);
      ASSERT_TRUE(scanned.depths);
      EXPECT_EQ(scanned.depths->shallowest, 2u);
      EXPECT_EQ(scanned.depths->deepest, 2u);

      // A leaf whose bounds share one graph is read only when that graph is wanted (a2: a/3..a/7,
      // b2: b/3..b/7, c2: c/0..c/3, d1: c/3..d/3 is shared by two graphs). A checked scan
      // reads every leaf.
      for (const auto& [name, skipped_unless] : std::map<std::string, std::string>{{"a2", "a"}, {"b2", "b"}, {"c2", "c"}}) {
        const bool read = unwanted == UnwantedRows::checked || graph == skipped_unless;
        EXPECT_EQ(bytes_read_in(*reads, tree.leaves.at(name)) > 0, read) << name;
      }
      for (std::string name : {"a1", "b1", "d1", "d2"}) EXPECT_GT(bytes_read_in(*reads, tree.leaves.at(name)), 0u) << name;
      // The large leaf c1 is read as far as its header and key (within its first base page),
      // and whole only when its row is handed out.
      const size_t c1_read = bytes_read_in(*reads, tree.leaves.at("c1"));
      if (graph == "c") EXPECT_GT(c1_read, 12000u);
      else EXPECT_LE(c1_read, size_t{page_size});
    }
  }
}

// Notes, in a first scan, the graphs asked about below each mixed page; in a later scan of the
// same tree, wants one graph and turns down the mixed pages where it was not noted.
class MixedPageNotes final : public KeyFilter {
 public:
  MixedPageNotes(std::map<uint64_t, std::set<std::string>>& below, std::string graph)
      : below_(below), graph_(std::move(graph)) {}
  bool wanted(std::string_view element) override {
    last_ = element;
    for (uint64_t page : open_) below_[page].insert(last_);
    return element == graph_;
  }
  bool read_mixed_page(uint64_t page) override {
    auto noted = below_.find(page);
    return noted == below_.end() || noted->second.contains(graph_);
  }
  void enter_mixed_page(uint64_t page) override {
    entered.push_back(page);
    open_.push_back(page);
    // A run of one graph that began before the page may go on below it.
    if (!last_.empty()) below_[page].insert(last_);
  }
  void leave_mixed_page(uint64_t page) override {
    ASSERT_FALSE(open_.empty());
    EXPECT_EQ(open_.back(), page);
    open_.pop_back();
  }
  std::vector<uint64_t> entered;

 private:
  std::map<uint64_t, std::set<std::string>>& below_;
  std::string graph_;
  std::string last_;
  std::vector<uint64_t> open_;
};

TEST(FilteredScan, MixedPagesAreReportedAndMayBeTurnedDown) {
  const Tree tree = build_tree();
  auto placed = [&](const std::string& name) {
    return tree.leaves.contains(name) ? tree.leaves.at(name) : tree.branches.at(name);
  };
  auto page_of = [&](const std::string& name) { return placed(name).page.to_raw(); };
  // The pages whose bounds do not settle one graph, in scan order: the root and the two
  // branches have open bounds, a1 and d2 one open bound, b1 (a/7, b/3], c1 (b/7, c/0] and
  // d1 (c/3, d/3] span two graphs.
  const std::vector<std::string> mixed = {"root", "left", "a1", "b1", "right", "c1", "d1", "d2"};
  std::map<uint64_t, std::set<std::string>> below;
  MixedPageNotes notes(below, "");
  Scanned checked = scan_with(tree.file, notes, UnwantedRows::checked);
  EXPECT_EQ(checked.error, "");
  std::vector<uint64_t> expected_entered;
  for (const std::string& name : mixed) expected_entered.push_back(page_of(name));
  EXPECT_EQ(notes.entered, expected_entered);
  // Every graph of a row below a mixed page was noted in it.
  const std::map<std::string, std::vector<std::string>> children = {
      {"root", {"a1", "a2", "b1", "b2", "c1", "c2", "d1", "d2"}}, {"left", {"a1", "a2", "b1", "b2"}},
      {"right", {"c1", "c2", "d1", "d2"}}};
  for (const std::string& name : mixed) {
    const std::vector<std::string> leaves = children.contains(name) ? children.at(name) : std::vector<std::string>{name};
    for (const std::string& leaf : leaves) {
      for (const Entry& entry : tree.entries.at(leaf))
        EXPECT_TRUE(below[page_of(name)].contains(graph_of(entry.key))) << name << " " << entry.key;
    }
  }

  // A skipped scan that turns down the mixed pages without its graph hands out the same rows
  // and reads none of those pages.
  for (std::string graph : {"a", "b", "c", "d", "x"}) {
    SCOPED_TRACE(graph);
    MixedPageNotes skipping(below, graph);
    WantOne all_of_graph(graph);
    std::shared_ptr<std::vector<std::pair<uint64_t, size_t>>> reads;
    Scanned scanned = scan_with(tree.file, skipping, UnwantedRows::skipped, &reads);
    EXPECT_EQ(scanned.error, "");
    Scanned expected = scan_with(tree.file, all_of_graph, UnwantedRows::skipped);
    ASSERT_EQ(scanned.rows.size(), expected.rows.size());
    for (size_t i = 0; i < expected.rows.size(); ++i) EXPECT_EQ(scanned.rows[i].key, expected.rows[i].key);
    for (const std::string& name : mixed) {
      if (below[page_of(name)].contains(graph)) continue;
      EXPECT_EQ(bytes_read_in(*reads, placed(name)), 0u) << name;
    }
    // No row of x anywhere: the root is turned down and nothing is read.
    if (graph == "x") {
      EXPECT_TRUE(reads->empty());
    }
  }
}

TEST(FilteredScan, AKeyOutsideItsBoundsEndsTheScan) {
  struct Case {
    const char* label;
    const char* leaf;
    std::string key;   // appended to that leaf's entries (they stay in ascending order)
    std::string want;
    UnwantedRows unwanted;
  };
  const Case cases[] = {
      // b/8 sorts before c/0, but the root's separator b/7 bounds the whole left branch.
      {"wanted row past the upper bound", "b2", key_of("b", "8"), "b", UnwantedRows::skipped},
      {"checked row past the upper bound", "b2", key_of("b", "8"), "a", UnwantedRows::checked},
      // Graph "ca" sorts after "c", so ("ca", x) may follow c/3 in key order, but c2's bounds
      // (c/0, c/3] hold graph c alone: the pass for c reads it and finds a first element out of
      // bounds. (The pass for "ca" skips c2 and never sees the row; see below.)
      {"unwanted row of another graph in a one-graph leaf", "c2", key_of("ca", "x"), "c", UnwantedRows::skipped},
      {"row of another graph, checked", "c2", key_of("ca", "x"), "d", UnwantedRows::checked},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const Tree tree = build_tree([&](std::map<std::string, std::vector<Entry>>& entries) {
      entries[c.leaf].push_back({c.key, "misplaced"});
    });
    WantOne filter(c.want);
    EXPECT_EQ(scan_with(tree.file, filter, c.unwanted).error,
              "DB corrupted: a key lies outside the bounds its branch gives it");
  }
  // Where the misplaced row's own graph is wanted, the leaf holding it is skipped by its
  // bounds: only the pass of the graph those bounds name can notice it (above).
  const Tree tree = build_tree([](std::map<std::string, std::vector<Entry>>& entries) {
    entries["c2"].push_back({key_of("ca", "x"), "misplaced"});
  });
  WantOne filter("ca");
  Scanned scanned = scan_with(tree.file, filter, UnwantedRows::skipped);
  EXPECT_EQ(scanned.error, "");
  EXPECT_TRUE(scanned.rows.empty());
}

TEST(FilteredScan, LeafDepthsShowAnUnevenTree) {
  // The root's second child is a leaf, its first a branch over two leaves.
  DatabaseImage image;
  std::vector<std::string> keys;
  for (int n = 0; n < 6; ++n) keys.push_back(key_of("g", std::to_string(n)));
  auto leaf = [&](size_t first, size_t count) {
    std::vector<LeafEntry> entries;
    for (size_t i = first; i < first + count; ++i) entries.push_back({keys[i], "v"});
    return image.add_leaf(entries, var_widths);
  };
  DatabaseImage::Placed low = leaf(0, 2), middle = leaf(2, 2), high = leaf(4, 2);
  const std::string_view inner_separator[] = {keys[1]};
  DatabaseImage::Placed inner = image.add_branch(std::vector<DatabaseImage::Placed>{low, middle}, inner_separator, std::nullopt);
  const std::string_view root_separator[] = {keys[3]};
  DatabaseImage::Placed root = image.add_branch(std::vector<DatabaseImage::Placed>{inner, high}, root_separator, std::nullopt);
  StoredDefinition definition = StoredDefinition::for_new_table(pair_type, bytes_type);
  definition.root = BtreeHeader{root.page, root.checksum, 6};
  definition.table_length = 6;
  Bytes file = image.finish(DatabaseImage::commit(image.add_table_tree({{"nodes", definition}}), 2, image.add_allocator_state(2)),
                            DatabaseImage::commit(std::nullopt, 1));
  WantOne filter("g");
  Scanned scanned = scan_with(file, filter, UnwantedRows::skipped);
  EXPECT_EQ(scanned.error, "");
  EXPECT_EQ(scanned.rows.size(), 6u);
  ASSERT_TRUE(scanned.depths);
  EXPECT_EQ(scanned.depths->shallowest, 1u);
  EXPECT_EQ(scanned.depths->deepest, 2u);
}

}  // namespace
}  // namespace redb
