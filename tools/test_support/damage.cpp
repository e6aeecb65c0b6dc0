#include "damage.h"

#include <stdexcept>
#include <string>

#include "fixtures.h"

namespace test_support {

namespace {

// Facts about reference-write/graph.redb, from its layout.txt.
constexpr size_t slot_offsets[] = {64, 192};
constexpr size_t user_root_in_slot = 8;
constexpr uint64_t page_past_end = 4000;  // the file has 257 data pages

}  // namespace

void point_table_tree_past_end(const std::filesystem::path& path) {
  std::string page_number;
  for (int i = 0; i < 8; ++i) page_number += static_cast<char>((page_past_end >> (8 * i)) & 0xff);
  for (size_t slot : slot_offsets) overwrite_file_bytes(path, slot + user_root_in_slot, page_number);
}

void damage_table_definition(const std::filesystem::path& path, std::string_view stored_key_type) {
  size_t at = file_bytes(path).find(stored_key_type);
  if (at == std::string::npos) throw std::runtime_error("no definition with that key type");
  overwrite_file_bytes(path, at, "\x09");
}

std::vector<SourceDamage> nodes_lookup_damages() {
  return {
      {"table tree past the end of the file", point_table_tree_past_end, "I/O error: failed to fill whole buffer"},
      {"damaged nodes definition",
       [](const std::filesystem::path& path) { damage_table_definition(path, "\x03(&str,&str)\x01"); },
       "DB corrupted: definition of table 'nodes': type name with unknown classification byte 9"},
  };
}

}  // namespace test_support
