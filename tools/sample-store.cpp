// sample-store: writes a deterministic, realistically shaped store for tests and benchmarks.
//
//   sample-store --out DIR --files N --graphs G --seed S [--scale X] [--large-values L [--large-value-mib M]]
//
// It writes N shard files into DIR (graph.redb when N is 1, else graph-0.redb ... graph-<N-1>.redb)
// holding the six graph tables and the four global tables. There are G graphs named
// tenant-<i>/kg-<j>, plus three awkward identifiers: the empty one, a non-ASCII one and one of 300
// bytes. Each graph gets a graph_meta and a semantic_store row and about 200*X nodes, 400*X edges,
// 50*X ledger and 50*X audit_chain rows, all in a file picked at random (not by routing). Some
// graphs repeat a few of their keys, with other values, in a second file, and so do some global
// rows, so a migration meets the same key in two sources.
//
// With --large-values L, the first L graphs each carry one value of M MiB (default 20): the
// graph_meta value of graph 0, the semantic_store value of graph 1, the value of the first node
// of graph 2, and so on in turn. Such a value fills a leaf of a high page order on its own.
//
// Everything comes from one splitmix64 stream per graph (and one for the global rows), seeded
// from S, so the same arguments give byte-identical content on every machine.
#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include <fmt/format.h>

#include "server/persistence/shard_schema.h"
#include "storage/redb.h"

namespace {

namespace schema = shard_migrate;

constexpr std::string_view usage_text =
    "Usage: sample-store --out DIR --files N --graphs G --seed S [--scale X] [--large-values L [--large-value-mib M]]\n"
    "  --out DIR      directory to write the shard files into (created when missing)\n"
    "  --files N      number of shard files, at least 1\n"
    "  --graphs G     number of tenant-<i>/kg-<j> graphs (three awkward identifiers are added)\n"
    "  --seed S       seed of the generator (unsigned 64-bit)\n"
    "  --scale X      row-count factor, a decimal above 0 (default 1)\n"
    "  --large-values L      the first L graphs carry one large value each, in graph_meta,\n"
    "                        semantic_store or their first node in turn (default 0)\n"
    "  --large-value-mib M   size of a large value in MiB, 1 to 1024 (default 20)\n";

struct Options {
  std::string out;
  uint64_t files = 0;
  uint64_t graphs = 0;
  uint64_t seed = 0;
  double scale = 1.0;
  uint64_t large_values = 0;
  uint64_t large_value_mib = 20;
};

[[noreturn]] void usage_error(std::string_view message) {
  fmt::print(stderr, "sample-store: {}\n\n{}", message, usage_text);
  std::exit(2);
}

[[noreturn]] void fail(std::string_view message) {
  fmt::print(stderr, "sample-store: {}\n", message);
  std::exit(1);
}

uint64_t parse_count(std::string_view option, std::string_view text) {
  uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size())
    usage_error(fmt::format("{} expects an unsigned integer, got '{}'", option, text));
  return value;
}

double parse_scale(std::string_view text) {
  double value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || !std::isfinite(value) ||
      value <= 0)
    usage_error(fmt::format("--scale expects a decimal number above 0, got '{}'", text));
  return value;
}

Options parse_options(int argc, char** argv) {
  Options options;
  bool seen_out = false, seen_files = false, seen_graphs = false, seen_seed = false, seen_scale = false,
       seen_large_values = false, seen_large_value_mib = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view option = argv[i];
    if (option == "-h" || option == "--help") {
      fmt::print("{}", usage_text);
      std::exit(0);
    }
    bool* seen = option == "--out"      ? &seen_out
                 : option == "--files"  ? &seen_files
                 : option == "--graphs" ? &seen_graphs
                 : option == "--seed"   ? &seen_seed
                 : option == "--scale"  ? &seen_scale
                 : option == "--large-values"    ? &seen_large_values
                 : option == "--large-value-mib" ? &seen_large_value_mib
                                                 : nullptr;
    if (seen == nullptr) usage_error(fmt::format("unknown argument '{}'", option));
    if (*seen) usage_error(fmt::format("{} given twice", option));
    if (i + 1 >= argc) usage_error(fmt::format("{} needs a value", option));
    *seen = true;
    const std::string_view value = argv[++i];
    if (option == "--out") options.out = value;
    if (option == "--files") options.files = parse_count(option, value);
    if (option == "--graphs") options.graphs = parse_count(option, value);
    if (option == "--seed") options.seed = parse_count(option, value);
    if (option == "--scale") options.scale = parse_scale(value);
    if (option == "--large-values") options.large_values = parse_count(option, value);
    if (option == "--large-value-mib") options.large_value_mib = parse_count(option, value);
  }
  if (!seen_out || !seen_files || !seen_graphs || !seen_seed)
    usage_error("--out, --files, --graphs and --seed are required");
  if (options.out.empty()) usage_error("--out must not be empty");
  if (options.files == 0) usage_error("--files must be at least 1");
  if (options.files > 100000) usage_error("--files is limited to 100000");
  if (options.large_value_mib == 0 || options.large_value_mib > 1024)
    usage_error("--large-value-mib must be between 1 and 1024");
  return options;
}

