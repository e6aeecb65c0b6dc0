// Shard file names and the discovery of a store's shard files.
//
// A store is either one `graph.redb` or numbered files `graph-<n>.redb`, n an unsigned 64-bit
// decimal (leading zeros and one leading "+" accepted). When numbered files exist a
// `graph.redb` beside them is ignored. Discovery order is ascending number, stable for equal
// numbers; it decides which source wins on equal keys and the order of the backup moves.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace shard_migrate {

inline constexpr std::string_view single_shard_file_name = "graph.redb";

// `dir` and `name` with one "/" between them, unless `dir` is empty or already ends in "/".
std::string join_path(std::string_view dir, std::string_view name);

// The last component of a path ("" when the path ends in "/").
std::string_view file_name_of(std::string_view path);

// "graph.redb" when fewer than two shards are requested, else "graph-<index>.redb".
std::string shard_file_name(uint64_t index, uint64_t shards);

// The shard number of a numbered shard file name, or nothing when the name is not one.
std::optional<uint64_t> numbered_shard_number(std::string_view name);

// The source shard paths under `dir` in discovery order (never empty), or the text
// "no redb shard files (graph.redb / graph-<n>.redb) found under {dir}". Changes nothing.
std::expected<std::vector<std::string>, std::string> discover_shard_files(const std::string& dir);

}  // namespace shard_migrate
