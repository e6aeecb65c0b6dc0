// Builds small database images page by page, for tests that need shapes the reference files
// lack (multimap sub-trees, cycles, shared pages). The image has one trailing region and no
// system tables; slot 0 is primary and clean.
#pragma once

#include <algorithm>
#include <vector>

#include "format/header.h"
#include "format/page_layout.h"
#include "format/table_definition.h"

namespace redb::testing {

class DatabaseImage {
 public:
  struct Placed {
    PageNumber page;
    Checksum checksum;
  };

  Placed add_leaf(std::span<const LeafEntry> entries, EntryWidths widths) {
    std::vector<uint8_t> block(page_size << page_order_for(leaf_size(entries, widths)));
    size_t used = write_leaf(block, entries, widths);
    return place(block, used);
  }
  Placed add_branch(std::span<const Placed> children, std::span<const std::string_view> separators,
                    std::optional<uint32_t> key_width) {
    std::vector<BranchChild> links;
    size_t key_bytes = 0;
    for (const Placed& child : children) links.push_back({child.page, child.checksum});
    for (std::string_view separator : separators) key_bytes += separator.size();
    std::vector<uint8_t> block(page_size << page_order_for(branch_size(separators.size(), key_bytes, key_width)));
    size_t used = write_branch(block, links, separators, key_width);
    return place(block, used);
  }
  // A one-leaf table tree of (name, definition), sorted by name.
  BtreeHeader add_table_tree(std::vector<std::pair<std::string, StoredDefinition>> tables) {
    std::sort(tables.begin(), tables.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<std::string> records;
    for (const auto& table : tables) records.push_back(serialize_table_definition(table.second));
    std::vector<LeafEntry> entries;
    for (size_t i = 0; i < tables.size(); ++i) entries.push_back({tables[i].first, records[i]});
    Placed leaf = add_leaf(entries, {});
    return BtreeHeader{leaf.page, leaf.checksum, tables.size()};
  }
  // A system table tree holding an `allocator_state` table with only its TransactionId row:
  // enough for an open to take the library's quick path (no tree verification) for a commit
  // of `transaction_id` with the two-phase bit set.
  BtreeHeader add_allocator_state(uint64_t transaction_id) {
    std::string key("\x05\0\0\0\0", 5), value(8, '\0');
    for (int i = 0; i < 8; ++i) value[i] = static_cast<char>(transaction_id >> (8 * i));
    const LeafEntry row[] = {{key, value}};
    Placed leaf = add_leaf(row, {5, std::nullopt});
    StoredDefinition definition;
    definition.fixed_key_width = 5;
    definition.key_type = "\x01redb::AllocatorStateKey";
    definition.value_type = "\x01&[u8]";
    definition.root = BtreeHeader{leaf.page, leaf.checksum, 1};
    definition.table_length = 1;
    return add_table_tree({{"allocator_state", definition}});
  }
  // The file: header with `primary` in slot 0 and `secondary` in slot 1, then the pages.
  std::vector<uint8_t> finish(const CommitSlot& primary, const CommitSlot& secondary,
                              uint8_t god_byte = god_two_phase_commit) const {
    SuperHeader header;
    header.god_byte = god_byte;
    header.layout.trailing_region_data_pages = static_cast<uint32_t>(std::max<size_t>(1, pages_.size() / page_size));
    header.slots = {primary, secondary};
    std::vector<uint8_t> file(page_size, 0);
    auto bytes = serialize_super_header(header);
    std::copy(bytes.begin(), bytes.end(), file.begin());
    file.insert(file.end(), pages_.begin(), pages_.end());
    file.resize(page_size + uint64_t{header.layout.trailing_region_data_pages} * page_size, 0);
    return file;
  }
  static CommitSlot commit(std::optional<BtreeHeader> user_root, uint64_t transaction_id,
                           std::optional<BtreeHeader> system_root = std::nullopt) {
    CommitSlot slot;
    slot.user_root = user_root;
    slot.system_root = system_root;
    slot.transaction_id = transaction_id;
    return slot;
  }
  // File offset of a placed page.
  static size_t offset_of(PageNumber page) { return page_size + size_t{page.index} * (page_size << page.order); }

 private:
  Placed place(const std::vector<uint8_t>& block, size_t used) {
    uint8_t order = page_order_for(block.size());
    size_t base_pages = pages_.size() / page_size;
    size_t index = (base_pages + (size_t{1} << order) - 1) >> order;
    pages_.resize((index << order) * page_size + block.size(), 0);
    std::copy(block.begin(), block.end(), pages_.begin() + (index << order) * page_size);
    return {PageNumber{0, static_cast<uint32_t>(index), order}, page_checksum(block, used)};
  }
  std::vector<uint8_t> pages_;
};

}  // namespace redb::testing
