// Damage to a copy of reference-write/graph.redb as a failing disk might leave it. The checksums
// stay stale: the file is still cleanly closed, so it is read without consulting them.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace test_support {

// Both commit slots name a table tree root page past the end of the file.
void point_table_tree_past_end(const std::filesystem::path& path);

// The stored definition whose key type is `stored_key_type` (its classification byte, then its
// name, as stored) gets the unknown classification byte 9 in front of that name.
void damage_table_definition(const std::filesystem::path& path, std::string_view stored_key_type);

// A damage done to the reference file, with the text of the run it fails.
struct SourceDamage {
  const char* label;
  void (*damage)(const std::filesystem::path&);
  std::string error;
};

// The damages that fail a run where it looks up the `nodes` table: a table tree root past the end
// of the file, and a damaged `nodes` definition.
std::vector<SourceDamage> nodes_lookup_damages();

}  // namespace test_support
