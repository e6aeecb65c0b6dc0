// The migrate-shards command line: its parsed record and its definition.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "cli/command.h"

namespace cli {

struct Args {
  std::string persist_dir;              // the persist directory holding the source shard files
  uint64_t shards = 0;                  // requested shard count K, unclamped (0 included)
  std::optional<std::string> dest_dir;  // destination directory; absent means in place

  // The command definition. Reads GRAPH_SERVICE_PERSIST_DIR now and keeps its value (or that
  // it is unset) for the fallback of --persist-dir and for the help text.
  static Command command();
};

}  // namespace cli
