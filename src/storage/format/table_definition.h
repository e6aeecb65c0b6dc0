// The stored table definition: the value of a table-tree entry, keyed by the table's name.
//
//   0   1  table type: 3 normal, 4 multimap
//   1   8  u64 table length (entries; multimap: key-value pairs)
//   9   1  root present
//   10 32  root BtreeHeader (zero when absent)
//   42  1  fixed key width present    43  4  u32 fixed key width (0 when absent)
//   47  1  fixed value width present  48  4  u32 fixed value width (0 when absent)
//   52  4  u32 key alignment (1)      56  4  u32 value alignment (1)
//   60  4  u32 L = length of the key type name
//   64  L  key type name: classification byte (1 internal, 2 user defined, 3 internal v2) + UTF-8
//   64+L   value type name, the same form, running to the end of the record
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "format/header.h"
#include "format/page_layout.h"
#include "redb.h"

namespace redb {

struct StoredDefinition {
  TableKind kind = TableKind::normal;
  uint64_t table_length = 0;
  std::optional<BtreeHeader> root;  // absent for an empty table
  std::optional<uint32_t> fixed_key_width;
  std::optional<uint32_t> fixed_value_width;
  uint32_t key_alignment = 1;
  uint32_t value_alignment = 1;
  std::string key_type;    // classification byte + name
  std::string value_type;  // classification byte + name

  // The definition of a new, empty table of these types.
  static StoredDefinition for_new_table(const TypeDesc& key, const TypeDesc& value,
                                        TableKind kind = TableKind::normal);
  // Widths of the table's (outer) tree entries: a multimap's values are var-width collections.
  EntryWidths tree_widths() const;
  // Stored type names without their classification byte.
  std::string_view key_type_name() const { return without_classification(key_type); }
  std::string_view value_type_name() const { return without_classification(value_type); }
  static std::string_view without_classification(std::string_view stored) {
    return stored.empty() ? stored : stored.substr(1);
  }
};

// Decodes a stored definition of table `table_name` with every field bounds-checked.
// Errors: "DB corrupted: definition of table '{name}': {what}" (short record, unknown table
// type, type name past the end, bad classification byte, type name not UTF-8).
Result<StoredDefinition> parse_table_definition(std::string_view record, std::string_view table_name);
// Encodes a definition; its length depends only on the type names.
std::string serialize_table_definition(const StoredDefinition& definition);

// What an open asks for: the kind, and each type's stored name (with classification byte)
// and fixed width.
struct RequestedTypes {
  TableKind kind = TableKind::normal;
  std::string key_type;
  std::optional<uint32_t> key_width;
  std::string value_type;
  std::optional<uint32_t> value_width;
};
RequestedTypes requested_types(const TableDefinition& definition, TableKind kind = TableKind::normal);

// The checks of opening table `table_name`, in the library's order, first failure wins:
// kind ("{} is a multimap table" / "{} is not a multimap table"), key then value alignment,
// type names ("{} is of type Table<{}, {}>" with the stored names), key then value width
// ("Current definition of {} does not match stored definition (width={}, alignment={})").
Status check_table_match(const StoredDefinition& stored, std::string_view table_name, const RequestedTypes& requested);

}  // namespace redb
