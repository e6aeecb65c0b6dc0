#include "format/header.h"

#include <algorithm>
#include <cstring>
#include <fmt/format.h>

#include "format/little_endian.h"

namespace redb {
namespace {

constexpr size_t god_byte_offset = 9;
constexpr size_t page_size_offset = 12;
constexpr size_t region_header_pages_offset = 16;
constexpr size_t region_max_data_pages_offset = 20;
constexpr size_t full_regions_offset = 24;
constexpr size_t trailing_pages_offset = 28;

constexpr size_t slot_version = 0;
constexpr size_t slot_user_present = 1;
constexpr size_t slot_system_present = 2;
constexpr size_t slot_user_root = 8;
constexpr size_t slot_system_root = 40;
constexpr size_t slot_transaction_id = 104;
constexpr size_t slot_checksum = 112;

constexpr uint32_t max_region_pages = 1u << 20;

Status check_version(uint8_t version) {
  if (version == file_format_version) return {};
  if (version == 1 || version == 2)
    return std::unexpected(Error{fmt::format(
        "Manual upgrade required. Expected file format version 3, but file is version {}", version)});
  return std::unexpected(Error::corrupted(fmt::format("Expected file format version <= 3, found {}", version)));
}

}  // namespace

BtreeHeader BtreeHeader::load(const uint8_t* source) {
  BtreeHeader header;
  header.root = PageNumber::from_raw(load_u64(source));
  header.checksum = Checksum::load(source + 8);
  header.length = load_u64(source + 24);
  return header;
}

void BtreeHeader::store(uint8_t* target) const {
  store_u64(target, root.to_raw());
  checksum.store(target + 8);
  store_u64(target + 24, length);
}

CommitSlot CommitSlot::load(const uint8_t* source) {
  CommitSlot slot;
  slot.version = source[slot_version];
  if (source[slot_user_present] != 0) slot.user_root = BtreeHeader::load(source + slot_user_root);
  if (source[slot_system_present] != 0) slot.system_root = BtreeHeader::load(source + slot_system_root);
  slot.transaction_id = load_u64(source + slot_transaction_id);
  slot.checksum_valid =
      checksum_of(std::span<const uint8_t>(source, slot_checksum)) == Checksum::load(source + slot_checksum);
  return slot;
}

void CommitSlot::store(uint8_t* target) const {
  std::memset(target, 0, commit_slot_size);
  target[slot_version] = version;
  if (user_root) {
    target[slot_user_present] = 1;
    user_root->store(target + slot_user_root);
  }
  if (system_root) {
    target[slot_system_present] = 1;
    system_root->store(target + slot_system_root);
  }
  store_u64(target + slot_transaction_id, transaction_id);
  checksum_of(std::span<const uint8_t>(target, slot_checksum)).store(target + slot_checksum);
}

bool has_magic(std::span<const uint8_t> bytes) {
  return bytes.size() >= file_magic.size() && std::equal(file_magic.begin(), file_magic.end(), bytes.begin());
}

Result<SuperHeader> parse_super_header(std::span<const uint8_t, super_header_size> bytes) {
  for (size_t offset : commit_slot_offsets) {
    if (auto status = check_version(bytes[offset + slot_version]); !status) return std::unexpected(status.error());
  }
  const uint8_t* data = bytes.data();
  SuperHeader header;
  header.god_byte = data[god_byte_offset];
  header.layout.page_size = load_u32(data + page_size_offset);
  header.layout.region_header_pages = load_u32(data + region_header_pages_offset);
  header.layout.region_max_data_pages = load_u32(data + region_max_data_pages_offset);
  header.layout.num_full_regions = load_u32(data + full_regions_offset);
  header.layout.trailing_region_data_pages = load_u32(data + trailing_pages_offset);
  for (size_t i = 0; i < 2; ++i) header.slots[i] = CommitSlot::load(data + commit_slot_offsets[i]);
  return header;
}

std::array<uint8_t, super_header_size> serialize_super_header(const SuperHeader& header, bool with_magic) {
  std::array<uint8_t, super_header_size> bytes{};
  uint8_t* data = bytes.data();
  if (with_magic) std::copy(file_magic.begin(), file_magic.end(), data);
  data[god_byte_offset] = header.god_byte & (god_primary_bit | god_recovery_required | god_two_phase_commit);
  store_u32(data + page_size_offset, header.layout.page_size);
  store_u32(data + region_header_pages_offset, header.layout.region_header_pages);
  store_u32(data + region_max_data_pages_offset, header.layout.region_max_data_pages);
  store_u32(data + full_regions_offset, header.layout.num_full_regions);
  store_u32(data + trailing_pages_offset, header.layout.trailing_region_data_pages);
  for (size_t i = 0; i < 2; ++i) header.slots[i].store(data + commit_slot_offsets[i]);
  return bytes;
}

Status check_geometry(const SuperHeader& header, uint64_t file_length) {
  const DatabaseLayout& layout = header.layout;
  if (layout.page_size != page_size)
    return std::unexpected(Error::corrupted(fmt::format("unsupported page size {} (expected 4096)", layout.page_size)));
  if (layout.region_max_data_pages == 0 || layout.region_max_data_pages > max_region_pages)
    return std::unexpected(
        Error::corrupted(fmt::format("invalid region size of {} pages", layout.region_max_data_pages)));
  if (layout.region_header_pages > max_region_pages)
    return std::unexpected(
        Error::corrupted(fmt::format("invalid region header size of {} pages", layout.region_header_pages)));
  if (layout.num_full_regions > max_region_pages)
    return std::unexpected(Error::corrupted(fmt::format("invalid number of regions {}", layout.num_full_regions)));
  if (layout.region_count() == 0) return std::unexpected(Error::corrupted("the header describes no region"));
  if (layout.trailing_region_data_pages > layout.region_max_data_pages)
    return std::unexpected(Error::corrupted(fmt::format("trailing region of {} pages exceeds the region size of {} pages",
                                                        layout.trailing_region_data_pages,
                                                        layout.region_max_data_pages)));
  uint64_t layout_length = layout.length();
  if (file_length < layout_length)
    return std::unexpected(Error::corrupted(
        fmt::format("file length {} is shorter than the layout length {}", file_length, layout_length)));
  return {};
}

DatabaseLayout recalculate_layout(const DatabaseLayout& stored, uint64_t file_length) {
  DatabaseLayout layout = stored;
  layout.num_full_regions = 0;
  layout.trailing_region_data_pages = 0;
  if (file_length <= page_size) return layout;
  uint64_t region_space = file_length - page_size;
  uint64_t full_regions = region_space / layout.full_region_bytes();
  uint64_t rest_pages = (region_space - full_regions * layout.full_region_bytes()) / page_size;
  layout.num_full_regions = static_cast<uint32_t>(std::min<uint64_t>(full_regions, UINT32_MAX));
  if (rest_pages >= uint64_t{layout.region_header_pages} + 1)
    layout.trailing_region_data_pages = static_cast<uint32_t>(rest_pages - layout.region_header_pages);
  return layout;
}

}  // namespace redb
