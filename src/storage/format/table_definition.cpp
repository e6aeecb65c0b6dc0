#include "format/table_definition.h"

#include <cstring>
#include <fmt/format.h>

#include "format/little_endian.h"
#include "format/utf8.h"

namespace redb {
namespace {

constexpr size_t fixed_part = 64;
constexpr uint8_t normal_table_type = 3;
constexpr uint8_t multimap_table_type = 4;

Error definition_error(std::string_view table_name, std::string_view what) {
  return Error::corrupted(fmt::format("definition of table '{}': {}", table_name, what));
}

std::optional<std::string> check_type_name(std::string_view stored) {
  if (stored.empty()) return "empty type name";
  uint8_t classification = static_cast<uint8_t>(stored[0]);
  if (classification < 1 || classification > 3)
    return fmt::format("type name with unknown classification byte {}", classification);
  if (!is_valid_utf8(stored.substr(1))) return "type name is not valid UTF-8";
  return std::nullopt;
}

std::string width_text(std::optional<uint32_t> width) {
  return width ? fmt::format("Some({})", *width) : std::string("None");
}

Error definition_changed(std::string_view type_name, std::optional<uint32_t> width, uint32_t alignment) {
  return Error::table(fmt::format("Current definition of {} does not match stored definition (width={}, alignment={})",
                                  type_name, width_text(width), alignment));
}

}  // namespace

StoredDefinition StoredDefinition::for_new_table(const TypeDesc& key, const TypeDesc& value, TableKind kind) {
  StoredDefinition definition;
  definition.kind = kind;
  definition.fixed_key_width = key.fixed_width();
  definition.fixed_value_width = value.fixed_width();
  definition.key_type = key.stored_name();
  definition.value_type = value.stored_name();
  return definition;
}

EntryWidths StoredDefinition::tree_widths() const {
  if (kind == TableKind::multimap) return {fixed_key_width, std::nullopt};
  return {fixed_key_width, fixed_value_width};
}

Result<StoredDefinition> parse_table_definition(std::string_view record, std::string_view table_name) {
  if (record.size() < fixed_part) return std::unexpected(definition_error(table_name, "record is too short"));
  const auto* data = reinterpret_cast<const uint8_t*>(record.data());
  StoredDefinition definition;
  if (data[0] == normal_table_type) definition.kind = TableKind::normal;
  else if (data[0] == multimap_table_type) definition.kind = TableKind::multimap;
  else return std::unexpected(definition_error(table_name, fmt::format("unknown table type {}", data[0])));
  definition.table_length = load_u64(data + 1);
  if (data[9] != 0) definition.root = BtreeHeader::load(data + 10);
  if (data[42] != 0) definition.fixed_key_width = load_u32(data + 43);
  if (data[47] != 0) definition.fixed_value_width = load_u32(data + 48);
  definition.key_alignment = load_u32(data + 52);
  definition.value_alignment = load_u32(data + 56);
  uint64_t key_name_length = load_u32(data + 60);
  if (key_name_length > record.size() - fixed_part)
    return std::unexpected(definition_error(table_name, "key type name runs past the end"));
  definition.key_type = record.substr(fixed_part, key_name_length);
  definition.value_type = record.substr(fixed_part + key_name_length);
  for (const std::string& name : {definition.key_type, definition.value_type}) {
    if (auto problem = check_type_name(name)) return std::unexpected(definition_error(table_name, *problem));
  }
  return definition;
}

std::string serialize_table_definition(const StoredDefinition& definition) {
  std::string record(fixed_part, '\0');
  auto* data = reinterpret_cast<uint8_t*>(record.data());
  data[0] = definition.kind == TableKind::multimap ? multimap_table_type : normal_table_type;
  store_u64(data + 1, definition.table_length);
  if (definition.root) {
    data[9] = 1;
    definition.root->store(data + 10);
  }
  if (definition.fixed_key_width) {
    data[42] = 1;
    store_u32(data + 43, *definition.fixed_key_width);
  }
  if (definition.fixed_value_width) {
    data[47] = 1;
    store_u32(data + 48, *definition.fixed_value_width);
  }
  store_u32(data + 52, definition.key_alignment);
  store_u32(data + 56, definition.value_alignment);
  store_u32(data + 60, static_cast<uint32_t>(definition.key_type.size()));
  record += definition.key_type;
  record += definition.value_type;
  return record;
}

RequestedTypes requested_types(const TableDefinition& definition, TableKind kind) {
  return RequestedTypes{kind, definition.key.stored_name(), definition.key.fixed_width(),
                        definition.value.stored_name(), definition.value.fixed_width()};
}

Status check_table_match(const StoredDefinition& stored, std::string_view table_name, const RequestedTypes& requested) {
  if (stored.kind != requested.kind) {
    if (stored.kind == TableKind::multimap)
      return std::unexpected(Error::table(fmt::format("{} is a multimap table", table_name)));
    return std::unexpected(Error::table(fmt::format("{} is not a multimap table", table_name)));
  }
  if (stored.key_alignment != 1)
    return std::unexpected(definition_changed(stored.key_type_name(), stored.fixed_key_width, stored.key_alignment));
  if (stored.value_alignment != 1)
    return std::unexpected(
        definition_changed(stored.value_type_name(), stored.fixed_value_width, stored.value_alignment));
  if (stored.key_type != requested.key_type || stored.value_type != requested.value_type)
    return std::unexpected(Error::table(
        fmt::format("{} is of type Table<{}, {}>", table_name, stored.key_type_name(), stored.value_type_name())));
  if (stored.fixed_key_width != requested.key_width)
    return std::unexpected(definition_changed(StoredDefinition::without_classification(requested.key_type), stored.fixed_key_width,
                                              stored.key_alignment));
  if (stored.fixed_value_width != requested.value_width)
    return std::unexpected(definition_changed(StoredDefinition::without_classification(requested.value_type),
                                              stored.fixed_value_width, stored.value_alignment));
  return {};
}

}  // namespace redb
