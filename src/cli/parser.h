// Parses a process argument list against a Command. The parser knows only the option table:
// option forms, the at-most-once rule, value rules, the environment fallback, the required
// check and the similar-name suggestion. Rendering the outcome is usage_text.h's job.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "cli/command.h"

namespace cli {

enum class UsageErrorKind {
  unexpected_argument,   // an undefined option or any plain argument
  repeated_option,       // a defined option given a second time
  missing_value,         // an option without its value
  unexpected_value,      // a value attached to an option that takes none ("--help=x")
  invalid_value,         // a value that the option's value rule rejects
  missing_required,      // required options absent after the fallback
  invalid_utf8,          // an argument or fallback value that is not UTF-8
  missing_after_parse,   // a value the entry found missing in a finished parse
};

struct UsageError {
  UsageErrorKind kind;
  std::string argument;          // the argument or value as typed (unexpected, invalid or unexpected value)
  std::string_view reason;       // why the value was rejected (invalid value)
  std::string_view identifier;   // the option concerned, by identifier (all but unexpected)
  std::vector<std::string_view> missing;  // identifiers of absent required options, table order
  std::string_view suggestion;   // long name of a similar option, empty for none
};

// A request for the help text; parsing stops at the first one.
struct HelpRequest {};

// The values found, one slot per option of the command, in table order.
class ParsedArguments {
 public:
  using Value = std::variant<std::string, uint64_t>;

  ParsedArguments(const Command& command, std::vector<std::optional<Value>> values)
      : command_(&command), values_(std::move(values)) {}

  // The text value of the option with this identifier, when present.
  std::optional<std::string> text(std::string_view identifier) const;
  // The unsigned value of the option with this identifier, when present.
  std::optional<uint64_t> unsigned_integer(std::string_view identifier) const;

 private:
  const Value* find(std::string_view identifier) const;
  const Command* command_;
  std::vector<std::optional<Value>> values_;
};

using ParseOutcome = std::variant<ParsedArguments, HelpRequest, UsageError>;

// Parses `arguments`, the process arguments after the invocation path. The first problem met,
// reading left to right, is the outcome; a help option met before any problem wins. A lone
// "--" ends the options: every argument after it is a stray argument.
ParseOutcome parse_arguments(const Command& command, const std::vector<std::string>& arguments);

// The long name of the option most similar to `name` (Jaro similarity above 0.7), or empty.
std::string_view suggest_similar_option(const Command& command, std::string_view name);

}  // namespace cli
