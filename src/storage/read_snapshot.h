// What a read transaction sees: the pages of one commit.
#pragma once

#include <optional>

#include "header.h"
#include "page_source.h"

namespace redb::detail {

struct ReadSnapshot {
  PageSource source;
  std::optional<BtreeHeader> user_root;  // the commit's user table tree, absent without tables
};

}  // namespace redb::detail
