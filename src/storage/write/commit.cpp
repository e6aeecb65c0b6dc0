// The commit of a write transaction.
//
// Every commit leaves the file as a clean close of the library would: a two-phase commit
// with an exact `allocator_state` table, so that the library opens the file on its quick path
// (no repair) and may allocate from every page the saved state marks free.
//
// Order of operations, and why:
//  1. Each written table's pages are hashed bottom-up and finished (all finished pages are
//     written to their place in file order before the header, see 3); its
//     definition (root, checksum, length) goes into the user table tree.
//  2. The system table tree gets the freed-page tables if missing and a new `allocator_state`
//     tree. Its rows are first reserved at their exact sizes, so that every page this commit
//     uses (its own pages and the system tree's included) is allocated before the state is
//     taken (a few pages are left free, growing the file if need be, because the library
//     allocates right after opening); then the state is written into the reserved rows in
//     place. Committed pages this commit replaced are free in the saved state, but none of
//     them was reused by it: the committed state stays intact on disk until the commit is
//     durable. While a persistent savepoint exists, the replaced data pages are listed in
//     `data_pages_unreachable` instead and stay allocated, and the data pages the commit
//     allocated are listed in `data_pages_allocated` (rows older than the oldest savepoint
//     are dropped; all of them when there is none).
//     The saved state and the header describe the layout trimmed of the free tail of its last
//     region (whole free regions after the first dropped), keeping 8 free pages; pages a live
//     read transaction may read are kept.
//  3. Pages first, then the header with the new commit in the slot that is not in use, the
//     previous primary and layout, and the two-phase bit; sync (which also makes the file's
//     growth durable). Only then the god byte names the new slot (with the two-phase bit,
//     which tells the library the slot was durable before it became primary) and the layout
//     the new one; sync. A crash before the second header write leaves the previous commit;
//     after it, the new one.
//  4. Then the file is cut to the trimmed layout, without a sync: a crash before the cut leaves
//     a file longer than its layout by whole pages, which opens as the new commit (the library
//     recalculates the layout and takes its quick path, the extra pages free).
// A new file is written the same way (untrimmed: it keeps the library's initial layout), except
// that its only header write happens twice: first with the magic zeroed, then with it, each
// followed by a sync.
#include <fmt/format.h>
#include <functional>

#include "format/little_endian.h"
#include "read/page_source.h"
#include "write/write_state.h"

namespace redb::detail {
namespace {

class Commit {
 public:
  Commit(WriteState& state) : state_(state), space_(state.space) {}

  Status run(bool new_file) {
    trim_ = !new_file;
    if (auto done = write_user_tables(); !done) return done;
    data_pages_replaced_ = space_.replaced_committed_pages().size();
    if (auto done = write_system_tables(); !done) return done;
    if (auto written = space_.cache().write_finished(); !written) return written;
    if (space_.cache().held_bytes() != 0)
      return std::unexpected(Error::corrupted("commit left pages unwritten"));
    return write_header(new_file);
  }

 private:
  Status write_user_tables() {
    BtreeWriter table_tree(space_, state_.user_tree, table_tree_widths, table_name_order());
    for (TableState& table : state_.tables) {
      if (!table.changed) continue;
      auto flushed = BtreeWriter(space_, table.root, table.stored.tree_widths(), EntryOrder{&table.key_type, nullptr},
                                 &table.insert_path)
                         .flush();
      if (!flushed) return flushed;
      table.stored.root = table.root.header();
      table.stored.table_length = table.root.length;
      auto stored = table_tree.insert(table.name, serialize_table_definition(table.stored));
      if (!stored) return std::unexpected(stored.error());
    }
    return table_tree.flush();
  }

