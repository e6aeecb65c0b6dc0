#include "cli/usage_text.h"

#include <algorithm>
#include <string>

namespace cli {

namespace {

const OptionDefinition* option_by_identifier(const Command& command, std::string_view identifier) {
  for (const CommandOption& option : command.options)
    if (option.definition.identifier == identifier) return &option.definition;
  return nullptr;
}

// "--shards <SHARDS>", as messages name an option.
std::string option_label(const OptionDefinition& option) {
  std::string label = "--" + std::string(option.long_name);
  if (!option.value_name.empty()) label += " <" + std::string(option.value_name) + ">";
  return label;
}

// "--shards <SHARDS>" styled for usage lines and help rows: the name bold, the value name plain.
void add_option_form(StyledText& text, const OptionDefinition& option) {
  text.add("--" + std::string(option.long_name), Style::literal);
  if (!option.value_name.empty()) text.add(" <" + std::string(option.value_name) + ">");
}

// The row's visible width before its help text, for aligning the help column.
size_t row_lead_width(const OptionDefinition& option) {
  return 2 + 4 + option_label(option).size();  // indent, "-h, " or four blanks, option
}

void add_usage_line(StyledText& text, const Command& command, std::string_view program_name,
                    bool with_optional_marker) {
  text.add("Usage:", Style::heading).add(" ").add(program_name, Style::literal);
  const bool has_optional = std::any_of(command.options.begin(), command.options.end(),
                                        [](const CommandOption& o) { return !o.definition.required; });
  if (with_optional_marker && has_optional) text.add(" [OPTIONS]");
  for (const CommandOption& option : command.options) {
    if (!option.definition.required) continue;
    text.add(" ");
    add_option_form(text, option.definition);
  }
  text.add("\n");
}

void add_quoted(StyledText& text, std::string_view value, Style style) {
  text.add("'").add(value, style).add("'");
}

void add_message(StyledText& text, const Command& command, const UsageError& error) {
  const OptionDefinition* option = option_by_identifier(command, error.identifier);
  const std::string label = option != nullptr ? option_label(*option) : std::string(error.identifier);
  switch (error.kind) {
    case UsageErrorKind::unexpected_argument:
      text.add("unexpected argument ");
      add_quoted(text, error.argument, Style::invalid);
      text.add(" found");
      break;
    case UsageErrorKind::repeated_option:
      text.add("the argument ");
      add_quoted(text, label, Style::invalid);
      text.add(" cannot be used multiple times");
      break;
    case UsageErrorKind::missing_value:
      text.add("a value is required for ");
      add_quoted(text, label, Style::invalid);
      text.add(" but none was supplied");
      break;
    case UsageErrorKind::unexpected_value:
      text.add("unexpected value ");
      add_quoted(text, error.argument, Style::invalid);
      text.add(" for ");
      add_quoted(text, label, Style::literal);
      text.add(" found; no more were expected");
      break;
    case UsageErrorKind::invalid_value:
      text.add("invalid value ");
      add_quoted(text, error.argument, Style::invalid);
      text.add(" for ");
      add_quoted(text, label, Style::literal);
      text.add(": ").add(error.reason);
      break;
    case UsageErrorKind::missing_required:
      text.add("the following required arguments were not provided:");
      for (std::string_view identifier : error.missing) {
        const OptionDefinition* missing = option_by_identifier(command, identifier);
        text.add("\n  ").add(missing != nullptr ? option_label(*missing) : std::string(identifier),
                             Style::invalid);
      }
      break;
    case UsageErrorKind::invalid_utf8:
      text.add("invalid UTF-8 was detected in one or more arguments");
      break;
    case UsageErrorKind::missing_after_parse:
      text.add("the following required argument was not provided: ").add(error.identifier);
      break;
  }
  text.add("\n");
}

}  // namespace

StyledText help_text(const Command& command, std::string_view program_name) {
  StyledText text;
  text.add(command.about).add("\n\n");
  add_usage_line(text, command, program_name, true);
  text.add("\n").add("Options:", Style::heading).add("\n");

  size_t help_column = 0;
  for (const CommandOption& option : command.options)
    help_column = std::max(help_column, row_lead_width(option.definition) + 2);

  for (const CommandOption& option : command.options) {
    const OptionDefinition& definition = option.definition;
    text.add("  ");
    if (definition.short_name != '\0') {
      text.add(std::string("-") + definition.short_name, Style::literal).add(", ");
    } else {
      text.add("    ");
    }
    add_option_form(text, definition);
    text.add(std::string(help_column - row_lead_width(definition), ' '));
    text.add(definition.help);
    if (!definition.environment_variable.empty()) {
      text.add(" [env: ").add(definition.environment_variable).add("=");
      text.add(option.environment_value.value_or(std::string())).add("]");
    }
    text.add("\n");
  }
  return text;
}

StyledText usage_error_text(const Command& command, std::string_view program_name,
                            const UsageError& error) {
  StyledText text;
  text.add("error:", Style::error_label).add(" ");
  add_message(text, command, error);
  if (!error.suggestion.empty()) {
    text.add("\n  ").add("tip:", Style::tip).add(" a similar argument exists: ");
    add_quoted(text, "--" + std::string(error.suggestion), Style::tip);
    text.add("\n");
  }
  const bool value_error =
      error.kind == UsageErrorKind::missing_value || error.kind == UsageErrorKind::invalid_value;
  if (!value_error) {
    text.add("\n");
    add_usage_line(text, command, program_name, false);
  }
  text.add("\nFor more information, try ").add("'").add("--help", Style::literal).add("'.\n");
  return text;
}

}  // namespace cli
