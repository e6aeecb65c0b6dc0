// Test support: a structural validator for database files this library wrote. It checks what
// the real library relies on but its own integrity check does not look at (key order,
// separator bounds, one leaf depth, exact lengths, fixed widths, n/m >= 1, no page used twice)
// and what the quick open path trusts (clean god byte, exact allocator_state).
#pragma once

#include <fmt/format.h>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "file.h"
#include "format/header.h"
#include "format/little_endian.h"
#include "format/page_layout.h"
#include "format/table_definition.h"
#include "types.h"
#include "write/allocator.h"

namespace redb::testing {

#define VALIDATOR_TRY(expression)                                           \
  do {                                                                   \
    if (auto status_ = (expression); !status_) return std::unexpected(status_.error()); \
  } while (0)

// Keys compared byte by byte (the order of text and byte-string keys): -1, 0 or 1.
inline int bytes_order(std::string_view a, std::string_view b) { return a.compare(b) < 0 ? -1 : a.compare(b) > 0; }

struct ValidatedFile {
  SuperHeader header;
  std::map<std::string, StoredDefinition> user_tables;
  std::map<std::string, StoredDefinition> system_tables;
  std::map<std::string, std::string> allocator_rows;  // key bytes -> value bytes
  size_t pages = 0;                                   // pages in use, all trees and lists
};

class WriteValidator {
 public:
  // `key_order` gives the key order of a user table by its stored key type name.
  using KeyOrder = std::function<int(std::string_view, std::string_view)>;
  WriteValidator(File& file, std::function<KeyOrder(const StoredDefinition&)> user_key_order)
      : file_(file), user_key_order_(std::move(user_key_order)) {}

  // The first problem found, or the validated file.
  Result<ValidatedFile> run() {
    ValidatedFile result;
    std::array<uint8_t, super_header_size> bytes;
    VALIDATOR_TRY(file_.read_at(0, bytes));
    if (!has_magic(bytes)) return fail("no magic");
    auto header = parse_super_header(bytes);
    if (!header) return std::unexpected(header.error());
    result.header = *header;
    layout_ = header->layout;
    auto length = file_.length();
    if (!length || *length != layout_.length()) return fail("file length differs from the layout length");
    if (header->god_byte != (god_two_phase_commit | header->primary_index()))
      return fail(fmt::format("god byte {:#x} is not a clean two-phase commit", header->god_byte));
    const CommitSlot& primary = header->primary();
    if (!primary.checksum_valid) return fail("primary slot checksum");
    if (!header->secondary().checksum_valid) return fail("secondary slot checksum");
    if (header->secondary().transaction_id >= primary.transaction_id) return fail("secondary slot is not older");
    allocator_.emplace(layout_);

    const KeyOrder text = bytes_order;
    recording_data_pages_ = true;
    if (primary.user_root)
      VALIDATOR_TRY(table_tree(*primary.user_root, text, result.user_tables, false, result));
    recording_data_pages_ = false;
    if (!primary.system_root) return fail("no system tables");
    VALIDATOR_TRY(table_tree(*primary.system_root, text, result.system_tables, true, result));
    // A restore of a savepoint frees the pages listed as allocated after it: each must be a
    // data page still in use (reached by the user tree or listed as unreachable data), never
    // free space or a system page.
    for (PageNumber page : listed_as_allocated_)
      if (!data_pages_.contains(page.to_raw()))
        return fail(fmt::format("data_pages_allocated lists r{}.{}/{}, which is not a data page in use", page.region,
                                page.index, page.order));

    // A few pages stay free: the library allocates as soon as it has opened a file.
    {
      PageAllocator probe = *allocator_;
      for (int i = 0; i < 8; ++i)
        if (!probe.alloc(0)) return fail("fewer than 8 free pages");
    }
    // The saved allocator state must be exactly the pages found.
    auto rows = allocator_->serialize_rows();
    if (result.allocator_rows.size() != rows.size() + 1) return fail("allocator_state has the wrong number of rows");
    for (const auto& row : rows)
      if (result.allocator_rows[row.key] != row.value)
        return fail(fmt::format("allocator_state row with tag {} differs from the pages in use", int(row.key[0])));
    std::string id = result.allocator_rows[allocator_state_key::encode(allocator_state_key::transaction_id_tag)];
    if (id.size() != 8 || load_u64(reinterpret_cast<const uint8_t*>(id.data())) != primary.transaction_id)
      return fail("allocator_state TransactionId differs from the primary slot");
    return result;
  }

