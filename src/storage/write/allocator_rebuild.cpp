// Rebuilding the allocation state of a commit from what it reaches, as the library's full
// repair does: every page of the user and system table trees, of every table (multimap
// sub-trees included), and every page listed in the freed-page tables.
#include <fmt/format.h>

#include "format/little_endian.h"
#include "write/write_state.h"

namespace redb::detail {
namespace {

class Rebuild {
 public:
  Rebuild(File& file, const DatabaseLayout& layout) : allocator_(layout), reader_(file, layout, 0) {}

  Status table_tree(const BtreeHeader& root, bool system) {
    return visit_tree_pages(reader_, root.root, table_tree_widths, true, [&](PageNumber page, std::span<const uint8_t> bytes) -> Status {
      if (auto recorded = record(page); !recorded) return recorded;
      if (page_type(bytes) != leaf_page_type) return {};
      auto leaf = LeafView::open(bytes, table_tree_widths);
      if (!leaf) return std::unexpected(leaf.error());
      for (size_t i = 0; i < leaf->count(); ++i) {
        auto definition = parse_table_definition(leaf->value(i), leaf->key(i));
        if (!definition) return std::unexpected(definition.error());
        if (!definition->root) continue;
        if (auto walked = table(leaf->key(i), *definition, system); !walked) return walked;
      }
      return {};
    });
  }

  PageAllocator take() { return std::move(allocator_); }

 private:
  Status record(PageNumber page) {
    if (allocator_.record_alloc(page)) return {};
    return std::unexpected(Error::corrupted(fmt::format(
        "page r{}.{}/{} is referenced twice or lies outside the file", page.region, page.index, page.order)));
  }

  Status table(std::string_view name, const StoredDefinition& definition, bool system) {
    bool multimap = definition.kind == TableKind::multimap;
    bool page_list = system && (name == page_list_tables[1] || name == page_list_tables[2]);
    EntryWidths widths = definition.tree_widths();
    return visit_tree_pages(reader_, definition.root->root, widths, multimap || page_list,
                            [&](PageNumber page, std::span<const uint8_t> bytes) -> Status {
      if (auto recorded = record(page); !recorded) return recorded;
      if (bytes.empty() || page_type(bytes) != leaf_page_type) return {};
      auto leaf = LeafView::open(bytes, widths);
      if (!leaf) return std::unexpected(leaf.error());
      for (size_t i = 0; i < leaf->count(); ++i) {
        auto value = leaf->value(i);
        auto data = reinterpret_cast<const uint8_t*>(value.data());
        if (multimap && value.size() >= 1 + BtreeHeader::size && data[0] == 3) {
          // A key's values in a sub-tree of their own: V -> ().
          BtreeHeader subtree = BtreeHeader::load(data + 1);
          auto walked = visit_tree_pages(reader_, subtree.root, {definition.fixed_value_width, 0}, false,
                                         [&](PageNumber sub_page, std::span<const uint8_t>) { return record(sub_page); });
          if (!walked) return walked;
        }
        if (page_list && value.size() >= 2) {
          size_t count = load_u16(data);
          if (value.size() < 2 + 8 * count) return std::unexpected(Error::corrupted("short page list"));
          for (size_t j = 0; j < count; ++j)
            if (auto recorded = record(PageNumber::from_raw(load_u64(data + 2 + 8 * j))); !recorded) return recorded;
        }
      }
      return {};
    });
  }

  PageAllocator allocator_;
  PageCache reader_;  // holds nothing: reads committed pages
};

}  // namespace

Result<PageAllocator> rebuild_allocator(File& file, const DatabaseLayout& layout, const CommitSlot& commit) {
  Rebuild rebuild(file, layout);
  if (commit.user_root)
    if (auto walked = rebuild.table_tree(*commit.user_root, false); !walked) return std::unexpected(walked.error());
  if (commit.system_root)
    if (auto walked = rebuild.table_tree(*commit.system_root, true); !walked) return std::unexpected(walked.error());
  return rebuild.take();
}

}  // namespace redb::detail
