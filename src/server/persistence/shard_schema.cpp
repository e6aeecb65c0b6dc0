#include "server/persistence/shard_schema.h"

namespace shard_migrate {

uint64_t shard_for_graph(std::string_view graph_identifier, uint64_t requested_shards, uint64_t shard_count) {
  // Below two shards everything lives in shard 0; returning first also keeps a count of 0
  // away from the division.
  if (requested_shards < 2) return 0;
  constexpr uint64_t fnv_offset_basis = 0xcbf29ce484222325;
  constexpr uint64_t fnv_prime = 0x100000001b3;
  uint64_t hash = fnv_offset_basis;
  for (unsigned char byte : graph_identifier) {
    hash ^= byte;
    hash *= fnv_prime;  // unsigned: wraps modulo 2^64
  }
  return hash % shard_count;
}

}  // namespace shard_migrate