// splitmix64, written out so that the sequence does not depend on the standard library.
class Generator {
 public:
  explicit Generator(uint64_t seed) : state_(seed) {}
  uint64_t next() {
    uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
  }
  // Uniform enough in [0, bound) for test data; bound must be above 0.
  uint64_t below(uint64_t bound) { return next() % bound; }
  uint64_t between(uint64_t low, uint64_t high) { return low + below(high - low + 1); }
  // True with probability 1 / n.
  bool one_in(uint64_t n) { return below(n) == 0; }
  // A count near `mean` (within a quarter either way), at least 1 when mean is positive.
  uint64_t around(double mean) {
    const double fraction = static_cast<double>(next() >> 11) / 9007199254740992.0;  // [0, 1)
    const double count = std::round(mean * (0.75 + 0.5 * fraction));
    return mean > 0 ? std::max<uint64_t>(1, static_cast<uint64_t>(count)) : 0;
  }
  // Replaces `out` with `length` pseudo-random bytes.
  void fill_bytes(std::string& out, size_t length) {
    out.resize(length);
    for (size_t i = 0; i < length; i += 8) {
      const uint64_t word = next();
      for (size_t j = 0; j < 8 && i + j < length; ++j) out[i + j] = static_cast<char>(word >> (8 * j));
    }
  }
  // Replaces `out` with `length` printable ASCII characters.
  void fill_text(std::string& out, size_t length) {
    static constexpr std::string_view alphabet = "abcdefghijklmnopqrstuvwxyz0123456789 =,:";
    out.resize(length);
    for (size_t i = 0; i < length; ++i) out[i] = alphabet[below(alphabet.size())];
  }

 private:
  uint64_t state_;
};

// Encodings of the storage library's built-in types: little-endian integers, and tuples whose
// variable-width elements (all but the last) carry a canonical varint length prefix.
void append_u32(std::string& out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
}
void append_u64(std::string& out, uint64_t value) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
}
void append_length(std::string& out, size_t length) {
  if (length <= 253) {
    out.push_back(static_cast<char>(length));
  } else if (length <= 0xFFFF) {
    out.push_back(static_cast<char>(0xFE));
    out.push_back(static_cast<char>(length));
    out.push_back(static_cast<char>(length >> 8));
  } else {
    out.push_back(static_cast<char>(0xFF));
    append_u32(out, static_cast<uint32_t>(length));
  }
}

// (&str,&str)
void encode_text_pair(std::string& out, std::string_view a, std::string_view b) {
  out.clear();
  append_length(out, a.size());
  out += a;
  out += b;
}
// (&str,&str,&str,u32)
void encode_edge_key(std::string& out, std::string_view a, std::string_view b, std::string_view c, uint32_t d) {
  out.clear();
  append_length(out, a.size());
  append_length(out, b.size());
  append_length(out, c.size());
  out += a;
  out += b;
  out += c;
  append_u32(out, d);
}
// (&str,u64)
void encode_text_number(std::string& out, std::string_view a, uint64_t b) {
  out.clear();
  append_length(out, a.size());
  out += a;
  append_u64(out, b);
}
// (u64,&str)
void encode_number_text(std::string& out, uint64_t a, std::string_view b) {
  out.clear();
  append_u64(out, a);
  out += b;
}
// (u64,u64)
void encode_number_pair(std::string& out, uint64_t a, uint64_t b) {
  out.clear();
  append_u64(out, a);
  append_u64(out, b);
}

std::vector<std::string> graph_identifiers(uint64_t graphs) {
  std::vector<std::string> identifiers;
  for (uint64_t g = 0; g < graphs; ++g) identifiers.push_back(fmt::format("tenant-{}/kg-{}", g / 4, g % 4));
  identifiers.emplace_back("");
  identifiers.emplace_back("mandant-ü/图谱-ñ/🚀");
  std::string long_identifier = "tenant-long/";
  long_identifier.resize(300, 'x');
  identifiers.push_back(std::move(long_identifier));
  return identifiers;
}

std::string shard_path(const Options& options, uint64_t file) {
  const std::string name = options.files == 1 ? "graph.redb" : fmt::format("graph-{}.redb", file);
  return (std::filesystem::path(options.out) / name).string();
}

