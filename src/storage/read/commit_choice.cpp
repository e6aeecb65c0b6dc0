#include "read/commit_choice.h"

#include <fmt/format.h>

#include "format/little_endian.h"
#include "format/table_definition.h"
#include "read/tree_cursor.h"
#include "read/tree_verify.h"

namespace redb::detail {
namespace {

constexpr std::string_view allocator_state_table = "allocator_state";
constexpr uint8_t transaction_id_tag = 5;

const RequestedTypes& allocator_state_types() {
  static const RequestedTypes types{TableKind::normal, "\x01redb::AllocatorStateKey", 5, "\x01&[u8]", std::nullopt};
  return types;
}

Error corrupted_despite_two_phase() { return Error::corrupted("Primary is corrupted despite 2-phase commit"); }

Result<size_t> pick_slot(const SuperHeader& header, bool needs_recovery) {
  const size_t primary = header.primary_index(), secondary = primary ^ 1;
  if (!needs_recovery) return primary;
  if (header.two_phase_commit()) {
    if (!header.slots[primary].checksum_valid) return std::unexpected(corrupted_despite_two_phase());
    return primary;
  }
  if (!header.slots[primary].checksum_valid) {
    if (!header.slots[secondary].checksum_valid)
      return std::unexpected(Error::corrupted("Both commit slots are corrupted"));
    return secondary;
  }
  if (header.slots[secondary].checksum_valid &&
      header.slots[secondary].transaction_id > header.slots[primary].transaction_id)
    return secondary;
  return primary;
}

}  // namespace

Result<bool> allocator_state_is_current(const PageSource& source, const CommitSlot& slot) {
  if (!slot.system_root) return false;
  auto record = find_in_tree(source, slot.system_root->root, {}, KeyOrder::text, allocator_state_table);
  if (!record) return std::unexpected(record.error());
  if (!*record) return false;
  auto definition = parse_table_definition(**record, allocator_state_table);
  if (!definition) return std::unexpected(definition.error());
  if (auto match = check_table_match(*definition, allocator_state_table, allocator_state_types()); !match)
    return std::unexpected(Error::corrupted("Unexpected TableError: " + match.error().text));
  if (!definition->root) return false;
  uint8_t key[5] = {transaction_id_tag, 0, 0, 0, 0};
  auto value = find_in_tree(source, definition->root->root, definition->tree_widths(), KeyOrder::allocator_state_key,
                            std::string_view(reinterpret_cast<const char*>(key), sizeof key));
  if (!value) return std::unexpected(value.error());
  if (!*value) return false;
  if ((*value)->size() != 8)
    return std::unexpected(Error::corrupted(
        fmt::format("allocator state transaction id has {} bytes instead of 8", (*value)->size())));
  return load_u64(reinterpret_cast<const uint8_t*>((*value)->data())) == slot.transaction_id;
}

Result<CommitChoice> choose_commit(const PageSource& source, const SuperHeader& header, bool needs_recovery) {
  auto slot = pick_slot(header, needs_recovery);
  if (!slot) return std::unexpected(slot.error());
  CommitChoice choice{*slot, false};

  if (header.two_phase_commit()) {
    auto current = allocator_state_is_current(source, header.slots[choice.slot]);
    if (!current) return std::unexpected(current.error());
    if (*current) return choice;
  }
  choice.needs_full_repair = true;

  auto check = verify_commit(source, header.slots[choice.slot]);
  if (!check) return std::unexpected(check.error());
  if (*check == TreeCheck::intact) return choice;
  if (header.two_phase_commit()) return std::unexpected(corrupted_despite_two_phase());

  choice.slot ^= 1;
  check = verify_commit(source, header.slots[choice.slot]);
  if (!check) return std::unexpected(check.error());
  if (*check == TreeCheck::damaged)
    return std::unexpected(Error::corrupted("Failed to repair database. All roots are corrupted"));
  return choice;
}

}  // namespace redb::detail