  Status write_system_tables() {
    BtreeWriter system_tree(space_, state_.system_tree, table_tree_widths, table_name_order());
    for (std::string_view name : page_list_tables) {
      auto existing = system_tree.get(name);
      if (!existing) return std::unexpected(existing.error());
      if (*existing) continue;
      if (auto added = system_tree.insert(name, serialize_table_definition(page_list_definition())); !added)
        return std::unexpected(added.error());
    }
    if (auto recorded = record_pages_for_savepoints(system_tree); !recorded) return recorded;
    if (auto released = release_old_allocator_state(system_tree); !released) return released;

    // The saved state describes the trimmed layout, so its rows are reserved at that
    // layout's sizes. Reserving allocates pages (and growing to keep spare pages adds some), so
    // the layout needed afterwards may be longer than the one reserved for: then the
    // reservation starts over with it. The target only ever lengthens, so this ends.
    TreeRoot state_root;
    BtreeWriter state_tree(space_, state_root, allocator_state_widths, allocator_state_order);
    StoredDefinition definition = allocator_state_definition();
    DatabaseLayout target = target_layout();
    for (;;) {
      if (auto reserved = reserve_rows(state_tree, PageAllocator(target).serialized_row_sizes()); !reserved)
        return reserved;
      definition.root = BtreeHeader{};  // a placeholder of the final length
      if (auto added = system_tree.insert(allocator_state_table, serialize_table_definition(definition)); !added)
        return std::unexpected(added.error());
      auto spare = has_spare_pages();
      if (!spare) return std::unexpected(spare.error());
      if (*spare) {
        DatabaseLayout needed = target_layout();
        if (needed.length() <= target.length()) break;
        target = needed;
      }
      if (auto dropped = drop_tree(state_root); !dropped) return dropped;
    }

    // No page is allocated from here on: take the state and write it into the reserved rows.
    PageAllocator saved = space_.allocator();
    for (PageNumber page : freed_replaced_pages()) saved.free(page);
    for (PageNumber page : space_.withheld_pages()) saved.free(page);
    if (!saved.shrink_to(target)) return std::unexpected(Error::corrupted("commit would cut allocated pages off the file"));
    for (const auto& row : saved.serialize_rows())
      if (auto written = state_tree.overwrite(row.key, row.value); !written) return written;
    std::string transaction_id(8, '\0');
    store_u64(reinterpret_cast<uint8_t*>(transaction_id.data()), state_.transaction_id);
    if (auto written = state_tree.overwrite(transaction_id_key(), transaction_id); !written) return written;
    if (auto flushed = state_tree.flush(); !flushed) return flushed;
    definition.root = state_root.header();
    definition.table_length = state_root.length;
    if (auto written = system_tree.overwrite(allocator_state_table, serialize_table_definition(definition)); !written)
      return written;
    saved_ = std::move(saved);
    return system_tree.flush();
  }

  // What the trim may cut: the free tail of the state being committed. Pages that a live read
  // transaction may still read (withheld ones, and those this commit replaced while a reader
  // lives) count as allocated, so the file keeps them.
  PageAllocator trim_basis() const {
    PageAllocator basis = space_.allocator();
    if (state_.database.live_readers.empty())
      for (PageNumber page : freed_replaced_pages()) basis.free(page);
    return basis;
  }

  // The layout the commit saves: trimmed, except for a new file, which keeps the library's
  // initial layout.
  DatabaseLayout target_layout() const {
    return trim_ ? trim_basis().trimmed_layout(spare_pages) : space_.allocator().layout();
  }

  // The library allocates right after opening (and its integrity check then compares the grown
  // allocator with the file's), so a commit leaves a few pages free, growing the file if it
  // must. False when it had to grow: the reservation then starts over.
  Result<bool> has_spare_pages() {
    std::vector<PageNumber> probes;
    while (probes.size() < spare_pages) {
      auto page = space_.allocator().alloc(0);
      if (!page) break;
      probes.push_back(*page);
    }
    for (PageNumber page : probes) space_.allocator().free(page);
    if (probes.size() == spare_pages) return true;
    DatabaseLayout grown = space_.allocator().layout().grown(uint64_t{page_size} * spare_pages);
    if (auto resized = state_.database.file->set_length(grown.length()); !resized) return std::unexpected(resized.error());
    space_.allocator().grow_to(grown);
    return false;
  }

