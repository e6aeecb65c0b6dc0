#include "server/persistence/shard_files.h"

#include <algorithm>
#include <dirent.h>
#include <fmt/format.h>
#include <sys/stat.h>

#include "server/persistence/migration_texts.h"

namespace shard_migrate {

std::string join_path(std::string_view dir, std::string_view name) {
  std::string joined(dir);
  if (!joined.empty() && joined.back() != '/') joined += '/';
  joined += name;
  return joined;
}

std::string_view file_name_of(std::string_view path) {
  size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::string shard_file_name(uint64_t index, uint64_t shards) {
  if (shards < 2) return std::string(single_shard_file_name);
  return fmt::format("graph-{}.redb", index);
}

std::optional<uint64_t> numbered_shard_number(std::string_view name) {
  constexpr std::string_view prefix = "graph-";
  constexpr std::string_view suffix = ".redb";
  if (name.size() < prefix.size() + suffix.size() + 1) return std::nullopt;
  if (!name.starts_with(prefix) || !name.ends_with(suffix)) return std::nullopt;
  std::string_view digits = name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
  if (digits.starts_with('+')) digits.remove_prefix(1);
  if (digits.empty()) return std::nullopt;
  uint64_t number = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    uint64_t digit = static_cast<uint64_t>(c - '0');
    if (number > (UINT64_MAX - digit) / 10) return std::nullopt;  // above 2^64 - 1
    number = number * 10 + digit;
  }
  return number;
}

namespace {

struct NumberedShard {
  uint64_t number;
  std::string path;
};

// Numbered shard files in listing order. A listing that cannot be opened counts as empty, and a
// read error ends it with what was accepted so far: discovery reports neither.
std::vector<NumberedShard> list_numbered_shards(const std::string& dir) {
  std::vector<NumberedShard> found;
  DIR* listing = ::opendir(dir.c_str());
  if (listing == nullptr) return found;
  // readdir yields NULL both at the end and on a read error; either way the listing ends.
  while (const dirent* entry = ::readdir(listing)) {
    // The entry's type is not examined: a directory or link with a passing name is a source too.
    if (auto number = numbered_shard_number(entry->d_name)) found.push_back({*number, join_path(dir, entry->d_name)});
  }
  ::closedir(listing);
  return found;
}

}  // namespace

std::expected<std::vector<std::string>, std::string> discover_shard_files(const std::string& dir) {
  std::vector<NumberedShard> numbered = list_numbered_shards(dir);
  std::vector<std::string> paths;
  if (!numbered.empty()) {
    std::stable_sort(numbered.begin(), numbered.end(),
                     [](const NumberedShard& a, const NumberedShard& b) { return a.number < b.number; });
    paths.reserve(numbered.size());
    for (NumberedShard& shard : numbered) paths.push_back(std::move(shard.path));
    return paths;
  }
  std::string single = join_path(dir, single_shard_file_name);
  struct stat status;
  if (::stat(single.c_str(), &status) != 0) return std::unexpected(no_shard_files_text(dir));
  paths.push_back(std::move(single));
  return paths;
}

}  // namespace shard_migrate
