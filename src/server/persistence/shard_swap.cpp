// The swap journal and the one code path that carries a swap out, the first time and after any
// interruption alike.
//
// Journal (`.shard-migrate-swap` in the persist directory), one item per line:
//
//   shard-migrate swap journal
//   backup .shard-migrate-backup-<seconds>
//   old <file name>          one line per old file, in the order of the moves
//   new <file name>          one line per new file, in the order of the moves
//   end
//
// It is written before the backup directory is created and removed only after the last new
// file is in place and the persist directory is synced, so while any move of the swap is
// outstanding the journal exists. Where each file is tells how far the swap got, because the
// moves run in two groups and every group is durable before the next begins:
//   - an old file in the backup directory was moved (a file of its name in the persist
//     directory is then a new one); one not there is still in the persist directory;
//   - a new file in the temporary directory is still to move; one not there is in the persist
//     directory, unless an old file of that name has not moved yet (then the new file is lost).
// Each step below skips what is already done, so finishing a swap twice does no harm.
#include "server/persistence/shard_swap.h"

#include <algorithm>
#include <optional>
#include <sstream>
#include <string_view>

#include <fmt/format.h>

#include "server/persistence/in_place_migration.h"
#include "server/persistence/migration_texts.h"
#include "server/persistence/shard_files.h"

namespace shard_migrate {

namespace {

constexpr std::string_view journal_heading = "shard-migrate swap journal";

std::string journal_text(const ShardSwap& swap) {
  std::string text = fmt::format("{}\nbackup {}\n", journal_heading, swap.backup_dir_name);
  for (const std::string& name : swap.old_files) text += fmt::format("old {}\n", name);
  for (const std::string& name : swap.new_files) text += fmt::format("new {}\n", name);
  text += "end\n";
  return text;
}

bool is_shard_file_name(std::string_view name) {
  return name == single_shard_file_name || numbered_shard_number(name).has_value();
}

bool is_backup_dir_name(std::string_view name) {
  return name.starts_with(backup_dir_prefix) && name.size() > backup_dir_prefix.size() &&
         name.find('/') == std::string_view::npos;
}

// The swap a journal records, or nothing when it is not a whole journal of this program (the
// names are checked so that no other path can ever be moved).
std::optional<ShardSwap> parse_journal(std::string_view text) {
  ShardSwap swap;
  std::istringstream lines{std::string(text)};
  std::string line;
  if (!std::getline(lines, line) || line != journal_heading) return std::nullopt;
  if (!std::getline(lines, line) || !line.starts_with("backup ")) return std::nullopt;
  swap.backup_dir_name = line.substr(7);
  if (!is_backup_dir_name(swap.backup_dir_name)) return std::nullopt;
  while (std::getline(lines, line)) {
    if (line == "end") return lines.peek() == std::char_traits<char>::eof() ? std::optional(swap) : std::nullopt;
    std::string name = line.substr(std::min<size_t>(4, line.size()));
    if (!is_shard_file_name(name)) return std::nullopt;
    if (line.starts_with("old ") && swap.new_files.empty()) swap.old_files.push_back(std::move(name));
    else if (line.starts_with("new ")) swap.new_files.push_back(std::move(name));
    else return std::nullopt;
  }
  return std::nullopt;  // no "end": not a whole journal
}

}  // namespace

FileSystemStatus write_swap_journal(const std::string& persist_dir, const ShardSwap& swap, FileSystem& file_system) {
  const std::string staged = join_path(join_path(persist_dir, temporary_dir_name), swap_journal_name);
  if (auto written = file_system.write_file(staged, journal_text(swap)); !written) return written;
  if (auto moved = file_system.rename(staged, join_path(persist_dir, swap_journal_name)); !moved) return moved;
  return file_system.sync_directory(persist_dir);
}

FileSystemStatus finish_swap(const std::string& persist_dir, const ShardSwap& swap, FileSystem& file_system) {
  const std::string journal_path = join_path(persist_dir, swap_journal_name);
  const std::string temporary_dir = join_path(persist_dir, temporary_dir_name);
  const std::string backup_dir = join_path(persist_dir, swap.backup_dir_name);

  // Find how far the swap got, and refuse before any change when a file is nowhere.
  std::vector<std::string> old_to_move;
  std::vector<std::string> new_to_move;
  std::vector<std::string> missing;
  for (const std::string& name : swap.old_files) {
    if (file_system.entry_exists(join_path(backup_dir, name))) continue;
    if (file_system.entry_exists(join_path(persist_dir, name))) old_to_move.push_back(name);
    else missing.push_back(fmt::format("old shard file {} is neither in {} nor in {}", name, persist_dir, backup_dir));
  }
  for (const std::string& name : swap.new_files) {
    if (file_system.entry_exists(join_path(temporary_dir, name))) {
      new_to_move.push_back(name);
      continue;
    }
    bool old_file_holds_name = std::find(old_to_move.begin(), old_to_move.end(), name) != old_to_move.end();
    if (old_file_holds_name || !file_system.entry_exists(join_path(persist_dir, name)))
      missing.push_back(fmt::format("new shard file {} is neither in {} nor in {}", name, temporary_dir, persist_dir));
  }
  if (!missing.empty()) {
    std::string what;
    for (const std::string& item : missing) what += (what.empty() ? "" : "; ") + item;
    return std::unexpected(unfinished_swap_text(journal_path, what));
  }

  // The backup directory, durably in the persist directory.
  if (auto made = file_system.make_directories(backup_dir); !made) return made;
  if (auto synced = file_system.sync_directory(persist_dir); !synced) return synced;

  // The old files out: durably in the backup and gone from the persist directory before new
  // files take their names.
  for (const std::string& name : old_to_move) {
    if (auto moved = file_system.rename(join_path(persist_dir, name), join_path(backup_dir, name)); !moved) return moved;
  }
  if (auto synced = file_system.sync_directory(backup_dir); !synced) return synced;
  if (auto synced = file_system.sync_directory(persist_dir); !synced) return synced;

  // The new files in.
  for (const std::string& name : new_to_move) {
    if (auto moved = file_system.rename(join_path(temporary_dir, name), join_path(persist_dir, name)); !moved)
      return moved;
  }
  if (auto synced = file_system.sync_directory(persist_dir); !synced) return synced;

  // The (now empty) temporary directory, errors ignored; then the journal, durably.
  (void)file_system.remove_tree(temporary_dir);
  if (auto removed = file_system.remove_file(journal_path); !removed) return removed;
  return file_system.sync_directory(persist_dir);
}

FileSystemStatus finish_interrupted_swap(const std::string& persist_dir, FileSystem& file_system) {
  const std::string journal_path = join_path(persist_dir, swap_journal_name);
  if (!file_system.entry_exists(journal_path)) return {};
  auto text = file_system.read_file(journal_path);
  if (!text) return std::unexpected(unfinished_swap_text(journal_path, "the journal cannot be read: " + text.error()));
  std::optional<ShardSwap> swap = parse_journal(*text);
  if (!swap) return std::unexpected(unfinished_swap_text(journal_path, "the journal is damaged"));
  return finish_swap(persist_dir, *swap, file_system);
}

}  // namespace shard_migrate