  // A persistent savepoint may be restored later: the library then reads the data pages of its
  // commit again and frees every data page allocated after it. So while one exists, the
  // committed data pages this commit replaced stay allocated, listed in
  // `data_pages_unreachable` under this commit's id, and the data pages it allocated are listed
  // in `data_pages_allocated` under its id (without them a restore would leak them). Rows of
  // `data_pages_allocated` older than the oldest savepoint no restore can use: they are
  // dropped, all of them when no savepoint exists.
  Status record_pages_for_savepoints(BtreeWriter& system_tree) {
    auto oldest = oldest_savepoint_transaction(system_tree);
    if (!oldest) return std::unexpected(oldest.error());
    keep_data_pages_ = oldest->has_value();
    std::vector<PageNumber> allocated;
    if (keep_data_pages_) {
      // A copy: writing the rows replaces system pages, which grows the list it comes from.
      std::vector<PageNumber> replaced(space_.replaced_committed_pages().begin(),
                                       space_.replaced_committed_pages().begin() + data_pages_replaced_);
      if (auto listed = add_page_list_rows(system_tree, page_list_tables[1], replaced); !listed) return listed;
      if (auto collected = collect_allocated_data_pages(allocated); !collected) return collected;
    }
    if (auto purged = purge_allocated_rows(system_tree, *oldest); !purged) return purged;
    return add_page_list_rows(system_tree, page_list_tables[0], allocated);
  }

  // The transaction id of the oldest persistent savepoint; none when there is no savepoint.
  Result<std::optional<uint64_t>> oldest_savepoint_transaction(BtreeWriter& system_tree) {
    auto stored = system_tree.get(persistent_savepoints_table);
    if (!stored) return std::unexpected(stored.error());
    if (!*stored) return std::optional<uint64_t>{};
    auto definition = parse_table_definition(**stored, persistent_savepoints_table);
    if (!definition) return std::unexpected(definition.error());
    std::optional<uint64_t> oldest;
    if (!definition->root) return oldest;
    // Value: u8 version, u64 savepoint id, u64 transaction id, then the savepoint's user root.
    auto rows = for_each_row(definition->root->root, definition->tree_widths(), [&](std::string_view, std::string_view value) -> Status {
      if (value.size() < 17) return std::unexpected(Error::corrupted("persistent savepoint record too short"));
      uint64_t transaction = load_u64(reinterpret_cast<const uint8_t*>(value.data()) + 9);
      if (!oldest || transaction < *oldest) oldest = transaction;
      return {};
    });
    if (!rows) return std::unexpected(rows.error());
    return oldest;
  }

  // The data-tree pages this commit allocated that its trees still use: pages free in the
  // committed state reached from the new user table tree and the tables written. A committed
  // page is never changed, so the subtree under one holds committed pages only and is skipped.
  Status collect_allocated_data_pages(std::vector<PageNumber>& pages) {
    auto collect = [&](const TreeRoot& root, EntryWidths widths) -> Status {
      if (!root.page) return {};
      std::vector<uint8_t> buffer;
      std::function<Status(PageNumber)> walk = [&](PageNumber page) -> Status {
        if (!space_.allocated_here(page)) return {};
        pages.push_back(page);
        buffer.resize(page.byte_length());
        if (auto read = space_.cache().read(page, buffer); !read) return read;
        if (page_type(buffer) != branch_page_type) return {};
        auto branch = BranchView::open(buffer, widths.key);
        if (!branch) return std::unexpected(branch.error());
        std::vector<PageNumber> children;
        for (size_t j = 0; j < branch->child_count(); ++j) children.push_back(branch->child_page(j));
        for (PageNumber child : children)
          if (auto walked = walk(child); !walked) return walked;
        return {};
      };
      return walk(*root.page);
    };
    if (auto walked = collect(state_.user_tree, table_tree_widths); !walked) return walked;
    for (const TableState& table : state_.tables)
      if (table.changed)
        if (auto walked = collect(table.root, table.stored.tree_widths()); !walked) return walked;
    return {};
  }

