#include "cli/args.h"

#include <vector>

namespace cli {

namespace {

constexpr std::string_view command_name = "migrate-shards";
constexpr std::string_view about_text =
    "Offline K-shard migration for the quorvane-graph durable store "
    "(CONCEPT:QG-KG.sharding.atomic-shard-swap)";

// The one table the parser, the help text and the usage errors are derived from.
const std::vector<OptionDefinition>& option_table() {
  static const std::vector<OptionDefinition> table = {
      {.identifier = "persist_dir",
       .long_name = "persist-dir",
       .value_name = "PERSIST_DIR",
       .required = true,
       .environment_variable = "GRAPH_SERVICE_PERSIST_DIR",
       .value_kind = ValueKind::text,
       .help = "Persist dir holding the existing redb shard files (the source)"},
      {.identifier = "shards",
       .long_name = "shards",
       .value_name = "SHARDS",
       .required = true,
       .value_kind = ValueKind::unsigned_integer,
       .help = "Target shard count K to migrate to (clamped to >= 1)"},
      {.identifier = "dest_dir",
       .long_name = "dest-dir",
       .value_name = "DEST_DIR",
       .value_kind = ValueKind::text,
       .help = "Optional destination dir. When set, the new shards are written there (the source "
               "is left untouched). When omitted, the migration runs IN PLACE: new shards are "
               "swapped in and the old files moved to a recoverable backup dir"},
      {.identifier = "help",
       .long_name = "help",
       .short_name = 'h',
       .value_kind = ValueKind::none,
       .help = "Print help"},
  };
  return table;
}

}  // namespace

Command Args::command() { return build_command(command_name, about_text, option_table()); }

}  // namespace cli
