// The declarative description of a command line: one table row per option, from which the
// parser, the help text, the usage lines and the usage errors are all derived.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace cli {

// What an option's value is parsed into; `none` marks the help option, which takes no value.
enum class ValueKind { none, text, unsigned_integer };

// One row of an option table.
struct OptionDefinition {
  std::string_view identifier = {};            // the `Args` field it fills, e.g. "persist_dir"
  std::string_view long_name = {};             // without dashes, e.g. "persist-dir"
  char short_name = '\0';                      // '\0' when the option has no short form
  std::string_view value_name = {};            // e.g. "PERSIST_DIR"; empty for the help option
  bool required = false;                       // must be given (or come from the environment)
  std::string_view environment_variable = {};  // fallback variable; empty when there is none
  ValueKind value_kind = ValueKind::text;
  std::string_view help = {};                  // one-line help text, never wrapped

  bool is_help() const { return value_kind == ValueKind::none; }
};

// An option of a built command: its row plus the fallback value read when the command was
// built (absent when the variable was unset, or the option has no fallback).
struct CommandOption {
  OptionDefinition definition;
  std::optional<std::string> environment_value;
};

struct Command {
  std::string_view name;   // shown in usage lines when the invocation path supplies none
  std::string_view about;  // first paragraph of the help text
  std::vector<CommandOption> options;  // in help-text order
};

// Builds a command from an option table, reading each fallback variable now.
Command build_command(std::string_view name, std::string_view about,
                      const std::vector<OptionDefinition>& table);

}  // namespace cli