// The ten tables of one file's write transaction, in schema order.
struct OpenTables {
  std::vector<redb::Table> graph;   // schema::graph_tables order
  std::vector<redb::Table> global;  // schema::global_tables order
};

redb::Table& table(OpenTables& tables, const redb::TableDefinition& definition) {
  for (size_t i = 0; i < schema::graph_tables.size(); ++i)
    if (schema::graph_tables[i] == &definition) return tables.graph[i];
  for (size_t i = 0; i < schema::global_tables.size(); ++i)
    if (schema::global_tables[i] == &definition) return tables.global[i];
  std::abort();
}

void insert(OpenTables& tables, const redb::TableDefinition& definition, std::string_view key,
            std::string_view value) {
  auto inserted = table(tables, definition).insert(key, value);
  if (!inserted) fail(fmt::format("insert into {}: {}", definition.name, inserted.error().text));
}

// Scratch buffers reused across rows.
struct Buffers {
  std::string key, value, name, other;
};

// The one value of a graph that is large, if any: which table holds it and its length.
struct LargeValue {
  const redb::TableDefinition* table = nullptr;
  size_t length = 0;
};

LargeValue large_value_of(const Options& options, uint64_t graph) {
  if (graph >= options.large_values) return {};
  static constexpr const redb::TableDefinition* tables[] = {&schema::graph_meta_table, &schema::semantic_store_table,
                                                            &schema::nodes_table};
  return {tables[graph % 3], static_cast<size_t>(options.large_value_mib) << 20};
}

// Writes one graph's rows. A repeat pass (into a second file) writes the graph's meta row and a
// few of its nodes under the same keys with new values.
void write_graph(OpenTables& tables, const std::string& identifier, uint64_t graph_seed, double scale,
                 bool repeat, LargeValue large, Buffers& buffers) {
  Generator rows(graph_seed);
  Generator values(repeat ? ~graph_seed : graph_seed ^ 0x5bd1e995ULL);

  buffers.value = fmt::format("{{\"graph\":\"{}\",\"schema\":3,\"created\":{},\"revision\":{}}}", identifier,
                              1700000000 + rows.below(50000000), repeat ? 2 : 1);
  if (large.table == &schema::graph_meta_table) buffers.value.resize(large.length, ' ');
  insert(tables, schema::graph_meta_table, identifier, buffers.value);

  const uint64_t node_count = rows.around(200 * scale);
  const uint64_t edge_count = rows.around(400 * scale);
  const uint64_t ledger_count = rows.around(50 * scale);
  const uint64_t audit_count = rows.around(50 * scale);

  for (uint64_t n = 0; n < node_count; ++n) {
    // The repeat pass takes every eighth node.
    if (repeat && n % 8 != 0) continue;
    buffers.name = fmt::format("node-{:06}", n);
    encode_text_pair(buffers.key, identifier, buffers.name);
    size_t length = values.one_in(100) ? values.between(20 * 1024, 200 * 1024) : values.between(50, 2048);
    if (large.table == &schema::nodes_table && n == 0) length = large.length;
    values.fill_bytes(buffers.value, length);
    insert(tables, schema::nodes_table, buffers.key, buffers.value);
  }
  if (repeat) return;

  const size_t semantic_length = values.between(200, 4000);
  values.fill_bytes(buffers.value, large.table == &schema::semantic_store_table ? large.length : semantic_length);
  insert(tables, schema::semantic_store_table, identifier, buffers.value);

  static constexpr std::string_view relations[] = {"links_to", "depends_on", "mentions", "part_of"};
  for (uint64_t e = 0; e < edge_count; ++e) {
    const uint64_t span = std::max<uint64_t>(node_count, 1);
    buffers.name = fmt::format("node-{:06}", rows.below(span));
    buffers.other = fmt::format("node-{:06}", rows.below(span));
    encode_edge_key(buffers.key, identifier, buffers.name, relations[rows.below(4)], static_cast<uint32_t>(e));
    values.fill_bytes(buffers.value, values.between(16, 256));
    buffers.value.insert(0, buffers.other);
    insert(tables, schema::edges_table, buffers.key, buffers.value);
  }
  for (uint64_t l = 0; l < ledger_count; ++l) {
    encode_text_number(buffers.key, identifier, l + 1);
    values.fill_text(buffers.value, values.between(40, 400));
    insert(tables, schema::ledger_table, buffers.key, buffers.value);
  }
  for (uint64_t a = 0; a < audit_count; ++a) {
    encode_text_number(buffers.key, identifier, a + 1);
    values.fill_bytes(buffers.value, values.between(32, 128));
    insert(tables, schema::audit_chain_table, buffers.key, buffers.value);
  }
}