 private:

  static std::unexpected<Error> fail(std::string what) { return std::unexpected(Error{"validator: " + what}); }

  static KeyOrder system_key_order(const StoredDefinition& definition) {
    TypeDesc type = definition.fixed_key_width == 16u ? TypeDesc::tuple({Scalar::u64, Scalar::u64})
                    : definition.fixed_key_width == 8u ? TypeDesc::scalar(Scalar::u64)
                                                       : TypeDesc::scalar(Scalar::bytes);
    return [type](std::string_view a, std::string_view b) { return type.compare(a, b); };
  }

  Status record(PageNumber page) {
    if (!allocator_->record_alloc(page))
      return fail(fmt::format("page r{}.{}/{} used twice or outside the layout", page.region, page.index, page.order));
    ++pages_;
    if (recording_data_pages_) data_pages_.insert(page.to_raw());
    return {};
  }

  Status read(PageNumber page, std::vector<uint8_t>& buffer) {
    buffer.resize(page.byte_length());
    return file_.read_at(layout_.page_offset(page.region, page.index, page.order), buffer);
  }

  Status table_tree(const BtreeHeader& root, const KeyOrder& text, std::map<std::string, StoredDefinition>& tables,
                    bool system, ValidatedFile& result) {
    std::vector<std::pair<std::string, std::string>> rows;
    VALIDATOR_TRY(tree(root, {}, text, &rows));
    for (auto& [name, definition_bytes] : rows) {
      auto definition = parse_table_definition(definition_bytes, name);
      if (!definition) return std::unexpected(definition.error());
      if (definition->kind != TableKind::normal) return fail("multimap table in a written file");
      if (serialize_table_definition(*definition) != definition_bytes) return fail("definition " + name + " does not round-trip");
      uint64_t root_length = definition->root ? definition->root->length : 0;
      if (definition->table_length != root_length) return fail("table_length of " + name + " differs from its root");
      if (definition->root) {
        bool allocator_table = system && name == "allocator_state";
        bool page_list = system && name.ends_with("_unreachable");
        bool allocated_list = system && name == "data_pages_allocated";
        KeyOrder order;
        if (allocator_table) order = allocator_state_key::compare;
        else if (system) order = system_key_order(*definition);
        else order = user_key_order_(*definition);
        std::vector<std::pair<std::string, std::string>> table_rows;
        bool keep_rows = allocator_table || page_list || allocated_list;
        VALIDATOR_TRY(tree(*definition->root, definition->tree_widths(), order, keep_rows ? &table_rows : nullptr));
        if (allocator_table)
          for (auto& [key, value] : table_rows) result.allocator_rows[key] = value;
        if (system) recording_data_pages_ = name == "data_pages_unreachable";
        for (auto& [key, value] : page_list || allocated_list ? table_rows : decltype(table_rows){}) {
          auto data = reinterpret_cast<const uint8_t*>(value.data());
          if (value.size() < 2 || value.size() < 2 + 8 * size_t{load_u16(data)}) return fail("short page list in " + name);
          for (size_t i = 0; i < load_u16(data); ++i) {
            PageNumber page = PageNumber::from_raw(load_u64(data + 2 + 8 * i));
            if (allocated_list) listed_as_allocated_.push_back(page);
            else VALIDATOR_TRY(record(page));
          }
        }
        if (system) recording_data_pages_ = false;
      }
      tables[name] = std::move(*definition);
    }
    result.pages = pages_;
    return {};
  }

