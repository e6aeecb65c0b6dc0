// Damage to a copy of reference-write/graph.redb as a failing disk might leave it. The checksums
// stay stale: the file is still cleanly closed, so it is read without consulting them.
#pragma once

#include <filesystem>
#include <string_view>

namespace test_support {

// Both commit slots name a table tree root page past the end of the file.
void point_table_tree_past_end(const std::filesystem::path& path);

// The stored definition whose key type is `stored_key_type` (its classification byte, then its
// name, as stored) gets the unknown classification byte 9 in front of that name.
void damage_table_definition(const std::filesystem::path& path, std::string_view stored_key_type);

}  // namespace test_support