// The global rows that go into `file`: raft entries and metadata, cross-shard prepares and
// decisions, each placed in a random file and some repeated in a second one.
void write_global_rows(OpenTables& tables, const Options& options, uint64_t file, Buffers& buffers) {
  Generator placement(options.seed ^ 0x676c6f62616cULL);
  auto lands_here = [&](bool& repeated) {
    const uint64_t home = placement.below(options.files);
    const uint64_t second = placement.below(options.files);
    repeated = options.files > 1 && placement.one_in(20) && second != home;
    return home == file || (repeated && second == file);
  };
  Generator values(options.seed ^ file ^ 0x76616c756573ULL);
  bool repeated = false;

  for (uint64_t index = 1; index <= 160; ++index) {
    if (!lands_here(repeated)) continue;
    encode_number_pair(buffers.key, 1 + index / 40, index);
    values.fill_bytes(buffers.value, values.between(32, 512));
    insert(tables, schema::raft_log_table, buffers.key, buffers.value);
  }
  static constexpr std::string_view meta_keys[] = {"hard_state", "conf_state", "applied_index", "snapshot"};
  for (uint64_t node = 1; node <= 10; ++node) {
    for (std::string_view meta_key : meta_keys) {
      if (!lands_here(repeated)) continue;
      encode_number_text(buffers.key, node, meta_key);
      values.fill_bytes(buffers.value, values.between(8, 96));
      insert(tables, schema::raft_meta_table, buffers.key, buffers.value);
    }
  }
  for (uint64_t transaction = 0; transaction < 60; ++transaction) {
    buffers.name = fmt::format("xtx-{:04}", transaction);
    for (uint64_t participant = 0; participant < 2; ++participant) {
      if (!lands_here(repeated)) continue;
      encode_text_number(buffers.key, buffers.name, participant);
      values.fill_bytes(buffers.value, values.between(24, 200));
      insert(tables, schema::xshard_prepare_table, buffers.key, buffers.value);
    }
    if (!lands_here(repeated)) continue;
    const char decision = static_cast<char>(values.below(2));
    insert(tables, schema::xshard_decision_table, buffers.name, std::string_view(&decision, 1));
  }
}

uint64_t graph_seed(const Options& options, uint64_t graph) {
  Generator mixer(options.seed + 0x9e3779b97f4a7c15ULL * (graph + 1));
  return mixer.next();
}

void write_file(const Options& options, const std::vector<std::string>& identifiers, uint64_t file) {
  const std::string path = shard_path(options, file);
  auto database = redb::Database::create(path);
  if (!database) fail(fmt::format("create {}: {}", path, database.error().text));
  auto transaction = database->begin_write();
  if (!transaction) fail(fmt::format("begin write on {}: {}", path, transaction.error().text));
  if (auto durable = transaction->set_durability(redb::Durability::immediate); !durable)
    fail(durable.error().text);

  Buffers buffers;
  {
    OpenTables tables;
    for (const redb::TableDefinition* definition : schema::graph_tables) {
      auto opened = transaction->open_table(*definition);
      if (!opened) fail(fmt::format("open {}: {}", definition->name, opened.error().text));
      tables.graph.push_back(std::move(*opened));
    }
    for (const redb::TableDefinition* definition : schema::global_tables) {
      auto opened = transaction->open_table(*definition);
      if (!opened) fail(fmt::format("open {}: {}", definition->name, opened.error().text));
      tables.global.push_back(std::move(*opened));
    }

    for (uint64_t graph = 0; graph < identifiers.size(); ++graph) {
      const uint64_t seed = graph_seed(options, graph);
      Generator placement(seed ^ 0x706c616365ULL);
      const uint64_t home = placement.below(options.files);
      const uint64_t second = placement.below(options.files);
      const bool repeated = options.files > 1 && placement.one_in(10) && second != home;
      const LargeValue large = large_value_of(options, graph);
      if (home == file) write_graph(tables, identifiers[graph], seed, options.scale, false, large, buffers);
      if (repeated && second == file) write_graph(tables, identifiers[graph], seed, options.scale, true, large, buffers);
    }
    write_global_rows(tables, options, file, buffers);
  }
  if (auto committed = transaction->commit(); !committed)
    fail(fmt::format("commit {}: {}", path, committed.error().text));
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = parse_options(argc, argv);

  std::error_code error;
  std::filesystem::create_directories(options.out, error);
  if (error) fail(fmt::format("create {}: {}", options.out, error.message()));
  for (uint64_t file = 0; file < options.files; ++file) {
    const std::string path = shard_path(options, file);
    if (std::filesystem::exists(path, error)) fail(fmt::format("{} already exists (refusing to overwrite)", path));
  }

  const std::vector<std::string> identifiers = graph_identifiers(options.graphs);
  for (uint64_t file = 0; file < options.files; ++file) write_file(options, identifiers, file);
  return 0;
}
