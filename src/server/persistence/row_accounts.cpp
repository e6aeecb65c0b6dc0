#include "server/persistence/row_accounts.h"

#include <algorithm>

#include "server/persistence/migration_texts.h"

namespace shard_migrate {

void RowAccounts::note(size_t source, const redb::TableDefinition& table, uint64_t stored_length, uint64_t rows,
                       std::optional<redb::LeafDepths> depths) {
  std::vector<Account>& accounts = sources_.at(source);
  auto account = std::find_if(accounts.begin(), accounts.end(), [&](const Account& a) { return a.table == table.name; });
  if (account == accounts.end()) account = accounts.insert(accounts.end(), Account{table.name, stored_length, 0, {}});
  account->rows += rows;
  if (!depths) return;
  if (!account->depths) {
    account->depths = depths;
    return;
  }
  account->depths->shallowest = std::min(account->depths->shallowest, depths->shallowest);
  account->depths->deepest = std::max(account->depths->deepest, depths->deepest);
}

std::optional<std::string> RowAccounts::first_damage(std::span<const std::string> source_paths) const {
  for (size_t source = 0; source < sources_.size(); ++source) {
    for (const Account& account : sources_[source]) {
      if (account.depths && account.depths->shallowest != account.depths->deepest)
        return uneven_leaves_text(account.table, source_paths[source], account.depths->shallowest,
                                  account.depths->deepest);
      if (account.rows != account.stored_length)
        return rows_unaccounted_text(account.table, source_paths[source], account.rows, account.stored_length);
    }
  }
  return std::nullopt;
}

}  // namespace shard_migrate
