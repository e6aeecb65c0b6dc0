#include "read/database_open.h"

#include <array>
#include <fmt/format.h>

#include "format/header.h"
#include "read/commit_choice.h"

namespace redb::detail {

Result<std::unique_ptr<DatabaseState>> open_existing(std::unique_ptr<File> file) {
  auto length = file->length();
  if (!length) return std::unexpected(length.error());
  const Error invalid_data = Error::io_message("invalid data");
  if (*length < file_magic.size()) return std::unexpected(invalid_data);
  std::array<uint8_t, super_header_size> bytes{};
  if (auto read = file->read_at(0, std::span(bytes).first(file_magic.size())); !read)
    return std::unexpected(read.error());
  if (!has_magic(bytes)) return std::unexpected(invalid_data);
  if (auto read = file->read_at(0, bytes); !read) return std::unexpected(read.error());
  auto header = parse_super_header(bytes);
  if (!header) return std::unexpected(header.error());
  if (auto geometry = check_geometry(*header, *length); !geometry) return std::unexpected(geometry.error());

  auto state = std::make_unique<DatabaseState>();
  state->header = *header;
  state->file_length = *length;
  state->layout = header->layout;
  state->needs_recovery = header->recovery_required() || header->layout.length() != *length;
  if (state->needs_recovery) {
    state->layout = recalculate_layout(header->layout, *length);
    if (state->layout.length() != *length)
      return std::unexpected(Error::corrupted(fmt::format(
          "file length {} does not fit the region layout (nearest layout length {})", *length,
          state->layout.length())));
  }

  PageSource source{file.get(), state->layout, *length};
  auto choice = choose_commit(source, *header, state->needs_recovery);
  if (!choice) return std::unexpected(choice.error());
  state->chosen_slot = choice->slot;
  state->committed = header->slots[choice->slot];
  state->needs_full_repair = choice->needs_full_repair;
  state->file = std::move(file);
  return state;
}

}  // namespace redb::detail
