// migrate-shards: parses the command line, makes exactly one call into the migration engine
// and turns its outcome into one line and the exit status.
//
//   0    the result line on standard output (or the help text)
//   1    the failure line on standard error
//   2    a usage error on standard error
//   101  internal fault: the result or failure line could not be written
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "cli/args.h"
#include "cli/parser.h"
#include "cli/program_output.h"
#include "cli/styled_text.h"
#include "cli/usage_text.h"
#include "server/persistence/shard_migrate.h"

namespace {

constexpr int status_migration_failed = 1;
constexpr int status_usage_error = 2;

// Help and usage errors are best effort: a failed write leaves the status as it is.
void print_styled(int fd, const cli::StyledText& text) {
  cli::write_all(fd, text.render(cli::colour_wanted(fd)));
}

[[noreturn]] void exit_with_usage_error(const cli::Command& command, std::string_view program_name,
                                        const cli::UsageError& error) {
  print_styled(STDERR_FILENO, cli::usage_error_text(command, program_name, error));
  std::exit(status_usage_error);
}

// Reports a value missing from a finished parse, with the usage line of a fresh definition.
[[noreturn]] void exit_missing_after_parse(std::string_view identifier) {
  const cli::Command fresh = cli::Args::command();
  cli::UsageError error{cli::UsageErrorKind::missing_after_parse, {}, {}, identifier, {}, {}};
  exit_with_usage_error(fresh, fresh.name, error);
}

cli::Args args_from(const cli::ParsedArguments& parsed) {
  cli::Args args;
  std::optional<std::string> persist_dir = parsed.text("persist_dir");
  if (!persist_dir) exit_missing_after_parse("persist_dir");
  std::optional<uint64_t> shards = parsed.unsigned_integer("shards");
  if (!shards) exit_missing_after_parse("shards");
  args.persist_dir = std::move(*persist_dir);
  args.shards = *shards;
  args.dest_dir = parsed.text("dest_dir");
  return args;
}

std::string result_line(const shard_migrate::MigrationReport& report) {
  return fmt::format(
      "migration OK: {} -> {} shards | graphs={} nodes={} edges={} ledger={} semantic={} audit={} "
      "global={}\n",
      report.source_shards, report.dest_shards, report.graphs, report.nodes, report.edges,
      report.ledger, report.semantic, report.audit, report.global);
}

}  // namespace

int main(int argc, char** argv) {
  cli::prepare_process();
  cli::install_fault_handler();

  const cli::Command command = cli::Args::command();
  const std::optional<std::string> invoked_as =
      argc > 0 ? cli::program_name_from_path(argv[0]) : std::nullopt;
  const std::string_view program_name = invoked_as ? std::string_view(*invoked_as) : command.name;

  const std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
  const cli::ParseOutcome outcome = cli::parse_arguments(command, arguments);
  if (std::holds_alternative<cli::HelpRequest>(outcome)) {
    print_styled(STDOUT_FILENO, cli::help_text(command, program_name));
    std::exit(EXIT_SUCCESS);
  }
  if (const auto* error = std::get_if<cli::UsageError>(&outcome))
    exit_with_usage_error(command, program_name, *error);

  const cli::Args args = args_from(std::get<cli::ParsedArguments>(outcome));
  const shard_migrate::MigrationResult result =
      args.dest_dir ? shard_migrate::migrate_shards_into(args.persist_dir, *args.dest_dir, args.shards)
                    : shard_migrate::migrate_in_place(args.persist_dir, args.shards);

  if (!result) {
    const std::string failure_line = fmt::format("migration FAILED: {}\n", result.error());
    if (const int error = cli::write_all(STDERR_FILENO, failure_line))
      cli::internal_fault(fmt::format("failed printing to stderr: {}", cli::system_error_text(error)));
    std::exit(status_migration_failed);
  }
  if (const int error = cli::write_all(STDOUT_FILENO, result_line(*result)))
    cli::internal_fault(fmt::format("failed printing to stdout: {}", cli::system_error_text(error)));
  return EXIT_SUCCESS;
}
