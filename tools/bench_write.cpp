// bench_write [MEGABYTES [FILE]]: writes a database of about MEGABYTES of records (default
// 1024) in one write transaction, in the order a migration writes them (each source's rows in
// key order, sources interleaved), commits, and prints records/s, MB/s and the peak resident
// memory. Default file: graph.redb in a scratch directory. Not a test.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "redb.h"
#include "test_support/fixtures.h"

namespace {

using redb::Scalar;
using redb::TypeDesc;

std::string with_length(const std::string& text) { return std::string(1, static_cast<char>(text.size())) + text; }

long peak_rss_kib() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t megabytes = argc > 1 ? std::stoull(argv[1]) : 1024;
  test_support::ScratchDir scratch;
  std::string path = argc > 2 ? argv[2] : (scratch.path() / "graph.redb").string();

  const redb::TableDefinition nodes{"nodes", TypeDesc::tuple({Scalar::str, Scalar::str}), TypeDesc::scalar(Scalar::bytes)};
  const redb::TableDefinition edges{"edges", TypeDesc::tuple({Scalar::str, Scalar::str, Scalar::str, Scalar::u32}),
                                    TypeDesc::scalar(Scalar::bytes)};
  const redb::TableDefinition semantic{"semantic_store", TypeDesc::scalar(Scalar::str), TypeDesc::scalar(Scalar::bytes)};

  auto started = std::chrono::steady_clock::now();
  auto database = redb::Database::create(path);
  if (!database) return std::fprintf(stderr, "%s\n", database.error().text.c_str()), 1;
  auto transaction = database->begin_write();
  if (!transaction) return std::fprintf(stderr, "%s\n", transaction.error().text.c_str()), 1;
  uint64_t records = 0, bytes = 0;
  {
    auto node_table = transaction->open_table(nodes);
    auto edge_table = transaction->open_table(edges);
    auto semantic_table = transaction->open_table(semantic);
    if (!node_table || !edge_table || !semantic_table) return std::fprintf(stderr, "open_table failed\n"), 1;
    std::mt19937_64 random(42);
    std::string value;
    // Four "sources": each graph's rows come in key order, the graphs of the sources interleave.
    for (uint64_t graph = 0; bytes < megabytes << 20; ++graph) {
      std::string graph_id = "tenant-" + std::to_string(graph % 4) + "/kg-" + std::to_string(graph);
      for (int node = 0; node < 2000 && bytes < megabytes << 20; ++node) {
        std::string node_id = "node-" + std::to_string(100000 + node);
        value.assign(150 + random() % 600, static_cast<char>('a' + node % 26));
        std::string key = with_length(graph_id) + node_id;
        if (auto inserted = node_table->insert(key, value); !inserted)
          return std::fprintf(stderr, "%s\n", inserted.error().text.c_str()), 1;
        bytes += key.size() + value.size();
        ++records;
        std::string target = "node-" + std::to_string(100000 + (node * 7919) % 2000);
        std::string edge_key = std::string{static_cast<char>(graph_id.size()), static_cast<char>(node_id.size()),
                                           static_cast<char>(target.size())} +
                               graph_id + node_id + target + std::string("\x01\x00\x00\x00", 4);
        value.assign(40 + random() % 80, 'e');
        if (auto inserted = edge_table->insert(edge_key, value); !inserted)
          return std::fprintf(stderr, "%s\n", inserted.error().text.c_str()), 1;
        bytes += edge_key.size() + value.size();
        ++records;
      }
      value.assign(20000 + random() % 200000, 's');  // one large record per graph
      if (auto inserted = semantic_table->insert(graph_id, value); !inserted)
        return std::fprintf(stderr, "%s\n", inserted.error().text.c_str()), 1;
      bytes += graph_id.size() + value.size();
      ++records;
    }
  }
  if (auto committed = transaction->commit(); !committed)
    return std::fprintf(stderr, "%s\n", committed.error().text.c_str()), 1;
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::printf("records=%llu record_bytes=%.1f MB file=%.1f MB time=%.2f s\n", static_cast<unsigned long long>(records),
              bytes / 1048576.0, std::filesystem::file_size(path) / 1048576.0, seconds);
  std::printf("records/s=%.0f MB/s=%.1f peak_rss=%.1f MiB\n", records / seconds, bytes / 1048576.0 / seconds,
              peak_rss_kib() / 1024.0);
  return 0;
}