  // Walks one tree checking every structural rule; `rows` collects the entries when given.
  Status tree(const BtreeHeader& root, EntryWidths widths, const KeyOrder& order,
              std::vector<std::pair<std::string, std::string>>* rows) {
    uint64_t entries = 0;
    std::optional<size_t> leaf_depth;
    std::function<Status(PageNumber, const Checksum&, size_t, const std::optional<std::string>&,
                         const std::optional<std::string>&)>
        walk = [&](PageNumber page, const Checksum& expected, size_t depth, const std::optional<std::string>& lower,
                   const std::optional<std::string>& upper) -> Status {
      if (depth > 40) return fail("tree too deep");
      VALIDATOR_TRY(record(page));
      std::vector<uint8_t> buffer;
      VALIDATOR_TRY(read(page, buffer));
      auto in_bounds = [&](std::string_view key) {
        return (!lower || order(*lower, key) < 0) && (!upper || order(key, *upper) <= 0);
      };
      if (page_type(buffer) == leaf_page_type) {
        auto leaf = LeafView::open(buffer, widths);
        if (!leaf) return std::unexpected(leaf.error());
        if (page_checksum(buffer, leaf->used_length()) != expected) return fail("leaf checksum");
        if (page_order_for(leaf->used_length()) != page.order) return fail("leaf not at its minimal order");
        if (leaf_depth && *leaf_depth != depth) return fail("leaves at different depths");
        leaf_depth = depth;
        for (size_t i = 0; i < leaf->count(); ++i) {
          if (!in_bounds(leaf->key(i))) return fail("leaf key outside its separator bounds");
          if (i > 0 && order(leaf->key(i - 1), leaf->key(i)) >= 0) return fail("leaf keys not ascending");
          if (rows) rows->emplace_back(leaf->key(i), leaf->value(i));
        }
        entries += leaf->count();
        return {};
      }
      auto branch = BranchView::open(buffer, widths.key);
      if (!branch) return std::unexpected(branch.error());
      if (page_checksum(buffer, branch->used_length()) != expected) return fail("branch checksum");
      for (size_t i = 0; i < branch->key_count(); ++i) {
        if (!in_bounds(branch->key(i))) return fail("separator outside its bounds");
        if (i > 0 && order(branch->key(i - 1), branch->key(i)) >= 0) return fail("separators not ascending");
      }
      for (size_t j = 0; j < branch->child_count(); ++j) {
        std::optional<std::string> child_lower = j == 0 ? lower : std::optional<std::string>(branch->key(j - 1));
        std::optional<std::string> child_upper = j == branch->key_count() ? upper : std::optional<std::string>(branch->key(j));
        VALIDATOR_TRY(walk(branch->child_page(j), branch->child_checksum(j), depth + 1, child_lower, child_upper));
      }
      return {};
    };
    VALIDATOR_TRY(walk(root.root, root.checksum, 0, std::nullopt, std::nullopt));
    if (entries != root.length) return fail("tree length differs from its entries");
    return {};
  }

  File& file_;
  std::function<KeyOrder(const StoredDefinition&)> user_key_order_;
  DatabaseLayout layout_;
  std::optional<PageAllocator> allocator_;
  size_t pages_ = 0;
  bool recording_data_pages_ = false;     // pages recorded now are data pages
  std::set<uint64_t> data_pages_;         // raw page numbers
  std::vector<PageNumber> listed_as_allocated_;
};

// For a validator: every user table's keys in bytes order.
inline WriteValidator::KeyOrder every_table_in_bytes_order(const StoredDefinition&) { return bytes_order; }

// For a validator: a user table's keys in the order of the first of `key_types` with its stored
// key type name, in bytes order when none has it.
inline std::function<WriteValidator::KeyOrder(const StoredDefinition&)> key_order_by_type(std::vector<TypeDesc> key_types) {
  return [key_types = std::move(key_types)](const StoredDefinition& stored) -> WriteValidator::KeyOrder {
    for (const TypeDesc& type : key_types)
      if (type.stored_name() == stored.key_type)
        return [type](std::string_view a, std::string_view b) { return type.compare(a, b); };
    return bytes_order;
  };
}

// Validates the file at `path`, opened locked as an existing file.
inline Result<ValidatedFile> validate_file(const std::string& path,
                                           std::function<WriteValidator::KeyOrder(const StoredDefinition&)> user_key_order) {
  auto file = open_locked_file(path, OpenMode::existing);
  if (!file) return std::unexpected(file.error());
  return WriteValidator(**file, std::move(user_key_order)).run();
}

}  // namespace redb::testing