  // Drops the rows of `data_pages_allocated` with a transaction id below `oldest` (all rows
  // when there is no savepoint). Keys ascend by transaction id, so the first key tells whether
  // any row goes; then the table is rebuilt from the rows that stay (it only holds the rows
  // since the oldest savepoint). The pages those rows list stay as they are: each is still
  // used by a tree or listed as unreachable.
  Status purge_allocated_rows(BtreeWriter& system_tree, std::optional<uint64_t> oldest) {
    const std::string_view name = page_list_tables[0];
    auto list = open_system_table(system_tree, name);
    if (!list) return std::unexpected(list.error());
    auto& [definition, root] = *list;
    if (!root.page) return {};
    auto first = first_key(*root.page, definition.tree_widths());
    if (!first) return std::unexpected(first.error());
    if (oldest && first->size() >= 8 && load_u64(reinterpret_cast<const uint8_t*>(first->data())) >= *oldest) return {};

    std::vector<std::pair<std::string, std::string>> kept;
    auto rows = for_each_row(*root.page, definition.tree_widths(), [&](std::string_view key, std::string_view value) -> Status {
      if (oldest && key.size() >= 8 && load_u64(reinterpret_cast<const uint8_t*>(key.data())) >= *oldest)
        kept.emplace_back(key, value);
      return {};
    });
    if (!rows) return rows;
    if (auto dropped = release_tree(*root.page, definition.tree_widths()); !dropped) return dropped;
    root = TreeRoot{};
    BtreeWriter rebuilt(space_, root, definition.tree_widths(), page_list_order);
    for (const auto& [key, value] : kept)
      if (auto inserted = rebuilt.insert(key, value); !inserted) return std::unexpected(inserted.error());
    if (auto flushed = rebuilt.flush(); !flushed) return flushed;
    return store_system_table(system_tree, name, definition, root);
  }

  // Lists `pages` in the page-list table `name` under this commit's id, in rows of at most 400
  // pages taken from the end of the list, pagination 0, 1, … as the library writes them.
  Status add_page_list_rows(BtreeWriter& system_tree, std::string_view name, std::span<const PageNumber> pages) {
    if (pages.empty()) return {};
    auto list = open_system_table(system_tree, name);
    if (!list) return std::unexpected(list.error());
    auto& [definition, root] = *list;
    BtreeWriter writer(space_, root, definition.tree_widths(), page_list_order);
    constexpr size_t pages_per_row = 400;
    std::string key(16, '\0'), value;
    store_u64(reinterpret_cast<uint8_t*>(key.data()), state_.transaction_id);
    for (uint64_t pagination = 0; !pages.empty(); ++pagination) {
      std::span<const PageNumber> chunk = pages.last(std::min(pages.size(), pages_per_row));
      pages = pages.first(pages.size() - chunk.size());
      store_u64(reinterpret_cast<uint8_t*>(key.data()) + 8, pagination);
      value.assign(2 + 8 * chunk.size(), '\0');
      auto bytes = reinterpret_cast<uint8_t*>(value.data());
      store_u16(bytes, static_cast<uint16_t>(chunk.size()));
      for (size_t i = 0; i < chunk.size(); ++i) store_u64(bytes + 2 + 8 * i, chunk[i].to_raw());
      if (auto inserted = writer.insert(key, value); !inserted) return std::unexpected(inserted.error());
    }
    if (auto flushed = writer.flush(); !flushed) return flushed;
    return store_system_table(system_tree, name, definition, root);
  }

  // A system table the commit changes: its definition and the root being written.
  Result<std::pair<StoredDefinition, TreeRoot>> open_system_table(BtreeWriter& system_tree, std::string_view name) {
    auto stored = system_tree.get(name);
    if (!stored) return std::unexpected(stored.error());
    if (!*stored) return std::unexpected(Error::corrupted(fmt::format("{} is missing", name)));
    auto definition = parse_table_definition(**stored, name);
    if (!definition) return std::unexpected(definition.error());
    TreeRoot root = TreeRoot::from(definition->root);
    return std::pair{std::move(*definition), root};
  }

  Status store_system_table(BtreeWriter& system_tree, std::string_view name, StoredDefinition& definition,
                            const TreeRoot& root) {
    definition.root = root.header();
    definition.table_length = root.length;
    if (auto stored = system_tree.insert(name, serialize_table_definition(definition)); !stored)
      return std::unexpected(stored.error());
    return {};
  }

  // Calls `visit` with every row of a tree, in key order.
  Status for_each_row(PageNumber root, EntryWidths widths, const std::function<Status(std::string_view, std::string_view)>& visit) {
    return visit_tree_pages(space_.cache(), root, widths, true, [&](PageNumber, std::span<const uint8_t> bytes) -> Status {
      if (page_type(bytes) != leaf_page_type) return {};
      auto leaf = LeafView::open(bytes, widths);
      if (!leaf) return std::unexpected(leaf.error());
      for (size_t i = 0; i < leaf->count(); ++i)
        if (auto visited = visit(leaf->key(i), leaf->value(i)); !visited) return visited;
      return {};
    });
  }

  // The smallest key of a non-empty tree.
  Result<std::string> first_key(PageNumber page, EntryWidths widths) {
    std::vector<uint8_t> buffer;
    for (size_t depth = 0;; ++depth) {
      if (depth > max_tree_depth) return std::unexpected(Error::corrupted("tree too deep"));
      buffer.resize(page.byte_length());
      if (auto read = space_.cache().read(page, buffer); !read) return std::unexpected(read.error());
      if (page_type(buffer) == leaf_page_type) {
        auto leaf = LeafView::open(buffer, widths);
        if (!leaf) return std::unexpected(leaf.error());
        return std::string(leaf->key(0));
      }
      auto branch = BranchView::open(buffer, widths.key);
      if (!branch) return std::unexpected(branch.error());
      page = branch->child_page(0);
    }
  }

  // Drops every page of a tree from the commit: pages of this transaction become free at
  // once, committed ones free in the saved state.
  Status release_tree(PageNumber root, EntryWidths widths) {
    std::vector<PageNumber> pages;
    auto visited = visit_tree_pages(space_.cache(), root, widths, false, [&](PageNumber page, std::span<const uint8_t>) -> Status {
      pages.push_back(page);
      return {};
    });
    if (!visited) return visited;
    for (PageNumber page : pages) space_.release(page);
    return {};
  }

  // Committed pages this commit replaced that become free in the saved state: all of them,
  // except the data pages kept for a savepoint.
  std::span<const PageNumber> freed_replaced_pages() const {
    std::span<const PageNumber> replaced = space_.replaced_committed_pages();
    return keep_data_pages_ ? replaced.subspan(data_pages_replaced_) : replaced;
  }

  // The previous state's tree is replaced: its pages become free in the saved state.
  Status release_old_allocator_state(BtreeWriter& system_tree) {
    auto existing = system_tree.get(allocator_state_table);
    if (!existing) return std::unexpected(existing.error());
    if (!*existing) return {};
    auto old = parse_table_definition(**existing, allocator_state_table);
    if (!old) return std::unexpected(old.error());
    if (!old->root) return {};
    std::vector<PageNumber> pages;
    auto visited = visit_tree_pages(space_.cache(), old->root->root, allocator_state_widths, false,
                                    [&](PageNumber page, std::span<const uint8_t>) -> Status {
                                      pages.push_back(page);
                                      return {};
                                    });
    if (!visited) return visited;
    for (PageNumber page : pages) space_.release(page);
    return {};
  }

  Status reserve_rows(BtreeWriter& state_tree, const std::vector<size_t>& sizes) {
    // Region(0…n−1), RegionTracker, TransactionId: rows in key order.
    for (size_t row = 0; row < sizes.size(); ++row) {
      std::string key = row + 1 < sizes.size()
                            ? allocator_state_key::encode(allocator_state_key::region_tag, static_cast<uint32_t>(row))
                            : allocator_state_key::encode(allocator_state_key::region_tracker_tag);
      if (auto inserted = state_tree.insert(key, std::string(sizes[row], '\0')); !inserted)
        return std::unexpected(inserted.error());
    }
    if (auto inserted = state_tree.insert(transaction_id_key(), std::string(8, '\0')); !inserted)
      return std::unexpected(inserted.error());
    return {};
  }

  // Frees a tree written by this commit and still in memory.
  Status drop_tree(TreeRoot& root) {
    if (!root.page) return {};
    std::vector<PageNumber> pages;
    auto visited = visit_tree_pages(space_.cache(), *root.page, allocator_state_widths, true,
                                    [&](PageNumber page, std::span<const uint8_t>) -> Status {
                                      pages.push_back(page);
                                      return {};
                                    });
    if (!visited) return visited;
    for (PageNumber page : pages) space_.release(page);
    root = TreeRoot{};
    return {};
  }

  Status write_header(bool new_file) {
    DatabaseState& database = state_.database;
    File& file = *database.file;
    SuperHeader header = database.header;
    size_t slot_index = database.chosen_slot ^ 1;
    CommitSlot slot;
    slot.user_root = state_.user_tree.header();
    slot.system_root = state_.system_tree.header();
    slot.transaction_id = state_.transaction_id;
    header.slots[slot_index] = slot;
    header.layout = saved_->layout();
    uint8_t final_god_byte = static_cast<uint8_t>(slot_index | god_two_phase_commit);

    if (new_file) {
      header.god_byte = final_god_byte;
      for (bool with_magic : {false, true}) {
        auto bytes = serialize_super_header(header, with_magic);
        if (auto written = file.write_at(0, bytes); !written) return written;
        if (auto synced = file.sync_data(); !synced) return synced;
      }
    } else {
      // The first write still names the previous commit and its layout: the growth of this
      // commit may not be durable before the sync that follows, and a header naming a layout
      // longer than the file would make the file unusable. It also sets the two-phase bit
      // (the previous commit is durable): without it a recovering open prefers the newer slot
      // when its checksum holds, and that slot's pages may not have landed yet.
      SuperHeader staged = header;
      staged.layout = database.header.layout;
      staged.god_byte = static_cast<uint8_t>((header.god_byte & ~god_primary_bit) | database.chosen_slot |
                                             god_two_phase_commit);
      auto bytes = serialize_super_header(staged);
      if (auto written = file.write_at(0, bytes); !written) return written;
      if (auto synced = file.sync_data(); !synced) return synced;
      header.god_byte = final_god_byte;
      bytes = serialize_super_header(header);
      if (auto written = file.write_at(0, bytes); !written) return written;
      if (auto synced = file.sync_data(); !synced) return synced;
    }

    // Durable: this is now the committed state readers and the next transaction see. Pages it
    // made unreachable stay out of allocation while an older commit's reader lives.
    if (!database.live_readers.empty())
      state_.writer.retained.push_back({state_.transaction_id, space_.replaced_committed_pages()});
    database.header = header;
    database.layout = header.layout;
    database.chosen_slot = slot_index;
    database.committed = slot;
    database.needs_recovery = false;
    database.needs_full_repair = false;
    state_.writer.committed = std::move(*saved_);

    // The trimmed tail goes only now: until the flip was durable, the previous commit could
    // still need pages there. No sync follows; a file left longer by whole pages opens the same.
    uint64_t file_length = std::max(database.file_length, space_.allocator().layout().length());
    if (file_length > header.layout.length() && file.set_length(header.layout.length())) file_length = header.layout.length();
    database.file_length = file_length;
    return {};
  }

  static constexpr size_t spare_pages = 8;
  static constexpr std::string_view persistent_savepoints_table = "persistent_savepoints";
  // Keys of the page-list tables: transaction id, then pagination, both u64 little-endian.
  static int compare_page_list_keys(std::string_view a, std::string_view b) {
    if (a.size() < 16 || b.size() < 16) return a.compare(b) < 0 ? -1 : a.compare(b) > 0;  // not a stored key
    for (size_t at : {0, 8}) {
      uint64_t left = load_u64(reinterpret_cast<const uint8_t*>(a.data()) + at);
      uint64_t right = load_u64(reinterpret_cast<const uint8_t*>(b.data()) + at);
      if (left != right) return left < right ? -1 : 1;
    }
    return 0;
  }
  static constexpr EntryOrder page_list_order{nullptr, &compare_page_list_keys};
  static std::string transaction_id_key() { return allocator_state_key::encode(allocator_state_key::transaction_id_tag); }
  static constexpr EntryWidths allocator_state_widths{5, std::nullopt};
  static constexpr EntryOrder allocator_state_order{nullptr, &allocator_state_key::compare};

  WriteState& state_;
  WriteSpace& space_;
  std::optional<PageAllocator> saved_;
  bool trim_ = true;
  size_t data_pages_replaced_ = 0;  // the first ones replaced: pages of the user trees
  bool keep_data_pages_ = false;
};

}  // namespace

Status commit_write(WriteState& state, bool new_file) {
  if (state.failed) return std::unexpected(previous_io_error());
  state.finished = true;
  auto committed = Commit(state).run(new_file);
  if (!committed) return std::unexpected(state.fail(committed.error()));
  return {};
}

}  // namespace redb::detail
